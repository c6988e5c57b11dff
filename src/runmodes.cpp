#include "runmodes.h"

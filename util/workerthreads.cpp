#include "workerthreads.h"

#include <algorithm>
#include <cstdlib>
#include <thread>

bool threadSettingValid(const char * wanted)
{
  char * end = nullptr;
  const long count = std::strtol(wanted, &end, 10);
  return end != wanted && *end == '\0' && count >= 1 && count <= 256;
}

int workerThreads(void)
{
  const char * wanted = std::getenv("TERRAVEL_THREADS");
  if (wanted != nullptr && threadSettingValid(wanted)) return int(std::strtol(wanted, nullptr, 10));
  return std::max(1u, std::thread::hardware_concurrency());
}

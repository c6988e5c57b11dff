#include "console.h"

#include <cstdio>
#include <unistd.h>

void clearConsole(void)
{
  if (!isatty(STDOUT_FILENO)) return;
  // Erase the scrollback as well as the screen, then put the cursor at the top-left corner.
  std::printf("\033[3J\033[2J\033[H");
  std::fflush(stdout);
}

void printBanner(void)
{
  std::printf("/------------------------------------------------------------------------------\\");
  std::printf("|                       Terravel terrain rendering                             |");
  std::printf("\\------------------------------------------------------------------------------/");
}

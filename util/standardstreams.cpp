#include "standardstreams.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

void openMissingStandardStreams(void)
{
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open() returns the lowest free number, which is this one: the lower ones are open.
    const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
      dup2(opened, fd);
      close(opened);
    }
  }
}

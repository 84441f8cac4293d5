// quillaret-web's platform layer on POSIX: the random source (/dev/urandom) and the
// listener's options.
#include <fcntl.h>
#include <unistd.h>

#include "web/access.h"

namespace qc::web {

bool SystemRandom(unsigned char* bytes, std::size_t count) {
  const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::size_t done = 0;
  while (done < count) {
    const ssize_t n = read(fd, bytes + done, count - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  close(fd);
  return done == count;
}

}  // namespace qc::web

namespace qc::web {

bool ListenerMayReuseAddress() { return true; }

}  // namespace qc::web

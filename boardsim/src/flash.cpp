#include "flash.h"

#include <fcntl.h>
#include <unistd.h>

namespace boardsim {

void Flash::erase() {
  int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd >= 0) ::close(fd);
}

bool Flash::write(uint32_t address, const uint8_t* data, size_t len) {
  int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = ::pwrite(fd, data, len, static_cast<off_t>(address)) == static_cast<ssize_t>(len);
  ::close(fd);
  return ok;
}

}  // namespace boardsim

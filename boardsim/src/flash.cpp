#include "flash.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace boardsim {

void Flash::erase() {
  int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd >= 0) ::close(fd);
}

bool Flash::write(uint32_t address, const uint8_t* data, size_t len) {
  int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  // A write past the end leaves the bytes before it erased, not zero.
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0;
  if (ok && static_cast<uint64_t>(st.st_size) < address) {
    std::vector<uint8_t> gap(address - static_cast<uint64_t>(st.st_size));
    for (size_t i = 0; i < gap.size(); ++i) gap[i] = erased(static_cast<uint32_t>(st.st_size + i));
    ok = ::pwrite(fd, gap.data(), gap.size(), st.st_size) == static_cast<ssize_t>(gap.size());
  }
  ok = ok && ::pwrite(fd, data, len, static_cast<off_t>(address)) == static_cast<ssize_t>(len);
  ::close(fd);
  return ok;
}

std::vector<uint8_t> Flash::read(uint32_t address, size_t len) const {
  std::vector<uint8_t> out(len);
  for (size_t i = 0; i < len; ++i) out[i] = erased(static_cast<uint32_t>(address + i));
  int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return out;
  ssize_t n = ::pread(fd, out.data(), len, static_cast<off_t>(address));
  (void)n;  // bytes past the end keep their erased value
  ::close(fd);
  return out;
}

}  // namespace boardsim

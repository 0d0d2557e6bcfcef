#include "image.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int refuse(flash_image* image, image_problem problem, int fd) {
  image->problem = problem;
  image->error = problem == image_problem::system_error ? errno : 0;
  if (fd >= 0) close(fd);
  return 1;
}

}  // namespace

long image_read_at(int fd, uint8_t* buffer, size_t length, uint32_t offset) {
  size_t got = 0;
  while (got < length) {
    const ssize_t n = pread(fd, buffer + got, length - got, static_cast<off_t>(offset) + got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<long>(got);
}

int image_open(const char* path, flash_image* image) {
  image->path = path;
  // Opening does not wait: a FIFO given as the image is refused below as
  // not a regular file instead of blocking the run in its open.
  const int fd = open(path, O_RDONLY | O_NONBLOCK);
  if (fd < 0) return refuse(image, image_problem::system_error, -1);
  struct stat status {};
  if (fstat(fd, &status) != 0) return refuse(image, image_problem::system_error, fd);
  if (!S_ISREG(status.st_mode)) return refuse(image, image_problem::not_regular, fd);
  // A regular file: reads block as usual from here on.
  const int flags = fcntl(fd, F_GETFL);
  if (flags == -1 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == -1)
    return refuse(image, image_problem::system_error, fd);
  if (status.st_size <= 0) return refuse(image, image_problem::empty, fd);
  // The write-memory command carries the byte count in 32 bits.
  image->file_size = static_cast<unsigned long long>(status.st_size);
  if (image->file_size > 0xFFFFFFFFull) return refuse(image, image_problem::too_large, fd);
  // Prove that the contents can be read before the MCU is erased.
  uint8_t first = 0;
  const long got = image_read_at(fd, &first, 1, 0);
  if (got != 1)
    return refuse(image, got < 0 ? image_problem::system_error : image_problem::unreadable, fd);
  image->fd = fd;
  image->size = static_cast<uint32_t>(status.st_size);
  return 0;
}

void image_problem_text(const flash_image* image, char* text, size_t size) {
  switch (image->problem) {
    case image_problem::none:
    case image_problem::system_error:
      snprintf(text, size, "%s", strerror(image->error));
      break;
    case image_problem::not_regular:
      snprintf(text, size, "not a regular file");
      break;
    case image_problem::empty:
      snprintf(text, size, "image is empty");
      break;
    case image_problem::too_large:
      snprintf(text, size, "image too large (%llu bytes, at most 4294967295)",
               image->file_size);
      break;
    case image_problem::unreadable:
      snprintf(text, size, "cannot read the image");
      break;
  }
}

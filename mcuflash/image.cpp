#include "image.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int refuse(flash_image* image, image_problem problem, FILE* file, int fd) {
  image->problem = problem;
  image->error = problem == image_problem::system_error ? errno : 0;
  if (file != nullptr) {
    fclose(file);
  } else if (fd >= 0) {
    close(fd);
  }
  return 1;
}

}  // namespace

int image_open(const char* path, flash_image* image) {
  image->path = path;
  // Opening does not wait: a FIFO given as the image is refused below as
  // not a regular file instead of blocking the run in its open.
  const int fd = open(path, O_RDONLY | O_NONBLOCK);
  if (fd < 0) return refuse(image, image_problem::system_error, nullptr, -1);
  FILE* file = fdopen(fd, "rb");
  if (file == nullptr) return refuse(image, image_problem::system_error, nullptr, fd);
  struct stat status {};
  if (fstat(fd, &status) != 0) return refuse(image, image_problem::system_error, file, fd);
  if (!S_ISREG(status.st_mode)) return refuse(image, image_problem::not_regular, file, fd);
  // A regular file: reads block as usual from here on.
  const int flags = fcntl(fd, F_GETFL);
  if (flags == -1 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == -1)
    return refuse(image, image_problem::system_error, file, fd);
  if (status.st_size <= 0) return refuse(image, image_problem::empty, file, fd);
  // The write-memory command carries the byte count in 32 bits.
  image->file_size = static_cast<unsigned long long>(status.st_size);
  if (image->file_size > 0xFFFFFFFFull) return refuse(image, image_problem::too_large, file, fd);
  // Prove that the contents can be read before the MCU is erased.
  uint8_t first = 0;
  if (fread(&first, 1, 1, file) != 1 || fseek(file, 0, SEEK_SET) != 0) {
    const bool system = ferror(file) && errno != 0;
    return refuse(image, system ? image_problem::system_error : image_problem::unreadable, file,
                  fd);
  }
  image->file = file;
  image->size = static_cast<uint32_t>(status.st_size);
  image->consumed = 0;
  return 0;
}

int image_read(flash_image* image, uint8_t* buffer, size_t length) {
  const size_t got = fread(buffer, 1, length, image->file);
  image->consumed += static_cast<uint32_t>(got);
  if (got == length) return 0;
  image->problem = ferror(image->file) ? image_problem::system_error : image_problem::ended_early;
  image->error = errno;
  return 1;
}

int image_rewind(flash_image* image) {
  image->consumed = 0;
  if (fseek(image->file, 0, SEEK_SET) == 0) return 0;
  image->problem = image_problem::system_error;
  image->error = errno;
  return 1;
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
    case image_problem::ended_early:
      snprintf(text, size, "file ended after %lu of %lu bytes",
               static_cast<unsigned long>(image->consumed), static_cast<unsigned long>(image->size));
      break;
  }
}

#include "image.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

int image_open(const char* path, flash_image* image) {
  // Opening does not wait: a FIFO given as the image is refused below as
  // not a regular file instead of blocking the run in its open.
  const int fd = open(path, O_RDONLY | O_NONBLOCK);
  if (fd < 0) {
    perror(path);
    return 1;
  }
  FILE* file = fdopen(fd, "rb");
  if (file == nullptr) {
    perror(path);
    close(fd);
    return 1;
  }
  struct stat status {};
  if (fstat(fd, &status) != 0) {
    perror(path);
    fclose(file);
    return 1;
  }
  if (!S_ISREG(status.st_mode)) {
    fprintf(stderr, "%s: not a regular file\n", path);
    fclose(file);
    return 1;
  }
  // A regular file: reads block as usual from here on.
  const int flags = fcntl(fd, F_GETFL);
  if (flags == -1 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == -1) {
    perror(path);
    fclose(file);
    return 1;
  }
  if (status.st_size <= 0) {
    fprintf(stderr, "%s: image is empty\n", path);
    fclose(file);
    return 1;
  }
  // The write-memory command carries the byte count in 32 bits.
  if (static_cast<unsigned long long>(status.st_size) > 0xFFFFFFFFull) {
    fprintf(stderr, "%s: image too large (%llu bytes, at most 4294967295)\n", path,
            static_cast<unsigned long long>(status.st_size));
    fclose(file);
    return 1;
  }
  // Prove that the contents can be read before the MCU is erased.
  uint8_t first = 0;
  if (fread(&first, 1, 1, file) != 1 || fseek(file, 0, SEEK_SET) != 0) {
    if (ferror(file) && errno != 0) {
      perror(path);
    } else {
      fprintf(stderr, "%s: cannot read the image\n", path);
    }
    fclose(file);
    return 1;
  }
  image->file = file;
  image->size = static_cast<uint32_t>(status.st_size);
  image->consumed = 0;
  return 0;
}

int image_read(flash_image* image, const char* path, uint8_t* buffer, size_t length) {
  const size_t got = fread(buffer, 1, length, image->file);
  if (got == length) {
    image->consumed += static_cast<uint32_t>(got);
    return 0;
  }
  fflush(stdout);
  if (ferror(image->file)) {
    perror(path);
  } else {
    fprintf(stderr, "%s: file ended after %lu of %lu bytes\n", path,
            static_cast<unsigned long>(image->consumed + got),
            static_cast<unsigned long>(image->size));
  }
  return 1;
}

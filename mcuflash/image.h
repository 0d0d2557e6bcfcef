// The firmware image file: opened and checked before anything touches the
// MCU; the reader (image_format.h) then reads it once, whole. It prints
// nothing: a failure is kept in the record for the program to report.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum class image_problem {
  none,
  system_error,  // `error` is the errno of the call that failed
  not_regular,
  empty,
  too_large,     // `file_size` bytes
  unreadable,    // the first byte could not be read, with no system error
};

struct flash_image {
  int fd = -1;           // stays open until the process ends
  const char* path = nullptr;  // as given: the run's messages name it
  uint32_t size = 0;     // byte count from the file's status
  image_problem problem = image_problem::none;
  int error = 0;
  unsigned long long file_size = 0;
};

// Opens `path` (kept in the record) and checks that it is a readable, non-empty regular file whose
// size fits the 32-bit byte count: 0, or 1 with the problem recorded.
int image_open(const char* path, flash_image* image);

// Reads up to `length` bytes of `fd` at `offset`, going on after
// interruptions and short reads: the count (short at the end of the
// file), or -1 with errno set.
long image_read_at(int fd, uint8_t* buffer, size_t length, uint32_t offset);

// What went wrong, for "<path>: <text>": the system's error text or the
// recorded problem.
void image_problem_text(const flash_image* image, char* text, size_t size);

// The firmware image file: opened and checked before anything touches the
// MCU, then read chunk by chunk during the download (never held whole). It
// prints nothing: a failure is kept in the record for the program to report.
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
  ended_early,   // the file shrank: it ended after `consumed` bytes
};

struct flash_image {
  int fd = -1;           // stays open until the process ends
  const char* path = nullptr;  // as given: the run's messages name it
  uint32_t size = 0;     // byte count from the file's status
  uint32_t consumed = 0; // bytes handed out so far
  image_problem problem = image_problem::none;
  int error = 0;
  unsigned long long file_size = 0;
};

// Opens `path` (kept in the record) and checks that it is a readable, non-empty regular file whose
// size fits the 32-bit byte count: 0, or 1 with the problem recorded.
int image_open(const char* path, flash_image* image);

// Reads the next `length` bytes into `buffer`: 0, or 1 on a read error or a
// file that ended early (it shrank since it was checked).
int image_read(flash_image* image, uint8_t* buffer, size_t length);

// Goes back to the start of the file, for a second pass (the read-back).
void image_rewind(flash_image* image);

// Reads up to `length` bytes of `fd` at `offset`, going on after
// interruptions and short reads: the count (short at the end of the
// file), or -1 with errno set.
long image_read_at(int fd, uint8_t* buffer, size_t length, uint32_t offset);

// What went wrong, for "<path>: <text>": the system's error text or the
// recorded problem.
void image_problem_text(const flash_image* image, char* text, size_t size);

// The firmware image file: opened and checked before anything touches the
// MCU, then read chunk by chunk during the download (never held whole).
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

struct flash_image {
  FILE* file = nullptr;  // stays open until the process ends
  uint32_t size = 0;     // byte count from the file's status
  uint32_t consumed = 0; // bytes handed out so far
};

// Opens `path` and checks that it is a readable, non-empty regular file whose
// size fits the 32-bit byte count. On failure prints a message naming the
// path on standard error and returns 1; returns 0 when the image is usable.
int image_open(const char* path, flash_image* image);

// Reads the next `length` bytes into `buffer`. A read error or a file that
// ended early (it shrank since it was checked) prints a message naming the
// path on standard error and returns 1.
int image_read(flash_image* image, const char* path, uint8_t* buffer, size_t length);

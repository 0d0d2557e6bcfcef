// The flashing run: restart into the bootloader, wake it up, ping, erase,
// download the image, execute, restart into the new firmware.
#pragma once

#include <stdint.h>

#include "image.h"

// Execute parameters of the downloaded firmware.
constexpr uint32_t FLASH_JUMP_ADDRESS = 0x43D;
constexpr uint32_t FLASH_ARGUMENT = 0;
constexpr uint32_t FLASH_STACK_POINTER = 0x20012000;

// Clocks single 0xFF bytes until the whole-second clock has moved on by 2.
void flash_wake_up(int fd);

// The flashing sequence; every failure inside it ends the process.
void flash_firmware(int fd, flash_image* image, const char* path);

// The whole run on an open, configured SPI device and a checked image;
// ends the process with status 0 on success.
[[noreturn]] void flash_run(int fd, flash_image* image, const char* path);

// The KBoot commands the flasher sends: erase all unsecure, write memory
// with the image download in data packets, and execute.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "image.h"
#include "kboot_link.h"

constexpr uint8_t KBOOT_CMD_WRITE_MEMORY = 0x04;
constexpr uint8_t KBOOT_CMD_EXECUTE = 0x09;
constexpr uint8_t KBOOT_CMD_ERASE_ALL_UNSECURE = 0x0D;

constexpr size_t KBOOT_MAX_PARAMETERS = 3;
// Header, command tag, flags, reserved byte, parameter count, parameters.
constexpr size_t KBOOT_COMMAND_MAX_SIZE = KBOOT_HEADER_SIZE + 4 + 4 * KBOOT_MAX_PARAMETERS;
constexpr size_t KBOOT_DATA_CHUNK = 32;  // image bytes per data packet
constexpr size_t KBOOT_DATA_MAX_SIZE = KBOOT_HEADER_SIZE + KBOOT_DATA_CHUNK;

// Builds a command packet into `packet` (KBOOT_COMMAND_MAX_SIZE bytes);
// returns its size.
size_t kboot_build_command(uint8_t* packet, uint8_t tag, uint8_t reserved,
                           const uint32_t* parameters, size_t count);
// Builds a data packet carrying `length` (1 to 32) bytes; returns its size.
size_t kboot_build_data(uint8_t* packet, const uint8_t* chunk, size_t length);

void kboot_erase_all_unsecure(int fd);
// Downloads the opened image to address 0; `path` names it in messages.
void kboot_write_memory(int fd, flash_image* image, const char* path);
void kboot_execute(int fd, uint32_t jump_address, uint32_t argument, uint32_t stack_pointer);

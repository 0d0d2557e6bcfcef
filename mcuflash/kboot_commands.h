// The KBoot commands the flasher sends: erase all unsecure, write memory
// with the image download in data packets, and execute. Each returns when
// the bootloader has acknowledged the command and answered it, or with
// what went wrong.
#pragma once

#include <stdint.h>

#include "image.h"
#include "kboot_link.h"

kboot_result kboot_erase_all_unsecure(int fd);
// Downloads the opened image to address 0; `path` names it in messages.
kboot_result kboot_write_memory(int fd, flash_image* image, const char* path);
kboot_result kboot_execute(int fd, uint32_t jump_address, uint32_t argument,
                           uint32_t stack_pointer);

// The flashing run: restart into the bootloader, wake it up, ping, erase,
// download the image with its progress, execute, restart into the new
// firmware. It returns what happened; main reports it and ends the program.
#pragma once

#include <stdint.h>

#include "gpio.h"
#include "image.h"
#include "kboot_link.h"

// Execute parameters of the downloaded firmware.
constexpr uint32_t FLASH_JUMP_ADDRESS = 0x43D;
constexpr uint32_t FLASH_ARGUMENT = 0;
constexpr uint32_t FLASH_STACK_POINTER = 0x20012000;

// How long a run waits for another program to let go of the SPI bus.
constexpr int FLASH_LOCK_WAIT_MS = 5000;

// What ended a run: a line that could not be driven (gpio.error set; with
// `written`, only the final restart after a complete flash failed), else the
// link's result (image_unreadable: the image records why).
struct flash_outcome {
  gpio_failure gpio;
  bool written = false;
  kboot_result link;
};

// The flashing sequence, up to and including execute: the download prints
// the "File size" line and the spinner.
flash_outcome flash_firmware(const kboot_link* link, flash_image* image);

// The bootloader conversation after the wake-up phase: ping, erase all
// unsecure, the download, execute.
kboot_result flash_talk(const kboot_link* link, flash_image* image);

// The whole run on an open, configured and locked device and a checked
// image. On success the device is closed, and so the bus let go, before the
// final restart.
flash_outcome flash_run(const kboot_link* link, flash_image* image);

// The action of -r once the bus is taken: initialise the lines and restart
// the MCU; 0, or 1 with *failure filled.
int flash_restart_only(bool verbose, gpio_failure* failure);

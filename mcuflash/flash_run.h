// The flashing run: restart into the bootloader, wake it up, ping, erase,
// download the image, execute, restart into the new firmware. The run alone
// decides what is printed when something fails and how the program ends.
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

// What ended the flashing sequence: a line that could not be driven while
// restarting into the bootloader (gpio.error set), else the link's result.
struct flash_result {
  gpio_failure gpio;
  kboot_result link;
};

// The flashing sequence, up to and including execute.
flash_result flash_firmware(int fd, flash_image* image, const char* path);

// Takes the bus, waiting up to FLASH_LOCK_WAIT_MS for another program to
// let go of it; returns 1 after reporting that it stayed busy, else 0.
int flash_take_bus(int fd);

// The whole run on an open, configured and locked SPI device and a checked
// image; returns the exit status. The device is closed, and so the bus let
// go, after the final restart.
int flash_run(int fd, flash_image* image, const char* path);

// The action of -r: take the bus where the device can be opened, initialise
// the lines, restart the MCU, report; returns the exit status.
int flash_restart_only(void);

// The three sysfs GPIO lines that restart the MCU into its firmware or into
// the KBoot ROM bootloader.
#pragma once

#include <stddef.h>

constexpr int GPIO_HELD_HIGH = 11;    // driven high at initialisation and by both sequences
constexpr int GPIO_BOOT_SELECT = 21;  // low through the reset pulse: bootloader
constexpr int GPIO_RESET = 22;        // the restart pulse: high, low, high

constexpr size_t GPIO_PATH_SIZE = 255;

// The first sysfs file that could not be opened or written, and why.
struct gpio_failure {
  int error = 0;               // errno; 0 while every write succeeded
  char path[GPIO_PATH_SIZE];  // set together with `error`
};

// sysfs file operations: 0 on success, 1 when the file could not be opened
// or written, recorded in `failure` unless an earlier failure is there.
int gpio_export(int line, gpio_failure* failure);
int gpio_set_direction(int line, int output, gpio_failure* failure);
// `value` is 0 or 1.
int gpio_set_value(int line, int value, gpio_failure* failure);

// The sequences below make every one of their writes in order even after
// one failed, so that the lines end where the sequence leaves them; they
// return 1 when any write failed.

// Exports lines 11, 21 and 22 as outputs at level 1 unless already exported;
// with `verbose`, says which it found exported.
int gpio_init_lines(bool verbose, gpio_failure* failure);
// Restarts the MCU into its firmware.
int mcu_reboot(gpio_failure* failure);
// Restarts the MCU into its KBoot ROM bootloader.
int mcu_enter_bootloader(gpio_failure* failure);

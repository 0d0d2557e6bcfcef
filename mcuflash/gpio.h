// The three sysfs GPIO lines that restart the MCU into its firmware or into
// the KBoot ROM bootloader.
#pragma once

constexpr int GPIO_LINE_11 = 11;
constexpr int GPIO_BOOT_SELECT = 21;  // low through the reset pulse: bootloader
constexpr int GPIO_RESET = 22;        // the restart pulse: high, low, high

// sysfs file operations. Their results are not acted upon: a line that
// cannot be driven shows later as a bootloader that does not answer.
void gpio_export(int line);
void gpio_set_direction(int line, int output);
void gpio_set_value(int line, int value);

// Exports lines 11, 21 and 22 as outputs at level 1 unless already exported.
void gpio_init_lines(void);

// Restarts the MCU into its firmware.
void mcu_reboot(void);
// Restarts the MCU into its KBoot ROM bootloader.
void mcu_enter_bootloader(void);

// The action of -r: initialise the lines, restart the MCU, report, exit 0.
[[noreturn]] void mcu_restart_only(void);

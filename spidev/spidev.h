// The board's SPI device, shared by unitctl and mcuflash: opening it,
// configuring it, and taking turns on the bus with the other programs.
#pragma once

#include <stdint.h>

constexpr char SPIDEV_PATH[] = "/dev/spidev0.0";

// What a program writes to the device; configuration replaces each value
// with the one the driver reads back.
struct spidev_settings {
  uint32_t mode;
  uint8_t bits_per_word;
  uint32_t max_speed_hz;
};

// Milliseconds of the monotonic clock, in 64 bits: `long` is 32 bits on
// the board and would overflow after some weeks of uptime.
int64_t monotonic_ms(void);

// Prints "message: <system error text>" on standard error, keeping what was
// already printed on standard output, and aborts.
[[noreturn]] void abort_with_error(const char* message);

// Opens the device read-write; aborts with "can't open device" on failure.
int spidev_open(void);

// Writes and reads back mode, bits per word and maximum speed, in that
// order; aborts with the step's message on the first failure.
void spidev_configure(int fd, spidev_settings* settings);

enum spidev_lock_result {
  SPIDEV_LOCKED,       // this process owns the bus until spidev_unlock
  SPIDEV_UNLOCKABLE,   // the device does not support locks: used without
  SPIDEV_BUSY,         // another process kept the bus for the whole wait
};

// Takes the exclusive lock on the open device, waiting at most wait_ms.
spidev_lock_result spidev_lock(int fd, int wait_ms);
void spidev_unlock(int fd);

// The process holding a lock on the open device, as /proc/locks tells, or 0.
int spidev_lock_holder(int fd);

// "/dev/spidev0.0: SPI device busy (held by process N)" on standard error;
// the holder part only when it is known.
void spidev_report_busy(int fd);

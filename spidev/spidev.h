// The board's SPI device, shared by unitctl and mcuflash: opening and
// configuring it, taking turns on the bus with the other programs, the one
// full-duplex exchange and its trace rows. Each program fills in its own
// path, settings and trace style; nothing here is process-wide.
#pragma once

#include <stddef.h>
#include <stdint.h>

constexpr char SPIDEV_PATH[] = "/dev/spidev0.0";

// What a program writes to the device; configuration replaces each value
// with the one the driver reads back.
struct spidev_settings {
  uint32_t mode;
  uint8_t bits_per_word;
  uint32_t max_speed_hz;
};

struct spidev_device {
  const char* path;
  spidev_settings settings;
  uint32_t exchange_speed_hz;  // asked for by every exchange
  uint8_t exchange_bits;       // bits per word of every exchange; 0: the device's
  bool trace;                  // TX and RX rows (with characters) after every exchange
  int fd;                      // -1 until opened
  bool said_no_lock;           // the missing lock support was reported
};

// A set-up step that failed: its message and the system error (errno).
struct spidev_failure {
  const char* what;
  int error;
};

// Opens the device read-write: 0, or 1 with "can't open device".
int spidev_open(spidev_device* device, spidev_failure* failure);

// Writes and reads back mode, bits per word and maximum speed, in that
// order: 0, or 1 with the first step that failed.
int spidev_configure(spidev_device* device, spidev_failure* failure);

// One SPI_IOC_MESSAGE(1) exchange of `length` bytes, its own chip-select
// frame: 0, or -1 with errno when the driver refused it. The one rule for
// both programs: an exchange failed when the driver returned a negative
// result; any other result carried the bytes.
int spidev_exchange(const spidev_device* device, const uint8_t* tx, uint8_t* rx, uint32_t length);

// Trace rows: "label | " and `width` cells ("XX ", "__ " past the end) a
// row, then " | ", the row's bytes as characters when asked, a newline.
void spidev_dump(const uint8_t* bytes, size_t length, size_t width, const char* label,
                 bool characters);

enum spidev_lock_result {
  SPIDEV_LOCKED,      // this process owns the bus until spidev_unlock
  SPIDEV_UNLOCKABLE,  // the device does not support locks: used without
  SPIDEV_BUSY,        // another process kept the bus for the whole wait
  SPIDEV_LOCK_FAILED, // the lock could not be taken for another cause (errno)
};

// Takes the exclusive lock on the open device, waiting at most wait_ms
// while another process holds it. A device without lock support is said
// once on standard error. Any other error ends the wait at once with
// SPIDEV_LOCK_FAILED and errno: a bad descriptor, or no lock record free
// (ENOLCK) through a few tries.
spidev_lock_result spidev_lock(spidev_device* device, int64_t wait_ms);
void spidev_unlock(const spidev_device* device);

// The process holding a lock on the open device, as /proc/locks tells, or 0.
int spidev_lock_holder(const spidev_device* device);

// "/dev/spidev0.0: SPI device busy (held by process N)" on standard error,
// the holder part only when it is known. For the programs' reporting.
void spidev_report_busy(const spidev_device* device);

// What the programs say, with errno's text, for SPIDEV_LOCK_FAILED.
constexpr char SPIDEV_LOCK_FAILURE[] = "can't lock device";

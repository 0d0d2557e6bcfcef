// unitctl's link to the MCU: the device with unitctl's settings, CRC-8,
// resynchronisation and the read and write transactions.
#pragma once

#include <stdint.h>

#include "spidev.h"

// How long, in all, a hand-run option waits for another program to let go
// of the bus.
constexpr int64_t SPI_LINK_LOCK_WAIT_MS = 10000;

struct spi_link {
  spidev_device device;
  int64_t lock_wait_ms;     // what the transactions may still wait for the bus, in all
  bool configure_pending;   // the settings wait for the first time the bus is ours
  bool refused;             // the last transaction found the bus held by another process
  spidev_failure setup;     // setup.what is set once opening, locking or configuring failed
};

// Opens and configures the device (under the bus lock, or at the first
// transaction that gets it); with `verbose`, prints the settings first and
// traces every exchange. Returns 0, or 1 with link->setup telling why.
int spi_link_open(spi_link* link, bool verbose, int64_t lock_wait_ms = SPI_LINK_LOCK_WAIT_MS);

uint8_t crc8_update(uint8_t byte, uint8_t crc, unsigned poly);
uint8_t crc8(const uint8_t* data, int len);

// Returns 1 when the MCU showed any sign of life (the 0x69 marker or FF F3),
// 0 when both phases went unanswered.
int mcu_resync(spi_link* link);

// Transactions hold the bus lock for all their attempts and return 1
// without an exchange when another process keeps the bus (link->refused) or
// the deferred configuration failed (link->setup). A write's payload holds
// len bytes, even when len is 0.
int mcu_read(spi_link* link, const uint8_t* command, uint8_t* out, unsigned len, uint8_t delay_ms,
             uint8_t retries);
int mcu_write(spi_link* link, const uint8_t* command, const uint8_t* payload, unsigned len,
              uint8_t delay_ms, uint8_t retries);

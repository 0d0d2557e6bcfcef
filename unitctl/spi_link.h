// unitctl's link to the MCU: the spidev device, single exchanges with their
// trace, CRC-8, resynchronisation and the read and write transactions.
#pragma once

#include <stdint.h>

#include "spidev.h"  // abort_with_error

extern bool verbose_output;  // set once at start from VERBOSE_OUTPUT

// Opens the device and configures it under the bus lock; aborts when the
// device cannot be opened or configured.
int spi_open(void);
// The transactions from now on wait at most wait_ms in all for the bus
// (about ten seconds from the start of the process unless set).
void spi_link_set_lock_wait(int wait_ms);
// Prints the busy line on standard error when the last transaction found
// the bus held by another process.
void spi_link_report_busy(void);
int spi_transfer(int fd, const uint8_t* tx, uint8_t* rx, uint8_t len);
void hex_dump(const uint8_t* data, int len, unsigned width, const char* label);

uint8_t crc8_update(uint8_t byte, uint8_t crc, unsigned poly);
uint8_t crc8(const uint8_t* data, int len);

// Returns 1 when the MCU showed any sign of life (the 0x69 marker or FF F3),
// 0 when both phases went unanswered.
int mcu_resync(int fd);

// Transactions hold the bus lock for all their attempts and return 1
// without an exchange when another process keeps the bus.
int mcu_read(int fd, const uint8_t* command, uint8_t* out, unsigned len, uint8_t delay_ms,
             uint8_t retries);
int mcu_write(int fd, const uint8_t* command, const uint8_t* payload, unsigned len,
              uint8_t delay_ms, uint8_t retries);

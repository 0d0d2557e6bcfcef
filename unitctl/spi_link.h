// unitctl's link to the MCU: the spidev device, single exchanges with their
// trace, CRC-8, resynchronisation and the read and write transactions.
#pragma once

#include <stdint.h>

#include "spidev.h"  // abort_with_error

extern bool verbose_output;  // set once at start from VERBOSE_OUTPUT

int spi_open(void);
int spi_transfer(int fd, const uint8_t* tx, uint8_t* rx, uint8_t len);
void hex_dump(const uint8_t* data, int len, unsigned width, const char* label);

uint8_t crc8_update(uint8_t byte, uint8_t crc, unsigned poly);
uint8_t crc8(const uint8_t* data, int len);

// Returns 1 when the MCU showed any sign of life (the 0x69 marker or FF F3),
// 0 when both phases went unanswered.
int mcu_resync(int fd);

int mcu_read(int fd, const uint8_t* command, uint8_t* out, unsigned len, uint8_t delay_ms,
             uint8_t retries);
int mcu_write(int fd, const uint8_t* command, const uint8_t* payload, unsigned len,
              uint8_t delay_ms, uint8_t retries);

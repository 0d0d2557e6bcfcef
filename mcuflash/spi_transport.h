// The flasher's SPI transport: the device settings, single exchanges, and
// the verbose output and packet dumps every layer prints through.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Process-wide settings: set before the first exchange, read by every
// exchange and every verbose message.
extern int verbose;
extern uint32_t spi_mode;
extern uint8_t spi_bits_per_word;
extern uint32_t spi_max_speed_hz;

void verbose_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
// One row of `row_width` cells per `row_width` bytes, in verbose mode only.
void trace_dump(const uint8_t* bytes, size_t length, size_t row_width, const char* label);

// Writes the settings above to the open device and replaces them with the
// values it reads back; aborts on any failure, as the device set-up always
// has. Prints them in verbose mode.
void spi_configure(int fd);

// One full-duplex SPI_IOC_MESSAGE(1) exchange of `length` bytes; returns the
// driver's result (below 1 when it failed, with errno set).
int spi_exchange(int fd, const uint8_t* tx, uint8_t* rx, uint32_t length);

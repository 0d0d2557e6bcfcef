// The flasher's link to the MCU's KBoot ROM bootloader: the SPI device and
// its settings, single exchanges, verbose output and packet dumps, CRC-16,
// little-endian field helpers and the framing procedures (ping, ACK,
// generic response).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "spidev.h"  // abort_with_error

// Process-wide settings: set before the first exchange, read by every
// exchange and every verbose message.
extern int verbose;
extern uint32_t spi_mode;
extern uint8_t spi_bits_per_word;
extern uint32_t spi_max_speed_hz;

constexpr uint8_t KBOOT_START_BYTE = 0x5A;
constexpr uint8_t KBOOT_PACKET_ACK = 0xA1;
constexpr uint8_t KBOOT_PACKET_NAK = 0xA2;
constexpr uint8_t KBOOT_PACKET_COMMAND = 0xA4;
constexpr uint8_t KBOOT_PACKET_DATA = 0xA5;
constexpr uint8_t KBOOT_PACKET_PING = 0xA6;

constexpr size_t KBOOT_HEADER_SIZE = 6;            // start, type, length, CRC
constexpr size_t KBOOT_PING_RESPONSE_SIZE = 10;
constexpr size_t KBOOT_GENERIC_RESPONSE_SIZE = 18;

// How long a poll waits for the start byte before giving up. Generous: a
// mass erase may keep the bootloader busy for a good while.
constexpr int64_t KBOOT_POLL_TIMEOUT_MS = 10000;

// Ends the process with `status` after flushing standard output.
[[noreturn]] void flash_exit(int status);

void verbose_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
void trace_dump(const uint8_t* bytes, size_t length, size_t row_width, const char* label);

// Opens /dev/spidev0.0 and configures mode, bits per word and speed, each
// read back into the settings above. Aborts on any failure.
int spi_setup(void);

// One full-duplex SPI_IOC_MESSAGE(1) exchange of `length` bytes; aborts when
// the driver reports a failure.
int spi_exchange(int fd, const uint8_t* tx, uint8_t* rx, uint32_t length);

// CRC-16/XMODEM (polynomial 0x1021, initial value 0, no reflection).
uint16_t kboot_crc16(const uint8_t* bytes, size_t length);
// Continues a CRC-16 over further bytes.
uint16_t kboot_crc16_update(uint16_t crc, const uint8_t* bytes, size_t length);

void put_u16_le(uint8_t* destination, uint16_t value);
void put_u32_le(uint8_t* destination, uint32_t value);
uint16_t get_u16_le(const uint8_t* source);
uint32_t get_u32_le(const uint8_t* source);

// Fills in the header of a framing packet whose payload is already at
// packet + KBOOT_HEADER_SIZE; returns the packet size.
size_t kboot_frame(uint8_t* packet, uint8_t type, uint16_t payload_length);

// The link procedures return only on success; every failure ends the
// process with a message on standard output.
void kboot_ping(int fd);
void kboot_send_ack(int fd);
void kboot_wait_ack(int fd);
void kboot_read_generic_response(int fd);

// The KBoot packet format: framing, CRC-16 and little-endian fields. Bytes
// in, bytes out; no I/O.
#pragma once

#include <stddef.h>
#include <stdint.h>

constexpr uint8_t KBOOT_START_BYTE = 0x5A;
constexpr uint8_t KBOOT_PACKET_ACK = 0xA1;
constexpr uint8_t KBOOT_PACKET_COMMAND = 0xA4;
constexpr uint8_t KBOOT_PACKET_DATA = 0xA5;
constexpr uint8_t KBOOT_PACKET_PING = 0xA6;

constexpr size_t KBOOT_HEADER_SIZE = 6;  // start, type, length, CRC
constexpr size_t KBOOT_PING_RESPONSE_SIZE = 10;
constexpr size_t KBOOT_GENERIC_RESPONSE_SIZE = 18;

constexpr uint8_t KBOOT_CMD_READ_MEMORY = 0x03;
constexpr uint8_t KBOOT_CMD_WRITE_MEMORY = 0x04;
constexpr uint8_t KBOOT_CMD_GET_PROPERTY = 0x07;
constexpr uint8_t KBOOT_CMD_EXECUTE = 0x09;
constexpr uint8_t KBOOT_CMD_ERASE_ALL_UNSECURE = 0x0D;
// The reserved byte the erase all unsecure command carries.
constexpr uint8_t KBOOT_ERASE_RESERVED = 0xCC;
// Tags of the bootloader's answers to read memory and get-property.
constexpr uint8_t KBOOT_READ_MEMORY_RESPONSE = 0xA3;
constexpr uint8_t KBOOT_GET_PROPERTY_RESPONSE = 0xA7;
constexpr uint32_t KBOOT_PROPERTY_FLASH_START = 3;
constexpr uint32_t KBOOT_PROPERTY_FLASH_SIZE = 4;
// The longest answer the flasher takes: a response with seven parameters.
constexpr size_t KBOOT_RESPONSE_MAX_SIZE = KBOOT_HEADER_SIZE + 4 + 4 * 7;

constexpr size_t KBOOT_MAX_PARAMETERS = 3;
// Header, command tag, flags, reserved byte, parameter count, parameters.
constexpr size_t KBOOT_COMMAND_MAX_SIZE = KBOOT_HEADER_SIZE + 4 + 4 * KBOOT_MAX_PARAMETERS;
constexpr size_t KBOOT_DATA_CHUNK = 32;  // image bytes per data packet
constexpr size_t KBOOT_DATA_MAX_SIZE = KBOOT_HEADER_SIZE + KBOOT_DATA_CHUNK;

// CRC-16/XMODEM (polynomial 0x1021, initial value 0, no reflection).
uint16_t kboot_crc16(const uint8_t* bytes, size_t length);
// Continues a CRC-16 over further bytes.
uint16_t kboot_crc16_update(uint16_t crc, const uint8_t* bytes, size_t length);

void put_u16_le(uint8_t* destination, uint16_t value);
void put_u32_le(uint8_t* destination, uint32_t value);
uint16_t get_u16_le(const uint8_t* source);
uint32_t get_u32_le(const uint8_t* source);

// The CRC of a packet: over its first four bytes and `payload_length`
// bytes of payload, not over the CRC's own two.
uint16_t kboot_packet_crc(const uint8_t* packet, size_t payload_length);

// Fills in the header of a framing packet whose payload is already at
// packet + KBOOT_HEADER_SIZE; returns the packet size.
size_t kboot_frame(uint8_t* packet, uint8_t type, uint16_t payload_length);

// Builds a command packet into `packet` (KBOOT_COMMAND_MAX_SIZE bytes);
// returns its size.
size_t kboot_build_command(uint8_t* packet, uint8_t tag, uint8_t reserved,
                           const uint32_t* parameters, size_t count);
// Builds a data packet carrying `length` (1 to 32) bytes; returns its size.
size_t kboot_build_data(uint8_t* packet, const uint8_t* chunk, size_t length);

// The status code of a generic response: 0 means success.
uint32_t kboot_response_status(const uint8_t* response);

// What a bootloader status means, in words ("flash access error");
// "unknown status" for a code the bootloader does not define.
const char* kboot_status_name(uint32_t status);

// Statuses the flasher acts on.
constexpr uint32_t KBOOT_STATUS_SECURITY_VIOLATION = 10001;

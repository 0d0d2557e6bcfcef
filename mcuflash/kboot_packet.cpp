#include "kboot_packet.h"

#include <string.h>

uint16_t kboot_crc16_update(uint16_t crc, const uint8_t* bytes, size_t length) {
  uint32_t value = crc;
  for (size_t i = 0; i < length; ++i) {
    value ^= static_cast<uint32_t>(bytes[i]) << 8;
    for (int bit = 0; bit < 8; ++bit) {
      value = (value & 0x8000) ? (value << 1) ^ 0x1021 : value << 1;
    }
    value &= 0xFFFF;
  }
  return static_cast<uint16_t>(value);
}

uint16_t kboot_crc16(const uint8_t* bytes, size_t length) {
  return kboot_crc16_update(0, bytes, length);
}

void put_u16_le(uint8_t* destination, uint16_t value) {
  destination[0] = static_cast<uint8_t>(value & 0xFF);
  destination[1] = static_cast<uint8_t>(value >> 8);
}

void put_u32_le(uint8_t* destination, uint32_t value) {
  destination[0] = static_cast<uint8_t>(value & 0xFF);
  destination[1] = static_cast<uint8_t>((value >> 8) & 0xFF);
  destination[2] = static_cast<uint8_t>((value >> 16) & 0xFF);
  destination[3] = static_cast<uint8_t>(value >> 24);
}

uint16_t get_u16_le(const uint8_t* source) {
  return static_cast<uint16_t>(source[0] | (source[1] << 8));
}

uint32_t get_u32_le(const uint8_t* source) {
  return static_cast<uint32_t>(source[0]) | (static_cast<uint32_t>(source[1]) << 8) |
         (static_cast<uint32_t>(source[2]) << 16) | (static_cast<uint32_t>(source[3]) << 24);
}

uint16_t kboot_packet_crc(const uint8_t* packet, size_t payload_length) {
  return kboot_crc16_update(kboot_crc16(packet, 4), packet + KBOOT_HEADER_SIZE, payload_length);
}

size_t kboot_frame(uint8_t* packet, uint8_t type, uint16_t payload_length) {
  packet[0] = KBOOT_START_BYTE;
  packet[1] = type;
  put_u16_le(packet + 2, payload_length);
  put_u16_le(packet + 4, kboot_packet_crc(packet, payload_length));
  return KBOOT_HEADER_SIZE + payload_length;
}

size_t kboot_build_command(uint8_t* packet, uint8_t tag, uint8_t reserved,
                           const uint32_t* parameters, size_t count) {
  if (count > KBOOT_MAX_PARAMETERS) count = KBOOT_MAX_PARAMETERS;
  uint8_t* payload = packet + KBOOT_HEADER_SIZE;
  payload[0] = tag;
  payload[1] = 0x00;  // flags
  payload[2] = reserved;
  payload[3] = static_cast<uint8_t>(count);
  for (size_t i = 0; i < count; ++i) put_u32_le(payload + 4 + 4 * i, parameters[i]);
  return kboot_frame(packet, KBOOT_PACKET_COMMAND, static_cast<uint16_t>(4 + 4 * count));
}

size_t kboot_build_data(uint8_t* packet, const uint8_t* chunk, size_t length) {
  if (length > KBOOT_DATA_CHUNK) length = KBOOT_DATA_CHUNK;
  memcpy(packet + KBOOT_HEADER_SIZE, chunk, length);
  return kboot_frame(packet, KBOOT_PACKET_DATA, static_cast<uint16_t>(length));
}

uint32_t kboot_response_status(const uint8_t* response) { return get_u32_le(response + 10); }

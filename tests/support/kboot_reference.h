// Reference KBoot packets for the tests, written apart from the flasher's
// own code: CRC-16/XMODEM bit by bit, little-endian fields, framing.
#pragma once

#include <cstdint>
#include <vector>

namespace kboot_reference {

using Bytes = std::vector<uint8_t>;

inline uint16_t crc16(const Bytes& data) {
  unsigned crc = 0;
  for (uint8_t b : data)
    for (int bit = 7; bit >= 0; --bit) {
      const unsigned top = ((crc >> 15) ^ (b >> bit)) & 1;
      crc = (crc << 1) & 0xFFFF;
      if (top) crc ^= 0x1021;
    }
  return static_cast<uint16_t>(crc);
}

inline void add_u32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// A framed packet of the given type: header, CRC over bytes 0-3 and the
// payload, then the payload.
inline Bytes framed(uint8_t type, const Bytes& payload) {
  Bytes p = {0x5A, type, static_cast<uint8_t>(payload.size()),
             static_cast<uint8_t>(payload.size() >> 8)};
  Bytes covered = p;
  covered.insert(covered.end(), payload.begin(), payload.end());
  const uint16_t crc = crc16(covered);
  p.push_back(static_cast<uint8_t>(crc));
  p.push_back(static_cast<uint8_t>(crc >> 8));
  p.insert(p.end(), payload.begin(), payload.end());
  return p;
}

inline Bytes command(uint8_t tag, uint8_t reserved, const std::vector<uint32_t>& params) {
  Bytes payload = {tag, 0, reserved, static_cast<uint8_t>(params.size())};
  for (uint32_t v : params) add_u32(payload, v);
  return framed(0xA4, payload);
}

}  // namespace kboot_reference

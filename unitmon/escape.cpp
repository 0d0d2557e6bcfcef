#include "escape.h"

void text_escape(const uint8_t* bytes, size_t len, char* out) {
  char* p = out;
  for (size_t i = 0; i < len; ++i) {
    const uint8_t b = bytes[i];
    if (b == '\\' || b == '"') {
      *p++ = '\\';
      *p++ = static_cast<char>(b);
    } else if (b == '\n') {
      *p++ = '\\';
      *p++ = 'n';
    } else if (b >= 0x80) {
      *p++ = static_cast<char>(0xC0 | (b >> 6));
      *p++ = static_cast<char>(0x80 | (b & 0x3F));
    } else if (b < 0x20 || b == 0x7F) {
      const unsigned picture = b == 0x7F ? 0x2421u : 0x2400u + b;
      *p++ = static_cast<char>(0xE0 | (picture >> 12));
      *p++ = static_cast<char>(0x80 | ((picture >> 6) & 0x3F));
      *p++ = static_cast<char>(0x80 | (picture & 0x3F));
    } else {
      *p++ = static_cast<char>(b);
    }
  }
  *p = '\0';
}

void text_uuid(const uint8_t* uuid, char* out) {
  static const char HEX[] = "0123456789ABCDEF";
  for (size_t i = 0; i < TELEMETRY_UUID_LEN; ++i) {
    out[2 * i] = HEX[uuid[i] >> 4];
    out[2 * i + 1] = HEX[uuid[i] & 0x0F];
  }
  out[2 * TELEMETRY_UUID_LEN] = '\0';
}

#include "telemetry_decode.h"

#include <string.h>

size_t telemetry_expected_length(uint16_t type) {
  switch (type) {
    case TELEMETRY_STATUS: return 4;
    case TELEMETRY_VERSION: return 6;
    case TELEMETRY_IDENTITY: return 29;
    default: return 0;
  }
}

const char* telemetry_charging_text(uint8_t charging) {
  switch (charging) {
    case 0: return "OFF";
    case 1: return "ON";
    case 2: return "ERROR";
    default: return "invalid";
  }
}

telemetry_result telemetry_decode(const uint8_t* data, size_t len, telemetry_record* out) {
  if (len < 2) return TELEMETRY_TOO_SHORT;
  const uint16_t type = static_cast<uint16_t>((data[0] << 8) | data[1]);
  out->type = type;
  const size_t expected = telemetry_expected_length(type);
  if (expected == 0) return TELEMETRY_UNKNOWN_TYPE;
  if (len != expected) return TELEMETRY_BAD_LENGTH;

  telemetry_record r;
  memset(&r, 0, sizeof r);
  r.type = type;
  if (type == TELEMETRY_STATUS) {
    r.battery = data[2];
    r.charging = data[3];
    r.battery_valid = r.battery <= 100;
    r.charging_valid = r.charging <= 2;
  } else if (type == TELEMETRY_VERSION) {
    r.major = data[2];
    r.minor = data[3];
    r.patch = static_cast<uint16_t>((data[4] << 8) | data[5]);
  } else {
    while (r.serial_len < TELEMETRY_SERIAL_LEN && data[2 + r.serial_len] != 0) {
      r.serial[r.serial_len] = data[2 + r.serial_len];
      ++r.serial_len;
    }
    memcpy(r.uuid, data + 13, TELEMETRY_UUID_LEN);
  }
  *out = r;
  return TELEMETRY_OK;
}

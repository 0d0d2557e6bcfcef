#include "telemetry_decode.h"

#include <string.h>

size_t telemetry_expected_length(uint16_t type) {
  switch (type) {
    case TELEMETRY_STATUS: return TELEMETRY_STATUS_LEN;
    case TELEMETRY_VERSION: return TELEMETRY_VERSION_LEN;
    case TELEMETRY_IDENTITY: return TELEMETRY_IDENTITY_LEN;
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
    r.battery = data[TELEMETRY_STATUS_BATTERY];
    r.charging = data[TELEMETRY_STATUS_CHARGING];
    r.battery_valid = r.battery <= 100;
    r.charging_valid = r.charging <= 2;
  } else if (type == TELEMETRY_VERSION) {
    r.major = data[TELEMETRY_VERSION_MAJOR];
    r.minor = data[TELEMETRY_VERSION_MINOR];
    const uint8_t* patch = data + TELEMETRY_VERSION_PATCH;
    r.patch = static_cast<uint16_t>((patch[0] << 8) | patch[1]);
  } else {
    const uint8_t* serial = data + TELEMETRY_IDENTITY_SERIAL;
    while (r.serial_len < TELEMETRY_SERIAL_LEN && serial[r.serial_len] != 0) {
      r.serial[r.serial_len] = serial[r.serial_len];
      ++r.serial_len;
    }
    memcpy(r.uuid, data + TELEMETRY_IDENTITY_UUID, TELEMETRY_UUID_LEN);
  }
  *out = r;
  return TELEMETRY_OK;
}

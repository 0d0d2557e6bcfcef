#include "report.h"

#include <inttypes.h>

#include "escape.h"

void report_address(uint32_t address, char* out) {
  snprintf(out, 16, "%u.%u.%u.%u", static_cast<unsigned>(address >> 24),
           static_cast<unsigned>((address >> 16) & 0xFF), static_cast<unsigned>((address >> 8) & 0xFF),
           static_cast<unsigned>(address & 0xFF));
}

void report_escape_text(const uint8_t* bytes, size_t len, char* out) {
  char* p = out;
  for (size_t i = 0; i < len; ++i) {
    const uint8_t b = bytes[i];
    if (b >= 0x20 && b < 0x7F && b != '\\') {
      *p++ = static_cast<char>(b);
    } else {
      p += snprintf(p, 5, "\\x%02X", b);
    }
  }
  *p = '\0';
}

void report_json(FILE* f, uint32_t source, uint32_t seconds, uint32_t microseconds,
                 const telemetry_record* r) {
  char address[16];
  report_address(source, address);
  fprintf(f, "{\"time\":%" PRIu32 ".%06" PRIu32 ",\"source\":\"%s\",", seconds, microseconds,
          address);
  if (r->type == TELEMETRY_STATUS) {
    fputs("\"type\":\"status\",", f);
    if (r->battery_valid) {
      fprintf(f, "\"battery\":%u,", r->battery);
    } else {
      fprintf(f, "\"battery\":null,\"battery_invalid\":%u,", r->battery);
    }
    if (r->charging_valid) {
      fprintf(f, "\"charging\":\"%s\"}\n", r->charging == 0 ? "off" : r->charging == 1 ? "on" : "error");
    } else {
      fprintf(f, "\"charging\":null,\"charging_invalid\":%u}\n", r->charging);
    }
  } else if (r->type == TELEMETRY_VERSION) {
    fprintf(f, "\"type\":\"version\",\"major\":%u,\"minor\":%u,\"patch\":%u}\n", r->major, r->minor,
            r->patch);
  } else {
    char serial[3 * TELEMETRY_SERIAL_LEN + 1];
    char uuid[2 * TELEMETRY_UUID_LEN + 1];
    text_escape(r->serial, r->serial_len, serial);
    text_uuid(r->uuid, uuid);
    fprintf(f, "\"type\":\"identity\",\"serial\":\"%s\",\"uuid\":\"%s\"}\n", serial, uuid);
  }
}

void report_json_stale(FILE* f, uint32_t seconds, uint32_t microseconds, const unit_record* u) {
  char address[16];
  report_address(u->address, address);
  fprintf(f, "{\"time\":%" PRIu32 ".%06" PRIu32 ",\"source\":\"%s\",\"type\":\"stale\",", seconds,
          microseconds, address);
  if (u->has_identity) {
    char serial[3 * TELEMETRY_SERIAL_LEN + 1];
    char uuid[2 * TELEMETRY_UUID_LEN + 1];
    text_escape(u->serial, u->serial_len, serial);
    text_uuid(u->uuid, uuid);
    fprintf(f, "\"serial\":\"%s\",\"uuid\":\"%s\",", serial, uuid);
  }
  fprintf(f, "\"last_seen\":%" PRIu32 ".%06" PRIu32 "}\n", u->seen_s, u->seen_us);
}

namespace {
const char ROW[] = "%-15s  %-10s  %-8s  %-8s  %-7s  %-8s  %s\n";
}

void report_header(FILE* f) {
  fprintf(f, ROW, "ADDRESS", "SERIAL", "UUID", "VERSION", "BATTERY", "CHARGING", "AGE");
}

void report_row(FILE* f, const unit_record* u, uint64_t now_ms) {
  char address[16];
  char serial[4 * TELEMETRY_SERIAL_LEN + 1] = "-";
  char uuid[2 * TELEMETRY_UUID_LEN + 1] = "-";
  char version[20] = "-";
  char battery[12] = "-";
  char age[32] = "-";
  const char* charging = "-";
  report_address(u->address, address);
  if (u->has_identity) {
    report_escape_text(u->serial, u->serial_len, serial);
    text_uuid(u->uuid, uuid);
    uuid[8] = '\0';
  }
  if (u->now.has_version) {
    snprintf(version, sizeof version, "%u.%u.%u", u->now.version.major, u->now.version.minor,
             u->now.version.patch);
  }
  if (u->now.has_status) {
    if (u->now.status.battery_valid) {
      snprintf(battery, sizeof battery, "%u%%", u->now.status.battery);
    } else {
      snprintf(battery, sizeof battery, "invalid");
    }
    charging = telemetry_charging_text(u->now.status.charging);
    const uint64_t ms = now_ms > u->now.status_ms ? now_ms - u->now.status_ms : 0;
    snprintf(age, sizeof age, "%" PRIu64 "s%s", ms / 1000, u->stale ? " stale" : "");
  } else if (u->stale) {
    snprintf(age, sizeof age, "stale");
  }
  fprintf(f, ROW, address, serial, uuid, version, battery, charging, age);
}

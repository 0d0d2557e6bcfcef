#include "metrics.h"

#include <inttypes.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include "board_version.h"
#include "escape.h"
#include "report.h"

void text_append(text_buffer* b, const char* format, ...) {
  for (int attempt = 0; attempt < 2 && !b->failed; ++attempt) {
    va_list args;
    va_start(args, format);
    const size_t room = b->capacity - b->len;
    const int n = vsnprintf(b->data != nullptr ? b->data + b->len : nullptr, room, format, args);
    va_end(args);
    if (n < 0) {
      b->failed = true;
    } else if (static_cast<size_t>(n) < room) {
      b->len += static_cast<size_t>(n);
      return;
    } else {
      size_t cap = b->capacity < 4096 ? 4096 : b->capacity;
      while (cap - b->len <= static_cast<size_t>(n)) cap *= 2;
      char* grown = static_cast<char*>(realloc(b->data, cap));
      if (grown == nullptr) {
        b->failed = true;
      } else {
        b->data = grown;
        b->capacity = cap;
      }
    }
  }
}

namespace {

// The labels that name a unit, without braces.
void unit_labels(const unit_view* u, char* out, size_t size) {
  char address[16];
  report_address(u->address, address);
  if (!u->has_identity) {
    snprintf(out, size, "address=\"%s\"", address);
    return;
  }
  char serial[3 * TELEMETRY_SERIAL_LEN + 1];
  text_escape(u->serial, u->serial_len, serial);
  char uuid[2 * TELEMETRY_UUID_LEN + 1];
  text_uuid(u->uuid, uuid);
  snprintf(out, size, "serial=\"%s\",uuid=\"%s\"", serial, uuid);
}

void family(text_buffer* b, const char* name, const char* type, const char* help) {
  text_append(b, "# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

enum unit_metric { BATTERY, CHARGING, LAST_SEEN, INFO, UNIT_METRICS };

// Appends bytes as they are; the samples of 10,000 units are written this
// way rather than through printf, which would take most of a scrape.
void text_put(text_buffer* b, const char* bytes, size_t len) {
  if (b->failed || len == 0) return;
  if (b->capacity - b->len < len + 1) {
    size_t cap = b->capacity < 4096 ? 4096 : b->capacity;
    while (cap - b->len < len + 1) cap *= 2;
    char* grown = static_cast<char*>(realloc(b->data, cap));
    if (grown == nullptr) {
      b->failed = true;
      return;
    }
    b->data = grown;
    b->capacity = cap;
  }
  memcpy(b->data + b->len, bytes, len);
  b->len += len;
  b->data[b->len] = '\0';
}

// name{labels} value, the value already text.
void sample(text_buffer* b, const char* name, const char* labels, size_t labels_len, const char* value) {
  text_put(b, name, strlen(name));
  text_put(b, "{", 1);
  text_put(b, labels, labels_len);
  text_put(b, "} ", 2);
  text_put(b, value, strlen(value));
  text_put(b, "\n", 1);
}

// Decimal digits of v, at least `width` of them.
char* put_decimal(char* p, uint32_t v, int width) {
  char digits[10];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0 || n < width);
  while (n > 0) *p++ = digits[--n];
  return p;
}

// The unit's samples, one into each family's part.
void unit_samples(text_buffer* parts, const unit_view* u) {
  char labels[200];
  unit_labels(u, labels, sizeof labels);
  size_t len = strlen(labels);
  char value[24];
  if (u->has_status && u->battery_valid) {
    char* p = put_decimal(value, u->battery / 100u, 1);
    *p++ = '.';
    *put_decimal(p, u->battery % 100u, 2) = '\0';
    sample(&parts[BATTERY], "unitmon_unit_battery_ratio", labels, len, value);
  }
  if (u->has_status && u->charging_valid) {
    sample(&parts[CHARGING], "unitmon_unit_charging", labels, len, u->charging == 1 ? "1" : "0");
  }
  char* p = put_decimal(value, u->seen_s, 1);
  *p++ = '.';
  *put_decimal(p, u->seen_us, 6) = '\0';
  sample(&parts[LAST_SEEN], "unitmon_unit_last_seen_timestamp_seconds", labels, len, value);
  char version[20] = "";
  if (u->has_version) snprintf(version, sizeof version, "%u.%u.%u", u->major, u->minor, u->patch);
  char address[16];
  report_address(u->address, address);
  if (u->has_identity) {
    snprintf(labels + len, sizeof labels - len, ",address=\"%s\",version=\"%s\"", address, version);
  } else {
    snprintf(labels + len, sizeof labels - len, ",version=\"%s\"", version);
  }
  sample(&parts[INFO], "unitmon_unit_info", labels, strlen(labels), "1");
}

// When the process started, from the kernel's boot time and the process's
// start in clock ticks after it; false when /proc does not say.
bool process_start_time(uint64_t* seconds, uint64_t* hundredths) {
  FILE* f = fopen("/proc/stat", "r");
  if (f == nullptr) return false;
  char line[256];
  unsigned long long boot = 0;
  bool have_boot = false;
  while (!have_boot && fgets(line, sizeof line, f) != nullptr) have_boot = sscanf(line, "btime %llu", &boot) == 1;
  fclose(f);
  f = have_boot ? fopen("/proc/self/stat", "r") : nullptr;
  if (f == nullptr) return false;
  // The command name may hold spaces and parentheses: fields are counted
  // from its last ')'. The start time is field 22, the 20th after it.
  char stat[1024];
  const size_t n = fread(stat, 1, sizeof stat - 1, f);
  fclose(f);
  stat[n] = '\0';
  const char* p = strrchr(stat, ')');
  unsigned long long ticks = 0;
  for (int field = 2; p != nullptr && field < 22; ++field) p = strchr(p + 1, ' ');
  if (p == nullptr || sscanf(p + 1, "%llu", &ticks) != 1) return false;
  const long hz = sysconf(_SC_CLK_TCK);
  if (hz <= 0) return false;
  const unsigned long long per_s = static_cast<unsigned long long>(hz);
  *seconds = boot + ticks / per_s;
  *hundredths = ticks % per_s * 100u / per_s;
  return true;
}

void process_metrics(text_buffer* b) {
  uint64_t start_s, start_cs;
  if (process_start_time(&start_s, &start_cs)) {
    family(b, "process_start_time_seconds", "gauge", "Start time of the process since unix epoch in seconds.");
    text_append(b, "process_start_time_seconds %" PRIu64 ".%02" PRIu64 "\n", start_s, start_cs);
  }
  rusage ru;
  if (getrusage(RUSAGE_SELF, &ru) == 0) {
    const uint64_t us = (static_cast<uint64_t>(ru.ru_utime.tv_sec) + static_cast<uint64_t>(ru.ru_stime.tv_sec)) * 1000000u +
                        static_cast<uint64_t>(ru.ru_utime.tv_usec) + static_cast<uint64_t>(ru.ru_stime.tv_usec);
    family(b, "process_cpu_seconds_total", "counter", "User and system CPU time spent in seconds.");
    text_append(b, "process_cpu_seconds_total %" PRIu64 ".%06" PRIu64 "\n", us / 1000000u, us % 1000000u);
  }
  FILE* statm = fopen("/proc/self/statm", "r");
  unsigned long size = 0, resident = 0;
  if (statm != nullptr) {
    if (fscanf(statm, "%lu %lu", &size, &resident) == 2) {
      const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
      family(b, "process_resident_memory_bytes", "gauge", "Resident memory size in bytes.");
      text_append(b, "process_resident_memory_bytes %" PRIu64 "\n", resident * page);
      family(b, "process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes.");
      text_append(b, "process_virtual_memory_bytes %" PRIu64 "\n", size * page);
    }
    fclose(statm);
  }
}

}  // namespace

void metrics_render(text_buffer* b, const fleet_snapshot* t) {
  const listener_counts* c = &t->counts;
  static const struct {
    unit_metric metric;
    const char* name;
    const char* type;
    const char* help;
  } UNIT_FAMILIES[] = {
      {BATTERY, "unitmon_unit_battery_ratio", "gauge", "Battery level of the unit, 0 to 1."},
      {CHARGING, "unitmon_unit_charging", "gauge", "1 while the unit is charging, 0 otherwise."},
      {LAST_SEEN, "unitmon_unit_last_seen_timestamp_seconds", "gauge",
       "When the last good datagram of the unit arrived, in seconds since the epoch."},
      {INFO, "unitmon_unit_info", "gauge", "The unit's address and software version; always 1."},
  };
  text_buffer parts[UNIT_METRICS] = {};
  for (size_t i = 0; i < t->count; ++i) unit_samples(parts, &t->units[i]);
  for (const auto& f : UNIT_FAMILIES) {
    family(b, f.name, f.type, f.help);
    text_buffer& part = parts[f.metric];
    if (part.failed) b->failed = true;
    text_put(b, part.data, part.len);
    free(part.data);
  }
  family(b, "unitmon_datagrams_received_total", "counter", "Good telemetry datagrams received, by type.");
  const char* const types[] = {"status", "version", "identity"};
  for (size_t i = 0; i < 3; ++i) {
    text_append(b, "unitmon_datagrams_received_total{type=\"%s\"} %" PRIu64 "\n", types[i], c->received[i]);
  }
  family(b, "unitmon_datagrams_malformed_total", "counter",
         "Datagrams of the wrong length, of an unknown type or too short for a type; they make no unit.");
  text_append(b, "unitmon_datagrams_malformed_total %" PRIu64 "\n", c->malformed);
  family(b, "unitmon_receive_drops_total", "counter",
         "Datagrams the kernel dropped on the listener's socket, its receive buffer being full.");
  text_append(b, "unitmon_receive_drops_total %" PRIu64 "\n", c->receive_drops);
  family(b, "unitmon_receive_buffer_bytes", "gauge", "The socket's receive buffer as the kernel granted it.");
  text_append(b, "unitmon_receive_buffer_bytes %" PRIu64 "\n", c->receive_buffer_bytes);
  family(b, "unitmon_datagrams_dropped_total", "counter",
         "Datagrams of units not kept because the table was at --max-units.");
  text_append(b, "unitmon_datagrams_dropped_total %" PRIu64 "\n", t->dropped);
  family(b, "unitmon_units", "gauge", "Units known.");
  text_append(b, "unitmon_units %zu\n", t->count);
  family(b, "unitmon_units_max", "gauge", "The --max-units limit.");
  text_append(b, "unitmon_units_max %zu\n", t->max);
  family(b, "unitmon_units_forgotten_total", "counter", "Units forgotten after --forget seconds of silence.");
  text_append(b, "unitmon_units_forgotten_total %" PRIu64 "\n", c->forgotten);
  family(b, "unitmon_build_info", "gauge", "The unitmon that answers: its version and git commit; always 1.");
  text_append(b, "unitmon_build_info{version=\"%s\",revision=\"%s\"} 1\n", BOARD_VERSION, BOARD_REVISION);
  process_metrics(b);
}

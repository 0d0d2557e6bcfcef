// The telemetry datagram decoder, the unit table and the capture reader on
// arbitrary bytes: every input ends, reads nothing outside its buffers,
// and whatever is decoded renders as valid JSON lines and as a valid
// Prometheus exposition (well-formed samples, valid UTF-8).
//
// Input: first byte even, a series of datagrams (each: a byte whose low
// three bits pick one of 8 source addresses and whose high bits are seconds
// to wait, a length byte, the bytes); odd, a capture file.
#include <ctype.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "capture.h"
#include "check.h"
#include "metrics.h"
#include "report.h"
#include "units.h"

namespace {

// ---- what valid output is ----------------------------------------------------

bool valid_utf8(const char* s, size_t n) {
  for (size_t i = 0; i < n;) {
    const uint8_t b = static_cast<uint8_t>(s[i]);
    const size_t extra = b < 0x80 ? 0 : (b >> 5) == 6 ? 1 : (b >> 4) == 14 ? 2 : (b >> 3) == 30 ? 3 : 9;
    if (extra == 9 || (extra == 1 && b < 0xC2) || i + extra >= n) return false;
    for (size_t k = 1; k <= extra; ++k) {
      if ((static_cast<uint8_t>(s[i + k]) & 0xC0) != 0x80) return false;
    }
    i += extra + 1;
  }
  return true;
}

// A JSON value limited to what the report writes: an object of strings,
// numbers and null.
bool json_string(const char*& p) {
  if (*p++ != '"') return false;
  while (*p != '"') {
    if (static_cast<uint8_t>(*p) < 0x20) return false;
    if (*p == '\\') {
      ++p;
      if (*p == 'u') {
        for (int i = 1; i <= 4; ++i) {
          if (!isxdigit(static_cast<uint8_t>(p[i]))) return false;
        }
        p += 4;
      } else if (strchr("\"\\/bfnrt", *p) == nullptr || *p == '\0') {
        return false;
      }
    }
    ++p;
  }
  ++p;
  return true;
}

bool json_line(const char* p) {
  if (*p++ != '{') return false;
  for (;;) {
    if (!json_string(p) || *p++ != ':') return false;
    if (*p == '"') {
      if (!json_string(p)) return false;
    } else if (strncmp(p, "null", 4) == 0) {
      p += 4;
    } else {
      char* end;
      strtod(p, &end);
      if (end == p || !(isdigit(static_cast<uint8_t>(*p)) || *p == '-')) return false;
      p = end;
    }
    if (*p == '}') return p[1] == '\n' && p[2] == '\0';
    if (*p++ != ',') return false;
  }
}

bool metric_name(const char*& p) {
  if (!(isalpha(static_cast<uint8_t>(*p)) || *p == '_' || *p == ':')) return false;
  while (isalnum(static_cast<uint8_t>(*p)) || *p == '_' || *p == ':') ++p;
  return true;
}

// One line of the text format 0.0.4, without its newline.
bool exposition_line(const char* p) {
  if (strncmp(p, "# HELP ", 7) == 0 || strncmp(p, "# TYPE ", 7) == 0) {
    p += 7;
    return metric_name(p) && *p == ' ';
  }
  if (!metric_name(p)) return false;
  if (*p == '{') {
    ++p;
    while (*p != '}') {
      if (!metric_name(p) || *p++ != '=' || *p++ != '"') return false;
      while (*p != '"') {
        if (*p == '\0') return false;
        if (*p == '\\' && strchr("\\\"n", *++p) == nullptr) return false;
        ++p;
      }
      ++p;
      if (*p == ',') ++p;
    }
    ++p;
  }
  if (*p++ != ' ') return false;
  char* end;
  strtod(p, &end);
  return end != p && *end == '\0';
}

// ---- driving it -------------------------------------------------------------------

struct run {
  unit_table table;
  listener_counts counts;
  uint64_t now_ms;
};

void check_json(const telemetry_record* r, const unit_record* u) {
  char* text = nullptr;
  size_t len = 0;
  FILE* f = open_memstream(&text, &len);
  FUZZ_REQUIRE(f != nullptr, "memory stream");
  if (r != nullptr) report_json(f, 0xC0A80100u, 1700000000u, 999999u, r);
  if (u != nullptr) report_json_stale(f, 1700000000u, 1u, u);
  fclose(f);
  FUZZ_REQUIRE(valid_utf8(text, len) && json_line(text), "one line of valid JSON");
  free(text);
}

void datagram(run* r, uint32_t source, const uint8_t* data, size_t len) {
  telemetry_record record;
  if (telemetry_decode(data, len, &record) != TELEMETRY_OK) {
    ++r->counts.malformed;
    return;
  }
  FUZZ_REQUIRE(record.type <= TELEMETRY_IDENTITY && record.serial_len <= TELEMETRY_SERIAL_LEN,
               "decoded record in range");
  ++r->counts.received[record.type];
  unit_record* u = units_update(&r->table, source, &record, r->now_ms,
                                static_cast<uint32_t>(r->now_ms / 1000), 0);
  check_json(&record, nullptr);
  FUZZ_REQUIRE(u == nullptr || u->has_identity || record.type != TELEMETRY_IDENTITY, "an identity names its unit");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static run r;
  units_init(&r.table, 16);
  r.counts = listener_counts{};
  r.now_ms = 1700000000000ull;
  if ((data[0] & 1) == 0) {
    for (size_t i = 1; i + 2 <= size;) {
      const uint8_t pick = data[i], len = data[i + 1];
      i += 2;
      const size_t n = len < size - i ? len : size - i;
      // An exact-size copy, so that a read past the datagram is caught.
      uint8_t* copy = static_cast<uint8_t*>(malloc(n == 0 ? 1 : n));
      memcpy(copy, data + i, n);
      r.now_ms += static_cast<uint64_t>(pick >> 3) * 1000u;
      datagram(&r, 0xC0A80100u + (pick & 7u), copy, n);
      free(copy);
      i += n;
      if ((pick >> 3) > 16) r.counts.forgotten += units_forget(&r.table, r.now_ms - 20000);
    }
  } else {
    const int fd = memfd_create("capture", 0);
    FUZZ_REQUIRE(fd >= 0 && write(fd, data + 1, size - 1) == static_cast<ssize_t>(size - 1), "memfd");
    char path[64];
    snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    capture_reader reader;
    capture_status st = capture_open(&reader, path);
    for (int n = 0; st == CAPTURE_PACKET; ++n) {
      capture_datagram d;
      st = capture_next(&reader, TELEMETRY_PORT, &d);
      if (st == CAPTURE_PACKET) datagram(&r, d.source, d.data, d.len);
    }
    FUZZ_REQUIRE(st != CAPTURE_PACKET, "the capture ends");
    capture_close(&reader);
    close(fd);
  }
  for (size_t i = 0; i < r.table.count; ++i) check_json(nullptr, r.table.units[i]);
  FUZZ_REQUIRE(r.table.count <= r.table.max, "table within its limit");
  text_buffer text = {nullptr, 0, 0, false};
  fleet_snapshot snapshot;
  FUZZ_REQUIRE(snapshot_take(&snapshot, &r.table, &r.counts), "snapshot");
  metrics_render(&text, &snapshot);
  snapshot_free(&snapshot);
  FUZZ_REQUIRE(!text.failed && valid_utf8(text.data, text.len), "exposition in UTF-8");
  for (char* line = text.data; line < text.data + text.len;) {
    char* end = static_cast<char*>(memchr(line, '\n', static_cast<size_t>(text.data + text.len - line)));
    FUZZ_REQUIRE(end != nullptr, "every line ends");
    *end = '\0';
    FUZZ_REQUIRE(exposition_line(line), "a valid exposition line");
    line = end + 1;
  }
  free(text.data);
  units_free(&r.table);
  return 0;
}

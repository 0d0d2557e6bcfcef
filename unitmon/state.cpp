#include "state.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

const char MAGIC[8] = {'U', 'N', 'I', 'T', 'M', 'O', 'N', 'S'};
constexpr uint32_t FORMAT = 1;
constexpr size_t HEADER = 20;
constexpr size_t RECORD = 48;
constexpr size_t LARGEST = HEADER + UNITS_LIMIT * RECORD;

void put32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

uint32_t get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}

void encode(const unit_view* v, uint8_t* p) {
  memset(p, 0, RECORD);
  put32(p, v->address);
  put32(p + 4, v->seen_s);
  put32(p + 8, v->seen_us);
  p[12] = static_cast<uint8_t>(v->has_identity | v->has_status << 1 | v->has_version << 2 |
                               v->battery_valid << 3 | v->charging_valid << 4);
  p[13] = v->serial_len;
  memcpy(p + 14, v->serial, TELEMETRY_SERIAL_LEN);
  memcpy(p + 24, v->uuid, TELEMETRY_UUID_LEN);
  p[40] = v->battery;
  p[41] = v->charging;
  p[42] = v->major;
  p[43] = v->minor;
  p[44] = static_cast<uint8_t>(v->patch >> 8);
  p[45] = static_cast<uint8_t>(v->patch);
}

// False for a record that no unit could have left.
bool decode(const uint8_t* p, unit_view* v) {
  memset(v, 0, sizeof *v);
  v->address = get32(p);
  v->seen_s = get32(p + 4);
  v->seen_us = get32(p + 8);
  const uint8_t flags = p[12];
  v->has_identity = flags & 1;
  v->has_status = flags & 2;
  v->has_version = flags & 4;
  v->battery_valid = flags & 8;
  v->charging_valid = flags & 16;
  v->serial_len = p[13];
  memcpy(v->serial, p + 14, TELEMETRY_SERIAL_LEN);
  memcpy(v->uuid, p + 24, TELEMETRY_UUID_LEN);
  v->battery = p[40];
  v->charging = p[41];
  v->major = p[42];
  v->minor = p[43];
  v->patch = static_cast<uint16_t>(p[44] << 8 | p[45]);
  if (flags >= 32 || v->seen_us >= 1000000 || v->serial_len > TELEMETRY_SERIAL_LEN || p[46] != 0 || p[47] != 0) {
    return false;
  }
  for (size_t i = v->serial_len; i < TELEMETRY_SERIAL_LEN; ++i) {
    if (v->serial[i] != 0) return false;
  }
  return true;
}

// FNV-1a over the records, folded to 32 bits: enough to tell a file that
// changed since it was written.
uint32_t checksum(uint32_t sum, const uint8_t* data, size_t len) {
  for (size_t i = 0; i < len; ++i) sum = (sum ^ data[i]) * 16777619u;
  return sum;
}
constexpr uint32_t CHECKSUM_START = 2166136261u;

bool write_all(int fd, const uint8_t* data, size_t len) {
  while (len > 0) {
    const ssize_t n = write(fd, data, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

// The reason why the bytes are no state file; nullptr when they are one.
const char* check(const uint8_t* data, size_t len, size_t* count) {
  if (len < HEADER || memcmp(data, MAGIC, sizeof MAGIC) != 0) return "not a unitmon state file";
  if (get32(data + 8) != FORMAT) return "a state file of another format";
  *count = get32(data + 12);
  if (*count > UNITS_LIMIT || len != HEADER + *count * RECORD) return "truncated or of the wrong size";
  if (checksum(CHECKSUM_START, data + HEADER, *count * RECORD) != get32(data + 16)) {
    return "damaged (checksum mismatch)";
  }
  return nullptr;
}

state_result move_aside(const char* path, state_contents* out, const char* reason) {
  out->reason = reason;
  char aside[sizeof out->aside];
  for (unsigned n = 0; n < 100; ++n) {
    snprintf(aside, sizeof aside, n == 0 ? "%s.damaged-%lld" : "%s.damaged-%lld.%u", path,
             static_cast<long long>(time(nullptr)), n);
    if (renameat2(AT_FDCWD, path, AT_FDCWD, aside, RENAME_NOREPLACE) == 0) {
      memcpy(out->aside, aside, sizeof aside);
      return STATE_MOVED;
    }
    if (errno != EEXIST) break;
  }
  out->error = errno;
  return STATE_NOT_MOVED;
}

}  // namespace

state_result state_load(const char* path, state_contents* out) {
  memset(out, 0, sizeof *out);
  // Without O_NONBLOCK, opening a FIFO would wait for a writer.
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    out->error = errno;
    if (errno == ENOENT) return STATE_MISSING;
    out->reason = "cannot be read";
    return STATE_UNUSABLE;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    out->reason = "not a regular file";
    return STATE_UNUSABLE;
  }
  if (static_cast<unsigned long long>(st.st_size) > LARGEST) {
    close(fd);
    return move_aside(path, out, "larger than any state file");
  }
  const size_t size = static_cast<size_t>(st.st_size);
  uint8_t* data = static_cast<uint8_t*>(malloc(size == 0 ? 1 : size));
  size_t got = 0;
  while (data != nullptr && got < size) {
    const ssize_t n = read(fd, data + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  close(fd);
  if (data == nullptr) {
    out->error = ENOMEM;
    out->reason = "cannot be read";
    return STATE_UNUSABLE;
  }
  size_t count = 0;
  const char* reason = check(data, got, &count);
  if (reason == nullptr && count != 0) {
    out->units = static_cast<unit_view*>(malloc(count * sizeof *out->units));
    if (out->units == nullptr) {
      free(data);
      out->error = ENOMEM;
      out->reason = "cannot be read";
      return STATE_UNUSABLE;
    }
  }
  for (size_t i = 0; reason == nullptr && i < count; ++i) {
    if (!decode(data + HEADER + i * RECORD, &out->units[i])) reason = "holds a record no unit could have left";
  }
  free(data);
  if (reason != nullptr) {
    free(out->units);
    out->units = nullptr;
    return move_aside(path, out, reason);
  }
  out->count = count;
  return STATE_LOADED;
}

int state_save(const char* path, const unit_view* units, size_t count) {
  char temporary[4096];
  if (snprintf(temporary, sizeof temporary, "%s.new", path) >= static_cast<int>(sizeof temporary)) {
    return ENAMETOOLONG;
  }
  const int fd = open(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return errno;
  uint8_t header[HEADER];
  memcpy(header, MAGIC, sizeof MAGIC);
  put32(header + 8, FORMAT);
  put32(header + 12, static_cast<uint32_t>(count));
  uint32_t sum = CHECKSUM_START;
  bool ok = write_all(fd, header, sizeof header);  // the checksum is written last
  uint8_t block[RECORD * 256];
  for (size_t i = 0; ok && i < count;) {
    size_t n = 0;
    for (; n < 256 && i < count; ++n, ++i) encode(&units[i], block + n * RECORD);
    sum = checksum(sum, block, n * RECORD);
    ok = write_all(fd, block, n * RECORD);
  }
  put32(header + 16, sum);
  ok = ok && pwrite(fd, header + 16, 4, 16) == 4 && fsync(fd) == 0;
  int error = ok ? 0 : (errno != 0 ? errno : EIO);
  if (close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && rename(temporary, path) != 0) error = errno;
  if (error != 0) unlink(temporary);
  return error;
}

#include "logs.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace boardsim {

namespace {

const uint64_t FLUSH_EVERY = 4096;
const uint64_t FLUSH_AFTER_NS = 50'000'000;
// "X " then t_first (20 digits) and a blank: t_last starts here.
const long long T_LAST_OFFSET = 23;

bool write_all(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) break;  // a torn last line is not a record
    lines.push_back(text.substr(pos, nl - pos));
    pos = nl + 1;
  }
  return lines;
}

std::vector<std::string> split_words(const std::string& line) {
  std::vector<std::string> w;
  std::istringstream in(line);
  std::string s;
  while (in >> s) w.push_back(s);
  return w;
}

bool to_u64(const std::string& s, uint64_t* v) {
  if (s.empty()) return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long x = std::strtoull(s.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return false;
  *v = x;
  return true;
}

}  // namespace

uint64_t monotonic_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(ts.tv_nsec);
}

std::string to_hex(const uint8_t* data, size_t len) {
  if (len == 0) return ".";
  static const char digits[] = "0123456789abcdef";
  std::string s(len * 2, '0');
  for (size_t i = 0; i < len; ++i) {
    s[2 * i] = digits[data[i] >> 4];
    s[2 * i + 1] = digits[data[i] & 15];
  }
  return s;
}

bool from_hex(const std::string& text, std::vector<uint8_t>* out) {
  out->clear();
  if (text == ".") return true;
  if (text.size() % 2 != 0) return false;
  auto nib = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  out->reserve(text.size() / 2);
  for (size_t i = 0; i < text.size(); i += 2) {
    int hi = nib(text[i]), lo = nib(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out->push_back(static_cast<uint8_t>(hi << 4 | lo));
  }
  return true;
}

bool ExchangeLog::open(const std::string& path) {
  close();
  // Records are appended (the test kit may truncate the file meanwhile); the
  // pending run's record, always the last one, is rewritten in place through
  // a second descriptor, since pwrite() on an O_APPEND descriptor appends.
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  update_fd_ = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd_ < 0 || update_fd_ < 0) {
    close();
    return false;
  }
  return true;
}

void ExchangeLog::close() {
  if (fd_ >= 0) end_run();
  if (fd_ >= 0) ::close(fd_);
  if (update_fd_ >= 0) ::close(update_fd_);
  fd_ = update_fd_ = -1;
}

void ExchangeLog::append(const std::string& line) {
  if (fd_ < 0) return;
  write_all(fd_, line.data(), line.size());
}

void ExchangeLog::exchange(uint64_t t, const TransferFields& f, const uint8_t* tx,
                           const uint8_t* rx, size_t len) {
  if (pending_ && f == fields_ && len == tx_.size() &&
      (len == 0 || (std::memcmp(tx, tx_.data(), len) == 0 &&
                    std::memcmp(rx, rx_.data(), len) == 0))) {
    ++count_;
    t_last_ = t;
    if (count_ - written_count_ >= FLUSH_EVERY || t - written_t_ >= FLUSH_AFTER_NS) flush();
    return;
  }
  end_run();
  pending_ = true;
  fields_ = f;
  tx_.assign(tx, tx + len);
  rx_.assign(rx, rx + len);
  t_first_ = t_last_ = t;
  count_ = 1;
  char head[160];
  std::snprintf(head, sizeof head,
                "X %020" PRIu64 " %020" PRIu64 " %020" PRIu64 " %c%c%c %u %u %u %u %u %u ",
                t_first_, t_last_, count_, f.has_tx ? 't' : '-', f.has_rx ? 'r' : '-',
                f.failed ? 'F' : '-', static_cast<unsigned>(f.speed_hz),
                static_cast<unsigned>(f.delay_usecs), static_cast<unsigned>(f.bits_per_word),
                static_cast<unsigned>(f.cs_change), static_cast<unsigned>(f.tx_nbits),
                static_cast<unsigned>(f.rx_nbits));
  std::string line = head;
  line += to_hex(tx, len);
  line += ' ';
  line += to_hex(rx, len);
  line += '\n';
  append(line);
  record_len_ = line.size();
  written_count_ = 1;
  written_t_ = t;
}

void ExchangeLog::flush() {
  if (!pending_ || fd_ < 0) return;
  if (count_ != written_count_ || t_last_ != written_t_) {
    struct stat st;
    if (::fstat(fd_, &st) == 0 && st.st_size >= static_cast<off_t>(record_len_)) {
      off_t at = st.st_size - static_cast<off_t>(record_len_) + T_LAST_OFFSET;
      char buf[48];
      int n = std::snprintf(buf, sizeof buf, "%020" PRIu64 " %020" PRIu64, t_last_, count_);
      ::pwrite(update_fd_, buf, static_cast<size_t>(n), at);
    }
  }
  written_count_ = count_;
  written_t_ = t_last_;
}

void ExchangeLog::end_run() {
  flush();
  pending_ = false;
}

void ExchangeLog::forget() { pending_ = false; }

void ExchangeLog::config(uint64_t t, const char* name, uint32_t value, bool failed) {
  end_run();
  char buf[128];
  std::snprintf(buf, sizeof buf, "C %020" PRIu64 " %s %u %s\n", t, name,
                static_cast<unsigned>(value), failed ? "fail" : "ok");
  append(buf);
}

void ExchangeLog::note(uint64_t t, const std::string& text) {
  end_run();
  char buf[32];
  std::snprintf(buf, sizeof buf, "N %020" PRIu64 " ", t);
  std::string line = buf;
  for (char c : text) line += (c == '\n' || c == '\r') ? ' ' : c;
  line += '\n';
  append(line);
}

void append_line(const std::string& path, const std::string& line) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  write_all(fd, line.data(), line.size());
  ::close(fd);
}

std::string read_file(const std::string& path) {
  std::string out;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return out;
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return out;
}

std::vector<Exchange> parse_spi_log(const std::string& text) {
  std::vector<Exchange> out;
  for (const auto& line : split_lines(text)) {
    if (line.size() < 2 || line[0] != 'X' || line[1] != ' ') continue;
    auto w = split_words(line);
    if (w.size() != 13 || w[4].size() != 3) continue;
    Exchange e;
    uint64_t v[6];
    bool ok = to_u64(w[1], &e.t_first_ns) && to_u64(w[2], &e.t_last_ns) &&
              to_u64(w[3], &e.count);
    for (int i = 0; i < 6 && ok; ++i) ok = to_u64(w[5 + i], &v[i]);
    if (!ok) continue;
    e.has_tx = w[4][0] == 't';
    e.has_rx = w[4][1] == 'r';
    e.failed = w[4][2] == 'F';
    e.speed_hz = static_cast<uint32_t>(v[0]);
    e.delay_usecs = static_cast<uint16_t>(v[1]);
    e.bits_per_word = static_cast<uint8_t>(v[2]);
    e.cs_change = static_cast<uint8_t>(v[3]);
    e.tx_nbits = static_cast<uint8_t>(v[4]);
    e.rx_nbits = static_cast<uint8_t>(v[5]);
    if (!from_hex(w[11], &e.tx) || !from_hex(w[12], &e.rx)) continue;
    out.push_back(std::move(e));
  }
  return out;
}

std::vector<SpiConfig> parse_spi_config(const std::string& text) {
  std::vector<SpiConfig> out;
  for (const auto& line : split_lines(text)) {
    if (line.size() < 2 || line[0] != 'C' || line[1] != ' ') continue;
    auto w = split_words(line);
    uint64_t t, v;
    if (w.size() != 5 || !to_u64(w[1], &t) || !to_u64(w[3], &v)) continue;
    out.push_back(SpiConfig{w[2], static_cast<uint32_t>(v), w[4] == "fail"});
  }
  return out;
}

std::vector<std::pair<uint64_t, std::string>> parse_notes(const std::string& text) {
  std::vector<std::pair<uint64_t, std::string>> out;
  for (const auto& line : split_lines(text)) {
    if (line.size() < 23 || line[0] != 'N' || line[1] != ' ') continue;
    uint64_t t;
    if (!to_u64(line.substr(2, 20), &t)) continue;
    out.emplace_back(t, line.substr(23));
  }
  return out;
}

std::vector<GpioWrite> parse_gpio_log(const std::string& text) {
  std::vector<GpioWrite> out;
  for (const auto& line : split_lines(text)) {
    if (line.size() < 2 || line[0] != 'G' || line[1] != ' ') continue;
    auto w = split_words(line);
    GpioWrite g;
    std::vector<uint8_t> bytes;
    if (w.size() != 5 || !to_u64(w[1], &g.t_ns) || !from_hex(w[3], &bytes)) continue;
    g.path = w[2];
    g.data.assign(bytes.begin(), bytes.end());
    out.push_back(std::move(g));
  }
  return out;
}

std::vector<Datagram> parse_datagrams(const std::string& text) {
  std::vector<Datagram> out;
  for (const auto& line : split_lines(text)) {
    if (line.size() < 2 || line[0] != 'D' || line[1] != ' ') continue;
    auto w = split_words(line);
    Datagram d;
    if (w.size() != 4 || !to_u64(w[1], &d.t_ns) || !from_hex(w[3], &d.bytes)) continue;
    d.to = w[2];
    out.push_back(std::move(d));
  }
  return out;
}

}  // namespace boardsim

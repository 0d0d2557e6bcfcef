#include "logs.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <optional>
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

bool ExchangeLog::open(const std::string& path, BoardLock* lock) {
  close();
  lock_ = lock;
  // Records are appended; the pending run's record is rewritten in place
  // through a second descriptor, since pwrite() on an O_APPEND descriptor
  // appends.
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
  lock_ = nullptr;
}

// Under the board lock, so that the file's size before the write is where
// the record starts.
void ExchangeLog::append(const std::string& line) {
  if (fd_ < 0) return;
  struct stat st;
  uint64_t at = ::fstat(fd_, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
  write_all(fd_, line.data(), line.size());
  record_at_ = at;
  record_end_ = at + line.size();
  if (lock_) {
    lock_->put(BoardLock::LOG_END, record_end_);
    epoch_ = lock_->get(BoardLock::LOG_EPOCH);
  }
}

bool ExchangeLog::still_last() const {
  if (lock_) {
    return lock_->get(BoardLock::LOG_EPOCH) == epoch_ &&
           lock_->get(BoardLock::LOG_END) == record_end_;
  }
  struct stat st;
  return ::fstat(fd_, &st) == 0 && static_cast<uint64_t>(st.st_size) == record_end_;
}

void ExchangeLog::exchange(uint64_t t, const TransferFields& f, const uint8_t* tx,
                           const uint8_t* rx, size_t len) {
  if (fd_ < 0) return;
  std::optional<LockGuard> guard;
  if (lock_) guard.emplace(*lock_);
  if (pending_ && f == fields_ && len == tx_.size() &&
      (len == 0 || (std::memcmp(tx, tx_.data(), len) == 0 &&
                    std::memcmp(rx, rx_.data(), len) == 0)) &&
      still_last()) {
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
  char head[200];
  std::snprintf(head, sizeof head,
                "X %020" PRIu64 " %020" PRIu64 " %020" PRIu64 " %ld %c%c%c %u %u %u %u %u %u ",
                t_first_, t_last_, count_, pid_, f.has_tx ? 't' : '-', f.has_rx ? 'r' : '-',
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
  written_count_ = 1;
  written_t_ = t;
}

void ExchangeLog::flush() {
  if (!pending_ || fd_ < 0) return;
  if (count_ != written_count_ || t_last_ != written_t_) {
    std::optional<LockGuard> guard;
    if (lock_) guard.emplace(*lock_);
    // Only into the file the record was written to: the records may have
    // been cleared since.
    bool same_file = lock_ ? lock_->get(BoardLock::LOG_EPOCH) == epoch_ : true;
    struct stat st;
    if (same_file && ::fstat(fd_, &st) == 0 &&
        static_cast<uint64_t>(st.st_size) >= record_end_) {
      char buf[48];
      int n = std::snprintf(buf, sizeof buf, "%020" PRIu64 " %020" PRIu64, t_last_, count_);
      ::pwrite(update_fd_, buf, static_cast<size_t>(n),
               static_cast<off_t>(record_at_ + T_LAST_OFFSET));
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
  std::optional<LockGuard> guard;
  if (lock_) guard.emplace(*lock_);
  end_run();
  char buf[160];
  std::snprintf(buf, sizeof buf, "C %020" PRIu64 " %ld %s %u %s\n", t, pid_, name,
                static_cast<unsigned>(value), failed ? "fail" : "ok");
  append(buf);
}

void ExchangeLog::note(uint64_t t, const std::string& text) {
  std::optional<LockGuard> guard;
  if (lock_) guard.emplace(*lock_);
  end_run();
  char buf[64];
  std::snprintf(buf, sizeof buf, "N %020" PRIu64 " %ld ", t, pid_);
  std::string line = buf;
  for (char c : text) line += (c == '\n' || c == '\r') ? ' ' : c;
  line += '\n';
  append(line);
}

void ExchangeLog::collision(uint64_t t, long owner, const char* program) {
  std::optional<LockGuard> guard;
  if (lock_) guard.emplace(*lock_);
  end_run();
  char buf[96];
  std::snprintf(buf, sizeof buf, "K %020" PRIu64 " %ld %ld %s\n", t, pid_, owner, program);
  append(buf);
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
    if (w.size() != 14 || w[5].size() != 3) continue;
    Exchange e;
    uint64_t v[6], pid;
    bool ok = to_u64(w[1], &e.t_first_ns) && to_u64(w[2], &e.t_last_ns) &&
              to_u64(w[3], &e.count) && to_u64(w[4], &pid);
    for (int i = 0; i < 6 && ok; ++i) ok = to_u64(w[6 + i], &v[i]);
    if (!ok) continue;
    e.pid = static_cast<long>(pid);
    e.has_tx = w[5][0] == 't';
    e.has_rx = w[5][1] == 'r';
    e.failed = w[5][2] == 'F';
    e.speed_hz = static_cast<uint32_t>(v[0]);
    e.delay_usecs = static_cast<uint16_t>(v[1]);
    e.bits_per_word = static_cast<uint8_t>(v[2]);
    e.cs_change = static_cast<uint8_t>(v[3]);
    e.tx_nbits = static_cast<uint8_t>(v[4]);
    e.rx_nbits = static_cast<uint8_t>(v[5]);
    if (!from_hex(w[12], &e.tx) || !from_hex(w[13], &e.rx)) continue;
    out.push_back(std::move(e));
  }
  return out;
}

std::vector<SpiConfig> parse_spi_config(const std::string& text) {
  std::vector<SpiConfig> out;
  for (const auto& line : split_lines(text)) {
    if (line.size() < 2 || line[0] != 'C' || line[1] != ' ') continue;
    auto w = split_words(line);
    uint64_t t, pid, v;
    if (w.size() != 6 || !to_u64(w[1], &t) || !to_u64(w[2], &pid) || !to_u64(w[4], &v)) continue;
    out.push_back(SpiConfig{w[3], static_cast<uint32_t>(v), w[5] == "fail", static_cast<long>(pid)});
  }
  return out;
}

std::vector<Note> parse_notes(const std::string& text) {
  std::vector<Note> out;
  for (const auto& line : split_lines(text)) {
    if (line.size() < 23 || line[0] != 'N' || line[1] != ' ') continue;
    size_t sp = line.find(' ', 23);
    Note n;
    uint64_t pid;
    if (sp == std::string::npos || !to_u64(line.substr(2, 20), &n.t_ns) ||
        !to_u64(line.substr(23, sp - 23), &pid))
      continue;
    n.pid = static_cast<long>(pid);
    n.text = line.substr(sp + 1);
    out.push_back(std::move(n));
  }
  return out;
}

std::vector<Collision> parse_collisions(const std::string& text) {
  std::vector<Collision> out;
  for (const auto& line : split_lines(text)) {
    if (line.size() < 2 || line[0] != 'K' || line[1] != ' ') continue;
    auto w = split_words(line);
    Collision c;
    uint64_t pid, owner;
    if (w.size() != 5 || !to_u64(w[1], &c.t_ns) || !to_u64(w[2], &pid) || !to_u64(w[3], &owner))
      continue;
    c.pid = static_cast<long>(pid);
    c.owner = static_cast<long>(owner);
    c.program = w[4];
    out.push_back(std::move(c));
  }
  return out;
}

std::vector<GpioWrite> parse_gpio_log(const std::string& text) {
  std::vector<GpioWrite> out;
  for (const auto& line : split_lines(text)) {
    if (line.size() < 2 || line[0] != 'G' || line[1] != ' ') continue;
    auto w = split_words(line);
    GpioWrite g;
    uint64_t pid;
    std::vector<uint8_t> bytes;
    if (w.size() != 6 || !to_u64(w[1], &g.t_ns) || !to_u64(w[2], &pid) || !from_hex(w[4], &bytes))
      continue;
    g.pid = static_cast<long>(pid);
    g.path = w[3];
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
    uint64_t pid;
    if (w.size() != 5 || !to_u64(w[1], &d.t_ns) || !to_u64(w[2], &pid) || !from_hex(w[4], &d.bytes))
      continue;
    d.pid = static_cast<long>(pid);
    d.to = w[3];
    out.push_back(std::move(d));
  }
  return out;
}

}  // namespace boardsim

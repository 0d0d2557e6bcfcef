// The in-flight state of an MCU model as bytes, so that every process that
// runs against one board continues the same MCU. Integers are stored least
// significant byte first, whatever the host's byte order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace boardsim {

class SnapshotWriter {
 public:
  explicit SnapshotWriter(std::string* out) : out_(out) {}
  void u8(uint8_t v) { out_->push_back(static_cast<char>(v)); }
  void u32(uint32_t v) {
    for (int i = 0; i < 4; ++i) u8(static_cast<uint8_t>(v >> (8 * i)));
  }
  void u64(uint64_t v) {
    for (int i = 0; i < 8; ++i) u8(static_cast<uint8_t>(v >> (8 * i)));
  }
  void bytes(const uint8_t* p, size_t n) {
    u32(static_cast<uint32_t>(n));
    out_->append(reinterpret_cast<const char*>(p), n);
  }

 private:
  std::string* out_;
};

// Reads what SnapshotWriter wrote; ok() turns false at the first read past
// the end (and every later read gives zeros).
class SnapshotReader {
 public:
  explicit SnapshotReader(const std::string& in) : in_(in) {}
  uint8_t u8() {
    if (pos_ >= in_.size()) {
      ok_ = false;
      return 0;
    }
    return static_cast<uint8_t>(in_[pos_++]);
  }
  uint32_t u32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(u8()) << (8 * i);
    return v;
  }
  uint64_t u64() {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= static_cast<uint64_t>(u8()) << (8 * i);
    return v;
  }
  // Reads a byte string of at most max bytes into p; returns its length.
  size_t bytes(uint8_t* p, size_t max) {
    size_t n = u32();
    if (n > max || in_.size() - pos_ < n) {
      ok_ = false;
      return 0;
    }
    for (size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(in_[pos_ + i]);
    pos_ += n;
    return n;
  }
  // A byte string of any length.
  std::string rest_string() {
    size_t n = u32();
    if (in_.size() - pos_ < n) {
      ok_ = false;
      return {};
    }
    std::string s = in_.substr(pos_, n);
    pos_ += n;
    return s;
  }
  bool ok() const { return ok_ && pos_ == in_.size(); }

 private:
  const std::string& in_;
  size_t pos_ = 0;
  bool ok_ = true;
};

}  // namespace boardsim

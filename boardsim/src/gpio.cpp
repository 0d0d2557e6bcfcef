#include "gpio.h"

#include <errno.h>

#include <cstdlib>

namespace boardsim {

namespace {

// sysfs accepts the text with or without one trailing newline.
std::string strip_newline(const std::string& s) {
  if (!s.empty() && s.back() == '\n') return s.substr(0, s.size() - 1);
  return s;
}

const int MAX_LINE = 1023;

}  // namespace

bool parse_sysfs_number(const std::string& data, long* out) {
  std::string s = strip_newline(data);
  if (s.empty()) return false;
  size_t i = (s[0] == '+' || s[0] == '-') ? 1 : 0;
  if (i == s.size()) return false;
  for (size_t j = i; j < s.size(); ++j)
    if (s[j] < '0' || s[j] > '9') return false;
  if (s.size() > 12) return false;
  *out = std::strtol(s.c_str(), nullptr, 10);
  return true;
}

std::string Gpio::key(int line, const char* field) {
  return "gpio." + std::to_string(line) + "." + field;
}

bool Gpio::exported(int line) const { return state_.get_int(key(line, "exported"), 0) == 1; }

bool Gpio::is_output(int line) const {
  return exported(line) && state_.get(key(line, "direction"), "in") == "out";
}

int Gpio::value(int line) const { return state_.get_int(key(line, "value"), 0) != 0 ? 1 : 0; }

int Gpio::level(int line) const { return is_output(line) ? value(line) : 1; }

int Gpio::write_export(const std::string& data) {
  long line;
  if (!parse_sysfs_number(data, &line) || line < 0 || line > MAX_LINE) return EINVAL;
  int n = static_cast<int>(line);
  if (exported(n)) return EBUSY;
  int old = level(n);
  state_.set(key(n, "exported"), "1");
  state_.set(key(n, "direction"), "in");
  state_.set(key(n, "value"), "0");
  level_changed(n, old);
  return 0;
}

int Gpio::write_unexport(const std::string& data) {
  long line;
  if (!parse_sysfs_number(data, &line) || line < 0 || line > MAX_LINE) return EINVAL;
  int n = static_cast<int>(line);
  if (!exported(n)) return EINVAL;
  int old = level(n);
  state_.set(key(n, "exported"), "0");
  level_changed(n, old);
  return 0;
}

int Gpio::write_direction(int line, const std::string& data) {
  if (!exported(line)) return ENOENT;
  std::string s = strip_newline(data);
  int old = level(line);
  if (s == "in") {
    state_.set(key(line, "direction"), "in");
  } else if (s == "out" || s == "low") {
    state_.set(key(line, "direction"), "out");
    state_.set(key(line, "value"), "0");
  } else if (s == "high") {
    state_.set(key(line, "direction"), "out");
    state_.set(key(line, "value"), "1");
  } else {
    return EINVAL;
  }
  level_changed(line, old);
  return 0;
}

int Gpio::write_value(int line, const std::string& data) {
  if (!exported(line)) return ENOENT;
  if (!is_output(line)) return EPERM;
  long v;
  if (!parse_sysfs_number(data, &v)) return EINVAL;
  int old = level(line);
  state_.set(key(line, "value"), v != 0 ? "1" : "0");
  level_changed(line, old);
  return 0;
}

void Gpio::level_changed(int line, int old_level) {
  if (line != RESET_LINE) return;
  int now = level(RESET_LINE);
  if (now == old_level) return;
  if (now == 0) {
    state_.set("mcu.program", "off");
  } else {
    state_.set("mcu.program", level(BOOT_SELECT_LINE) ? "firmware" : "bootloader");
  }
  mcu_restart_ = true;
}

}  // namespace boardsim

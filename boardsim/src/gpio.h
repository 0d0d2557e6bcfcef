// The host's sysfs GPIO lines as the kernel presents them, kept in the board
// state (gpio.N.exported, gpio.N.direction, gpio.N.value), and their wiring
// to the MCU: line 22 is the MCU's reset, line 21 its boot-select.
//
// A line that is not driven (not exported, or an input) is pulled high, so an
// untouched board runs its firmware. While line 22 is low the MCU is held in
// reset (mcu.program=off); when it rises the MCU starts its firmware if line
// 21 is high and its ROM bootloader if line 21 is low.
#pragma once

#include <string>

#include "state.h"

namespace boardsim {

class Gpio {
 public:
  static const int RESET_LINE = 22;
  static const int BOOT_SELECT_LINE = 21;

  explicit Gpio(State& state) : state_(state) {}

  bool exported(int line) const;
  bool is_output(int line) const;
  int value(int line) const;  // the value file's content, 0 or 1
  int level(int line) const;  // what the MCU sees: the driven value, else 1

  // Writes to the sysfs files; each returns 0 or the errno the kernel gives.
  int write_export(const std::string& data);
  int write_unexport(const std::string& data);
  int write_direction(int line, const std::string& data);
  int write_value(int line, const std::string& data);

  // True once after a write that started, stopped or restarted the MCU.
  bool take_mcu_restart() {
    bool r = mcu_restart_;
    mcu_restart_ = false;
    return r;
  }

  static std::string key(int line, const char* field);

 private:
  void level_changed(int line, int old_level);
  State& state_;
  bool mcu_restart_ = false;
};

// Parses decimal text as sysfs does (one trailing newline allowed).
bool parse_sysfs_number(const std::string& data, long* out);

}  // namespace boardsim

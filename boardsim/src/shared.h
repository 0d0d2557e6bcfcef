// What every process that runs against one board directory shares beyond
// the board's files: the board-wide lock and a small record of the bus.
//
// <dir>/board.lock is locked with flock() around every simulated exchange,
// GPIO write, state edit and record rewrite (never the device file, which
// the programs lock themselves), and mapped into each process. It holds
// counters that tell a process whether its copies of board.state and of the
// MCU's in-flight state are current, that state itself (in <dir>/bus.state
// when it is too long for the record), and who owns the transaction on the
// bus.
#pragma once

#include <cstddef>
#include <cstdint>
#include <signal.h>
#include <functional>
#include <map>
#include <string>

#include "state.h"

namespace boardsim {

class BoardLock {
 public:
  // Fields of the shared record, 64-bit each.
  enum Field {
    STATE_GEN,    // bumped by every write of board.state
    MODEL_GEN,    // bumped by every write of bus.state
    LOG_EPOCH,    // bumped when the records are cleared
    LOG_END,      // where the latest record of spi.log ends
    TXN_PID,      // process inside an open firmware transaction, 0: none
    TXN_LAST_NS,  // CLOCK_MONOTONIC time of that process's latest exchange
    BOOT_PID,     // process that restarted the MCU into its bootloader, 0: none
    GARBLE_PID,   // transaction owner whose next exchange is garbled, 0: none
    GARBLE_LEN,   // length of the intruding bytes kept for it
    MODEL_LEN,    // length of the MCU state kept in the record; MODEL_IN_FILE:
                  // too long, it is in <dir>/bus.state
    FIELD_COUNT
  };
  static constexpr size_t GARBLE_MAX = 256;
  static constexpr size_t MODEL_MAX = 16384;
  static constexpr uint64_t MODEL_IN_FILE = ~0ull;
  static constexpr size_t MODEL_AT = 4096;  // offset of the MCU state in the record

  BoardLock() = default;
  BoardLock(const BoardLock&) = delete;
  BoardLock& operator=(const BoardLock&) = delete;
  ~BoardLock() { close(); }

  bool open(const std::string& dir);
  void close();
  bool is_open() const { return map_ != nullptr; }

  // Nested calls in one process count; the lock is released by the last.
  // While it is held, the job-control stops (SIGTSTP, SIGTTIN, SIGTTOU) wait
  // until it is released: a process stopped inside a simulated exchange
  // would otherwise hold up every other process of the board, which the
  // real device, finishing its transfer in the kernel, never does.
  void lock();
  void unlock();

  uint64_t get(Field f) const;
  void put(Field f, uint64_t v);
  uint64_t bump(Field f) {  // returns the new value
    put(f, get(f) + 1);
    return get(f);
  }
  uint8_t* garble_bytes();
  uint8_t* model_bytes() { return map_ ? map_ + MODEL_AT : nullptr; }  // MODEL_MAX bytes
  const uint8_t* model_bytes() const { return map_ ? map_ + MODEL_AT : nullptr; }

 private:
  int fd_ = -1;
  unsigned char* map_ = nullptr;
  int depth_ = 0;
  sigset_t saved_mask_;
};

class LockGuard {
 public:
  explicit LockGuard(BoardLock& l) : l_(l) { l_.lock(); }
  ~LockGuard() { l_.unlock(); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  BoardLock& l_;
};

// Changes board.state under the board lock, so that running programs see
// the change at their next exchange. Returns false when it cannot be saved.
bool edit_state(const std::string& dir, const std::function<void(State&)>& edit);

// Empties the record files (spi.log, gpio.log, datagrams) under the lock.
void clear_records(const std::string& dir);

// The environment that runs a program against the board in dir: vars holds
// the environment to change. BOARDSIM_DIR is set; the preload library goes
// in front of LD_PRELOAD, or, through an emulator (which hands QEMU_SET_ENV to
// the guest program alone), is appended to QEMU_SET_ENV.
void board_environment(std::map<std::string, std::string>* vars, const std::string& dir,
                       const std::string& preload, bool emulated, bool sanitized);

}  // namespace boardsim

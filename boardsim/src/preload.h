// What the rooms of the preload share: the lookup of the C library's own
// functions, the re-entry guard, the descriptors the simulator owns and the
// board as this process sees it (preload_board.cpp), and what each room
// offers the shared entry points of preload.cpp.
#pragma once

#include <dlfcn.h>
#include <stdint.h>

#include <memory>
#include <string>

#include "flash.h"
#include "gpio.h"
#include "logs.h"
#include "shared.h"
#include "spi_peer.h"
#include "state.h"

#ifndef __THROW
#define __THROW
#endif

#define EXPORT __attribute__((visibility("default")))

namespace boardsim::preload {

// ---- the C library's own functions ---------------------------------------

template <typename F>
F next_fn(F* slot, const char* name) {
  if (!*slot) *slot = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
  return *slot;
}

// real_<name>(): the next definition of <name> after this library's own.
#define REAL(name, type)                  \
  static type real_##name##_ptr = nullptr; \
  static type real_##name() { return next_fn(&real_##name##_ptr, #name); }

// ---- re-entry guard -------------------------------------------------------
// While the simulator itself runs (reading its state, writing its logs), the
// calls it makes go straight to the C library.

extern thread_local int in_sim;
struct Inside {
  Inside() { ++in_sim; }
  ~Inside() { --in_sim; }
};

int fail(int err);  // sets errno, returns -1

// ---- descriptors the simulator owns ---------------------------------------

enum class Kind : uint8_t { none, spi, gpio_export, gpio_unexport, gpio_direction, gpio_value };

struct FdInfo {
  Kind kind = Kind::none;
  int line = 0;
  uint32_t mode = 0;
  uint8_t bits = 8;
  uint32_t speed = 500000;
};

FdInfo* tracked(int fd);  // null when the simulator does not own fd
FdInfo& track(int fd, Kind kind);
void untrack(int fd);
int track_copy(int from, int to);

// ---- the board --------------------------------------------------------------

enum class Program : uint8_t { firmware, bootloader, off };

long my_pid();
extern bool forked;  // this process is a fork() child of the one that set up the board

// One board as this process sees it. The board's state (board.state) and
// the MCU's in-flight state (bus.state) are shared by every process that
// runs against the directory: under the board lock, sync() catches up with
// what others wrote, and publish() writes what this process changed.
struct SimBoard {
  std::string dir;
  State state;
  BoardLock lock;
  ExchangeLog log;
  Gpio gpio{state};
  std::unique_ptr<Flash> flash;
  std::unique_ptr<SpiPeer> peer;
  Program program = Program::firmware;
  bool fail_exchanges_armed = false;
  uint64_t captured = 0;  // datagrams captured by this process
  uint64_t state_gen = ~0ull;  // of the board.state this process holds
  uint64_t model_gen = ~0ull;  // of the MCU state this process holds
  std::string snapshot;        // the MCU state as last written or read
  std::string next_snapshot;
  int bus_fd = -1;
  // The calendar clock step (time.step_after_ms, time.step_s).
  uint64_t step_ref_ns = 0;  // first exchange with the bootloader, 0: none yet
  uint64_t step_after_ns = 0;
  long long step_s = 0;

  std::string path(const char* name) const { return dir + "/" + name; }

  void attach(const char* d);
  void detach();
  void after_fork();
  void sync();     // under the lock
  void publish();  // under the lock
  std::string read_bus() const;
  void settings_changed();
  void restart_mcu();
};

extern SimBoard* board;

// Makes `board` follow BOARDSIM_DIR and catches up with the board's state;
// returns it, or null without a board.
SimBoard* current_board();

void note_to_log(const std::string& line);
void flush_logs();
void wind_up();  // the end of the process, as far as the board is concerned

// ---- what the rooms offer the shared entry points ---------------------------
// The *_open and *_access functions return true when they decided the
// result (*result); they are called with a board, inside the simulator.

// preload_spi.cpp: the device
bool spi_open(SimBoard* b, const char* path, int flags, int* result);
bool spi_access(SimBoard* b, const char* path, int* result);
void spi_mcu_restarted(SimBoard* b);

// preload_gpio.cpp: the sysfs GPIO files
bool gpio_open(SimBoard* b, const char* path, int flags, int* result);
bool gpio_access(SimBoard* b, const char* path, int* result);

// preload_files.cpp: denied paths and the version file
bool denied(SimBoard* b, const char* path);
bool version_redirect(SimBoard* b, const char* path, std::string* redirect);

// preload_time.cpp: the calendar clock step
void clock_step_start(SimBoard* b, uint64_t t);

}  // namespace boardsim::preload

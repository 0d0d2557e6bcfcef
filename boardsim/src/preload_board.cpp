// The board as this process sees it, and the descriptors the simulator
// owns in this process.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <vector>

#include "kboot_rom.h"
#include "mcu_firmware.h"
#include "preload.h"

namespace boardsim::preload {

int fail(int err) {
  errno = err;
  return -1;
}

// ---- descriptors the simulator owns ---------------------------------------

namespace {
std::vector<FdInfo>* fds = nullptr;
}  // namespace

FdInfo* tracked(int fd) {
  if (!fds || fd < 0 || static_cast<size_t>(fd) >= fds->size()) return nullptr;
  FdInfo* f = &(*fds)[static_cast<size_t>(fd)];
  return f->kind == Kind::none ? nullptr : f;
}

FdInfo& track(int fd, Kind kind) {
  if (!fds) fds = new std::vector<FdInfo>();
  if (static_cast<size_t>(fd) >= fds->size()) fds->resize(static_cast<size_t>(fd) + 1);
  FdInfo& f = (*fds)[static_cast<size_t>(fd)];
  f = FdInfo{};
  f.kind = kind;
  return f;
}

void untrack(int fd) {
  if (FdInfo* f = tracked(fd)) *f = FdInfo{};
}

// A duplicate of a descriptor the simulator owns is the same device or file
// (a shell moves the descriptors of its redirections around).
int track_copy(int from, int to) {
  if (to < 0 || from == to) return to;
  untrack(to);
  if (FdInfo* f = tracked(from)) {
    FdInfo copy = *f;
    track(to, copy.kind) = copy;
  }
  return to;
}

// ---- the board --------------------------------------------------------------

namespace {
long cached_pid = 0;
}  // namespace

long my_pid() {
  if (cached_pid == 0) cached_pid = static_cast<long>(getpid());
  return cached_pid;
}

bool forked = false;

void SimBoard::attach(const char* d) {
  log.close();
  lock.close();
  if (bus_fd >= 0) ::close(bus_fd);
  dir = d;
  lock.open(dir);
  log.open(path("spi.log"), &lock);
  log.set_pid(my_pid());
  bus_fd = ::open(path("bus.state").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  flash = std::make_unique<Flash>(path("flash.bin"));
  peer.reset();
  state_gen = model_gen = ~0ull;
  snapshot.clear();
  step_ref_ns = 0;
  LockGuard g(lock);
  sync();
}

void SimBoard::detach() {
  log.close();
  lock.close();
  if (bus_fd >= 0) ::close(bus_fd);
  bus_fd = -1;
  peer.reset();
  dir.clear();
  step_ref_ns = 0;
}

// A fork() child has the parent's lock description (flock would not
// exclude the two) and must not extend the parent's pending run.
void SimBoard::after_fork() {
  forked = false;
  cached_pid = 0;
  if (dir.empty()) return;
  lock.open(dir);
  log.forget();
  log.set_pid(my_pid());
}


// Under the lock.
void SimBoard::sync() {
  uint64_t g = lock.get(BoardLock::STATE_GEN);
  if (g != state_gen) {
    state.load(path("board.state"));
    state_gen = g;
    settings_changed();
  }
  g = lock.get(BoardLock::MODEL_GEN);
  if (g != model_gen) {
    model_gen = g;
    std::string s = read_bus();
    // A snapshot of another program predates a restart: the model that
    // restart started stays.
    if (!s.empty() && static_cast<Program>(s[0]) == program && s != snapshot) {
      if (peer) peer->restore(s.substr(1));
      snapshot = s;
    }
  }
}

// Under the lock. Writes the state at once when the simulator changed
// it: the process may be killed at any moment.
void SimBoard::publish() {
  if (state.dirty() && state.save()) state_gen = lock.bump(BoardLock::STATE_GEN);
  std::string& s = next_snapshot;  // reused: no allocation per exchange
  s.assign(1, static_cast<char>(program));
  if (peer) peer->save(&s);
  if (s == snapshot) return;
  if (s.size() <= BoardLock::MODEL_MAX) {
    memcpy(lock.model_bytes(), s.data(), s.size());
    lock.put(BoardLock::MODEL_LEN, s.size());
  } else {  // a long queue of bytes to clock out: rare
    if (bus_fd < 0 || ::pwrite(bus_fd, s.data(), s.size(), 0) != static_cast<ssize_t>(s.size()) ||
        ::ftruncate(bus_fd, static_cast<off_t>(s.size())) != 0)
      return;
    lock.put(BoardLock::MODEL_LEN, BoardLock::MODEL_IN_FILE);
  }
  snapshot.swap(s);
  model_gen = lock.bump(BoardLock::MODEL_GEN);
}

std::string SimBoard::read_bus() const {
  uint64_t len = lock.get(BoardLock::MODEL_LEN);
  if (len <= BoardLock::MODEL_MAX)
    return std::string(reinterpret_cast<const char*>(lock.model_bytes()),
                       static_cast<size_t>(len));
  std::string s;
  char buf[4096];
  for (off_t at = 0;;) {
    ssize_t n = ::pread(bus_fd, buf, sizeof buf, at);
    if (n <= 0) break;
    s.append(buf, static_cast<size_t>(n));
    at += n;
  }
  return s;
}

void SimBoard::settings_changed() {
  std::string p = state.get("mcu.program", "firmware");
  Program now = p == "bootloader" ? Program::bootloader
                : p == "off"      ? Program::off
                                  : Program::firmware;
  if (now != program || !peer) {
    program = now;
    restart_mcu();
  }
  fail_exchanges_armed = state.has("spi.fail_exchanges");
}

void SimBoard::restart_mcu() {
  peer.reset();
  if (program == Program::firmware) {
    peer = std::make_unique<McuFirmware>(state);
  } else if (program == Program::bootloader) {
    auto kb = std::make_unique<KbootRom>(state, *flash);
    kb->set_note(note_to_log);
    peer = std::move(kb);
  }
}

SimBoard* board = nullptr;

// Makes `board` follow BOARDSIM_DIR and catches up with the board's state;
// returns it, or null without a board.
SimBoard* current_board() {
  const char* env = getenv("BOARDSIM_DIR");
  if (!env || !*env) {
    if (board && !board->dir.empty()) board->detach();
    return nullptr;
  }
  if (!board) board = new SimBoard();
  if (board->dir != env) {
    board->attach(env);
  } else {
    if (forked) board->after_fork();
    LockGuard g(board->lock);
    board->sync();
  }
  return board;
}

void note_to_log(const std::string& line) {
  if (board) board->log.note(monotonic_ns(), line);
}

void flush_logs() {
  if (board) board->log.flush();
}

// The end of the process, as far as the board is concerned.
void wind_up() {
  if (!board || board->dir.empty()) return;
  LockGuard g(board->lock);
  board->log.end_run();
  board->publish();
}

}  // namespace boardsim::preload

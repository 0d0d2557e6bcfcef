// The board's interposers: loaded ahead of the C library (LD_PRELOAD, or
// linked into a test binary), they take over the calls that reach the
// board's devices and files and pass every other call on unchanged.
//
//   open, openat (and open64, openat64, __open_2 and the other fortified
//   forms), fopen, fopen64, access, stat, stat64, ioctl, close, write:
//     /dev/spidev0.0        <dir>/spidev0.0 stands in for the device (one
//                           real file, so flock() on it excludes other
//                           processes); the six configuration ioctls and
//                           SPI_IOC_MESSAGE(n) are answered by the MCU model
//                           the board runs, shared by every process of the
//                           board under the board lock (shared.h)
//     /sys/class/gpio/...   simulated sysfs GPIO lines (export, direction,
//                           value), whose reset pulse restarts the MCU
//     /etc/krv_version.xml  read from <dir>/krv_version.xml
//   sendto                  datagrams to other hosts are captured, not sent
//                           (<dir>/datagrams, and as pcap <dir>/datagrams.pcap)
//   gethostbyname, sleep    injected resolver failure, fast sleep
//   time, gettimeofday, clock_gettime   the calendar clock step
//   dup, dup2, dup3, fcntl(F_DUPFD)  copies of simulated descriptors stay
//                           simulated
//   abort, usleep, nanosleep, clock_nanosleep
//                           the pending exchange run is written out first
//                           (a destructor does it at exit)
//
// The board directory comes from BOARDSIM_DIR; without it only the network
// capture is active (datagrams are then dropped, never sent).
#include <arpa/inet.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <memory>
#include <string>
#include <vector>

#include "flash.h"
#include "gpio.h"
#include "kboot_rom.h"
#include "logs.h"
#include "mcu_firmware.h"
#include "pcap.h"
#include "shared.h"
#include "state.h"

#ifndef __THROW
#define __THROW
#endif

#define EXPORT __attribute__((visibility("default")))

namespace boardsim {
namespace {

const char SPI_PATH[] = "/dev/spidev0.0";
const char VERSION_PATH[] = "/etc/krv_version.xml";
const char GPIO_ROOT[] = "/sys/class/gpio";

// ---- the C library's own functions -------------------------------------

template <typename F>
F next_fn(F* slot, const char* name) {
  if (!*slot) *slot = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
  return *slot;
}

#define REAL(name, type)                  \
  static type real_##name##_ptr = nullptr; \
  type real_##name() { return next_fn(&real_##name##_ptr, #name); }

using open_t = int (*)(const char*, int, ...);
using openat_t = int (*)(int, const char*, int, ...);
using open2_t = int (*)(const char*, int);
using openat2_t = int (*)(int, const char*, int);
using fopen_t = FILE* (*)(const char*, const char*);
using access_t = int (*)(const char*, int);
using close_t = int (*)(int);
using flock_t = int (*)(int, int);
using write_t = ssize_t (*)(int, const void*, size_t);
using sendto_t = ssize_t (*)(int, const void*, size_t, int, const struct sockaddr*, socklen_t);
using gethostbyname_t = struct hostent* (*)(const char*);
using sleep_t = unsigned (*)(unsigned);
using usleep_t = int (*)(useconds_t);
using nanosleep_t = int (*)(const struct timespec*, struct timespec*);
using clock_nanosleep_t = int (*)(clockid_t, int, const struct timespec*, struct timespec*);
using dup_t = int (*)(int);
using dup2_t = int (*)(int, int);
using dup3_t = int (*)(int, int, int);
using fcntl_t = int (*)(int, int, ...);
using abort_t = void (*)();
using time_fn_t = time_t (*)(time_t*);
using gettimeofday_t = int (*)(struct timeval*, void*);
using clock_gettime_t = int (*)(clockid_t, struct timespec*);
#ifdef __GLIBC__
using ioctl_t = int (*)(int, unsigned long, ...);
#else
using ioctl_t = int (*)(int, int, ...);
#endif

REAL(open, open_t)
REAL(openat, openat_t)
REAL(fopen, fopen_t)
REAL(access, access_t)
REAL(close, close_t)
REAL(flock, flock_t)
REAL(write, write_t)
REAL(sendto, sendto_t)
REAL(gethostbyname, gethostbyname_t)
REAL(sleep, sleep_t)
REAL(usleep, usleep_t)
REAL(nanosleep, nanosleep_t)
REAL(clock_nanosleep, clock_nanosleep_t)
REAL(dup, dup_t)
REAL(dup2, dup2_t)
REAL(dup3, dup3_t)
REAL(fcntl, fcntl_t)
REAL(abort, abort_t)
REAL(time, time_fn_t)
REAL(gettimeofday, gettimeofday_t)
REAL(clock_gettime, clock_gettime_t)
REAL(ioctl, ioctl_t)
#ifdef __GLIBC__
REAL(open64, open_t)
REAL(openat64, openat_t)
REAL(__open_2, open2_t)
REAL(__open64_2, open2_t)
REAL(__openat_2, openat2_t)
REAL(__openat64_2, openat2_t)
REAL(fopen64, fopen_t)
REAL(fcntl64, fcntl_t)
#endif

// ---- re-entry guard -------------------------------------------------------
// While the simulator itself runs (reading its state, writing its logs), the
// calls it makes go straight to the C library.

thread_local int in_sim = 0;
struct Inside {
  Inside() { ++in_sim; }
  ~Inside() { --in_sim; }
};

// ---- descriptors the simulator owns ---------------------------------------

enum class Kind : uint8_t { none, spi, gpio_export, gpio_unexport, gpio_direction, gpio_value };

struct FdInfo {
  Kind kind = Kind::none;
  int line = 0;
  uint32_t mode = 0;
  uint8_t bits = 8;
  uint32_t speed = 500000;
};

std::vector<FdInfo>* fds = nullptr;

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

enum class Program : uint8_t { firmware, bootloader, off };

// An owner that has not exchanged for this long no longer owns its
// firmware transaction (longer than any wait inside a transaction).
const uint64_t OWNER_IDLE_NS = 1'000'000'000;

long cached_pid = 0;
long my_pid() {
  if (cached_pid == 0) cached_pid = static_cast<long>(getpid());
  return cached_pid;
}

bool forked = false;  // this process is a fork() child of the one that set up the board

void note_to_log(const std::string& line);

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

  void attach(const char* d) {
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
  void detach() {
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
  void after_fork() {
    forked = false;
    cached_pid = 0;
    if (dir.empty()) return;
    lock.open(dir);
    log.forget();
    log.set_pid(my_pid());
  }

  // Under the lock.
  void sync() {
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
  void publish() {
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
  std::string read_bus() const {
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
  void settings_changed() {
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
  void restart_mcu() {
    peer.reset();
    if (program == Program::firmware) {
      peer = std::make_unique<McuFirmware>(state);
    } else if (program == Program::bootloader) {
      auto kb = std::make_unique<KbootRom>(state, *flash);
      kb->set_note(note_to_log);
      peer = std::move(kb);
    }
  }
};

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

bool denied(SimBoard* b, const char* path) {
  std::string d = b->state.get("fs.deny");
  return !d.empty() && d == path;
}

bool starts_with(const char* s, const char* prefix) {
  return strncmp(s, prefix, strlen(prefix)) == 0;
}

// "/sys/class/gpio/gpioN" and what follows it: returns N, or -1.
int gpio_line_of(const char* path, const char** rest) {
  const char* p = path + strlen(GPIO_ROOT);
  if (strncmp(p, "/gpio", 5) != 0) return -1;
  p += 5;
  if (*p < '0' || *p > '9') return -1;
  long n = 0;
  while (*p >= '0' && *p <= '9' && n < 100000) n = n * 10 + (*p++ - '0');
  if (*p != '\0' && *p != '/') return -1;
  *rest = p;
  return static_cast<int>(n);
}

int memfd_with(const char* name, const std::string& content, int flags) {
  int fd = memfd_create(name, (flags & O_CLOEXEC) ? MFD_CLOEXEC : 0);
  if (fd < 0) return -1;
  if (!content.empty()) {
    real_write()(fd, content.data(), content.size());
    lseek(fd, 0, SEEK_SET);
  }
  return fd;
}

int fail(int err) {
  errno = err;
  return -1;
}

// The board's part of open(): returns true when it decided the result.
bool sim_open(const char* path, int flags, int* result, std::string* redirect) {
  if (in_sim || !path || path[0] != '/') return false;
  Inside inside;
  SimBoard* b = current_board();
  if (!b) return false;
  if (denied(b, path)) {
    *result = fail(EACCES);
    return true;
  }
  if (strcmp(path, SPI_PATH) == 0) {
    {
      // The board may have been changed by hand between opens: read it anew.
      // The MCU goes on with what it was doing.
      LockGuard g(b->lock);
      b->log.end_run();
      b->state_gen = ~0ull;
      b->sync();
      b->publish();
    }
    if (b->state.get_int("spi.fail_open", 0) != 0) {
      *result = fail(ENOENT);
      return true;
    }
    // One real file per board stands in for the device, so that flock()
    // on it excludes other processes exactly as on the real device node.
    int fd = real_open()(b->path("spidev0.0").c_str(), O_RDWR | O_CREAT | (flags & O_CLOEXEC),
                         0600);
    if (fd >= 0) track(fd, Kind::spi);
    *result = fd;
    return true;
  }
  if (strcmp(path, VERSION_PATH) == 0) {
    *redirect = b->path("krv_version.xml");
    return false;
  }
  if (starts_with(path, GPIO_ROOT) && (path[strlen(GPIO_ROOT)] == '/')) {
    const char* tail = path + strlen(GPIO_ROOT);
    if (strcmp(tail, "/export") == 0 || strcmp(tail, "/unexport") == 0) {
      int fd = memfd_with("gpio", "", flags);
      if (fd >= 0) track(fd, tail[1] == 'e' ? Kind::gpio_export : Kind::gpio_unexport);
      *result = fd;
      return true;
    }
    const char* rest = nullptr;
    int line = gpio_line_of(path, &rest);
    bool is_dir = line >= 0 && strcmp(rest, "/direction") == 0;
    bool is_val = line >= 0 && strcmp(rest, "/value") == 0;
    if (!(is_dir || is_val) || !b->gpio.exported(line)) {
      *result = fail(ENOENT);
      return true;
    }
    std::string content = is_dir ? (b->gpio.is_output(line) ? "out\n" : "in\n")
                                 : (b->gpio.value(line) ? "1\n" : "0\n");
    int fd = memfd_with("gpio", content, flags);
    if (fd >= 0) {
      FdInfo& f = track(fd, is_dir ? Kind::gpio_direction : Kind::gpio_value);
      f.line = line;
    }
    *result = fd;
    return true;
  }
  return false;
}

// The board's part of access().
bool sim_access(const char* path, int* result, std::string* redirect) {
  if (in_sim || !path || path[0] != '/') return false;
  Inside inside;
  SimBoard* b = current_board();
  if (!b) return false;
  if (denied(b, path)) {
    *result = fail(EACCES);
    return true;
  }
  if (strcmp(path, VERSION_PATH) == 0) {
    *redirect = b->path("krv_version.xml");
    return false;
  }
  if (strcmp(path, SPI_PATH) == 0) {
    *result = b->state.get_int("spi.fail_open", 0) != 0 ? fail(ENOENT) : 0;
    return true;
  }
  if (starts_with(path, GPIO_ROOT)) {
    const char* tail = path + strlen(GPIO_ROOT);
    if (*tail == '\0' || strcmp(tail, "/") == 0 || strcmp(tail, "/export") == 0 ||
        strcmp(tail, "/unexport") == 0) {
      *result = 0;
      return true;
    }
    const char* rest = nullptr;
    int line = gpio_line_of(path, &rest);
    bool known = line >= 0 && (*rest == '\0' || strcmp(rest, "/") == 0 ||
                               strcmp(rest, "/direction") == 0 || strcmp(rest, "/value") == 0);
    *result = known && b->gpio.exported(line) ? 0 : fail(ENOENT);
    return true;
  }
  return false;
}

// ---- SPI -------------------------------------------------------------------

struct ConfigIoctl {
  unsigned long request;
  const char* name;
  int width;  // bytes of the argument
  bool write;
};

const ConfigIoctl CONFIG_IOCTLS[] = {
    {SPI_IOC_WR_MODE32, "wr_mode", 4, true},     {SPI_IOC_RD_MODE32, "rd_mode", 4, false},
    {SPI_IOC_WR_BITS_PER_WORD, "wr_bits", 1, true}, {SPI_IOC_RD_BITS_PER_WORD, "rd_bits", 1, false},
    {SPI_IOC_WR_MAX_SPEED_HZ, "wr_speed", 4, true}, {SPI_IOC_RD_MAX_SPEED_HZ, "rd_speed", 4, false},
};

uint32_t get_arg(const void* arg, int width) {
  if (width == 1) return *static_cast<const uint8_t*>(arg);
  uint32_t v;
  memcpy(&v, arg, 4);
  return v;
}

void put_arg(void* arg, int width, uint32_t v) {
  if (width == 1) {
    *static_cast<uint8_t*>(arg) = static_cast<uint8_t>(v);
  } else {
    memcpy(arg, &v, 4);
  }
}

int spi_config(SimBoard* b, FdInfo& f, const ConfigIoctl& c, void* arg) {
  uint64_t t = monotonic_ns();
  if (!arg) return fail(EFAULT);
  const char* what = c.name + 3;  // "mode", "bits", "speed"
  if (b->state.get("spi.fail_ioctl") == c.name) {
    b->log.config(t, c.name, c.write ? get_arg(arg, c.width) : 0, true);
    return fail(EINVAL);
  }
  uint32_t* slot = what[0] == 'm' ? &f.mode : what[0] == 's' ? &f.speed : nullptr;
  if (c.write) {
    uint32_t v = get_arg(arg, c.width);
    if (slot) *slot = v; else f.bits = static_cast<uint8_t>(v);
    b->log.config(t, c.name, v, false);
  } else {
    uint32_t v = slot ? *slot : f.bits;
    std::string key = std::string("spi.readback.") + what;
    if (b->state.has(key)) v = static_cast<uint32_t>(b->state.get_int(key));
    put_arg(arg, c.width, v);
    b->log.config(t, c.name, v, false);
  }
  return 0;
}

std::vector<uint8_t>* scratch = nullptr;
const uint64_t MAX_MESSAGE = 65536;

// A process that is gone (or a zombie) owns nothing.
bool alive(long pid) {
  if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM) return false;
  std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  size_t close = stat.rfind(')');
  return close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] != 'Z';
}

// The process whose open transaction an exchange of this process at time t
// would fall into, or 0; *program names what the MCU runs.
long transaction_owner(SimBoard* b, uint64_t t, const char** program) {
  BoardLock& l = b->lock;
  long me = my_pid();
  long boot = static_cast<long>(l.get(BoardLock::BOOT_PID));
  if (b->program == Program::bootloader && boot != 0 && boot != me) {
    if (alive(boot)) {
      *program = "bootloader";
      return boot;
    }
    l.put(BoardLock::BOOT_PID, 0);
  }
  long txn = static_cast<long>(l.get(BoardLock::TXN_PID));
  if (b->program == Program::firmware && txn != 0 && txn != me) {
    if (t - l.get(BoardLock::TXN_LAST_NS) <= OWNER_IDLE_NS && alive(txn)) {
      *program = "firmware";
      return txn;
    }
    l.put(BoardLock::TXN_PID, 0);
  }
  return 0;
}

// One exchange on the shared bus, under the board lock. An exchange inside
// another process's open transaction is a collision: it is recorded, the
// MCU takes the intruding bytes, the intruder receives them inverted, and
// the owner's next exchange reaches the MCU ORed with the intruding bytes
// and comes back inverted too, as a mixed stream would.
void bus_exchange(SimBoard* b, const uint8_t* sent, uint8_t* got, size_t len, uint64_t t) {
  BoardLock& l = b->lock;
  long me = my_pid();
  const char* program = "";
  long owner = transaction_owner(b, t, &program);
  bool garbled = owner != 0;
  const uint8_t* to_mcu = sent;
  std::vector<uint8_t> mixed;
  if (static_cast<long>(l.get(BoardLock::GARBLE_PID)) == me) {
    mixed.assign(sent, sent + len);
    size_t n = std::min<size_t>(len, l.get(BoardLock::GARBLE_LEN));
    for (size_t i = 0; i < n; ++i) mixed[i] |= l.garble_bytes()[i];
    to_mcu = mixed.data();
    l.put(BoardLock::GARBLE_PID, 0);
    garbled = true;
  }
  if (owner != 0) {
    b->log.collision(t, owner, program);
    size_t n = std::min(len, BoardLock::GARBLE_MAX);
    memcpy(l.garble_bytes(), sent, n);
    l.put(BoardLock::GARBLE_LEN, n);
    l.put(BoardLock::GARBLE_PID, static_cast<uint64_t>(owner));
  }
  if (b->program == Program::bootloader && b->step_ref_ns == 0) {
    b->step_ref_ns = t;
    b->step_after_ns = static_cast<uint64_t>(b->state.get_int("time.step_after_ms", 0)) * 1000000u;
    b->step_s = b->state.get_int("time.step_s", 0);
  }
  if (b->peer && len > 0) b->peer->exchange(to_mcu, got, len);
  if (garbled)
    for (size_t i = 0; i < len; ++i) got[i] ^= 0xFF;
  if (b->program == Program::firmware && b->peer) {
    long cur = static_cast<long>(l.get(BoardLock::TXN_PID));
    if (cur == 0 || cur == me) {
      bool open = static_cast<McuFirmware*>(b->peer.get())->in_transaction();
      l.put(BoardLock::TXN_PID, open ? static_cast<uint64_t>(me) : 0);
      l.put(BoardLock::TXN_LAST_NS, t);
    }
  }
}

int spi_message(SimBoard* b, unsigned n, const spi_ioc_transfer* xfers) {
  uint64_t sum = 0;
  for (unsigned i = 0; i < n; ++i) sum += xfers[i].len;
  if (sum > MAX_MESSAGE) return fail(EMSGSIZE);  // the driver's buffer limit
  if (forked) b->after_fork();
  LockGuard guard(b->lock);
  b->sync();
  bool failed = b->fail_exchanges_armed && b->state.take("spi.fail_exchanges");
  if (failed) b->fail_exchanges_armed = b->state.has("spi.fail_exchanges");
  if (!scratch) scratch = new std::vector<uint8_t>();
  int total = 0;
  for (unsigned i = 0; i < n; ++i) {
    const spi_ioc_transfer& x = xfers[i];
    uint64_t t = monotonic_ns();
    size_t len = x.len;
    const uint8_t* tx = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(x.tx_buf));
    uint8_t* rx = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(x.rx_buf));
    if (scratch->size() < 2 * len) scratch->resize(2 * len);
    uint8_t* sent = scratch->data();
    uint8_t* got = scratch->data() + len;
    if (tx) memcpy(sent, tx, len); else memset(sent, 0, len);
    memset(got, 0, len);
    TransferFields f;
    f.speed_hz = x.speed_hz;
    f.delay_usecs = x.delay_usecs;
    f.bits_per_word = x.bits_per_word;
    f.cs_change = x.cs_change;
    f.tx_nbits = x.tx_nbits;
    f.rx_nbits = x.rx_nbits;
    f.has_tx = tx != nullptr;
    f.has_rx = rx != nullptr;
    f.failed = failed;
    if (!failed) {
      bus_exchange(b, sent, got, len, t);
      if (rx) memcpy(rx, got, len);
      total += static_cast<int>(len);
    }
    b->log.exchange(t, f, sent, got, len);
  }
  b->publish();
  if (failed) return fail(EIO);
  return total;
}

int sim_ioctl(int fd, FdInfo& f, unsigned long request, void* arg, bool* handled) {
  Inside inside;
  SimBoard* b = board;
  if (!b || b->dir.empty()) {
    *handled = false;
    return 0;
  }
  *handled = true;
  uint32_t req = static_cast<uint32_t>(request);
  if (_IOC_TYPE(req) == SPI_IOC_MAGIC && _IOC_NR(req) == 0 && _IOC_DIR(req) == _IOC_WRITE) {
    size_t size = _IOC_SIZE(req);
    if (size == 0 || size % sizeof(spi_ioc_transfer) != 0 || !arg) return fail(EINVAL);
    return spi_message(b, static_cast<unsigned>(size / sizeof(spi_ioc_transfer)),
                       static_cast<const spi_ioc_transfer*>(arg));
  }
  for (const auto& c : CONFIG_IOCTLS) {
    if (static_cast<uint32_t>(c.request) == req) return spi_config(b, f, c, arg);
  }
  (void)fd;
  return fail(ENOTTY);
}

// ---- GPIO writes ---------------------------------------------------------------

const char* errno_name(int e) {
  switch (e) {
    case 0: return "ok";
    case EINVAL: return "EINVAL";
    case EBUSY: return "EBUSY";
    case EPERM: return "EPERM";
    case ENOENT: return "ENOENT";
    case EIO: return "EIO";
    default: return "error";
  }
}

ssize_t sim_gpio_write(FdInfo& f, const void* buf, size_t n) {
  Inside inside;
  SimBoard* b = current_board();
  if (!b) return fail(ENODEV);
  LockGuard guard(b->lock);
  b->sync();
  std::string data(static_cast<const char*>(buf), n);
  std::string path = GPIO_ROOT;
  int err = 0;
  // gpio.fail_in=K: the K-th GPIO write from now fails with EIO, unapplied.
  const long long fail_in = b->state.get_int("gpio.fail_in", 0);
  if (fail_in == 1) {
    b->state.erase("gpio.fail_in");
    err = EIO;
  } else if (fail_in > 1) {
    b->state.set_int("gpio.fail_in", fail_in - 1);
  }
  switch (f.kind) {
    case Kind::gpio_export:
      path += "/export";
      if (err == 0) err = b->gpio.write_export(data);
      break;
    case Kind::gpio_unexport:
      path += "/unexport";
      if (err == 0) err = b->gpio.write_unexport(data);
      break;
    case Kind::gpio_direction:
      path += "/gpio" + std::to_string(f.line) + "/direction";
      if (err == 0) err = b->gpio.write_direction(f.line, data);
      break;
    case Kind::gpio_value:
      path += "/gpio" + std::to_string(f.line) + "/value";
      if (err == 0) err = b->gpio.write_value(f.line, data);
      break;
    default:
      break;
  }
  if (b->gpio.take_mcu_restart()) {
    // Whatever was open on the bus is over; a restart into the bootloader
    // gives the bus to this process until the next restart.
    b->log.end_run();
    b->program = Program::off;  // forces a fresh model
    b->peer.reset();
    b->settings_changed();
    BoardLock& l = b->lock;
    l.put(BoardLock::TXN_PID, 0);
    l.put(BoardLock::GARBLE_PID, 0);
    l.put(BoardLock::BOOT_PID, b->program == Program::bootloader ? static_cast<uint64_t>(my_pid()) : 0);
  }
  b->publish();
  char head[64];
  snprintf(head, sizeof head, "G %020" PRIu64 " %ld ", monotonic_ns(), my_pid());
  append_line(b->path("gpio.log"), head + path + " " +
                                        to_hex(static_cast<const uint8_t*>(buf), n) + " " +
                                        errno_name(err) + "\n");
  if (err) return fail(err);
  return static_cast<ssize_t>(n);
}

// ---- network -------------------------------------------------------------------

bool loopback(const struct sockaddr* a, socklen_t len) {
  if (a->sa_family == AF_INET && len >= sizeof(sockaddr_in)) {
    sockaddr_in in;
    memcpy(&in, a, sizeof in);
    return (ntohl(in.sin_addr.s_addr) >> 24) == 127;
  }
  if (a->sa_family == AF_INET6 && len >= sizeof(sockaddr_in6)) {
    sockaddr_in6 in6;
    memcpy(&in6, a, sizeof in6);
    return IN6_IS_ADDR_LOOPBACK(&in6.sin6_addr) ||
           (IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr) && in6.sin6_addr.s6_addr[12] == 127);
  }
  return true;  // not an internet address (unix sockets and the like)
}

std::string describe(const struct sockaddr* a) {
  char buf[INET6_ADDRSTRLEN + 16] = "?";
  if (a->sa_family == AF_INET) {
    sockaddr_in in;
    memcpy(&in, a, sizeof in);
    char ip[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &in.sin_addr, ip, sizeof ip);
    snprintf(buf, sizeof buf, "%s:%u", ip, static_cast<unsigned>(ntohs(in.sin_port)));
  } else if (a->sa_family == AF_INET6) {
    sockaddr_in6 in6;
    memcpy(&in6, a, sizeof in6);
    char ip[INET6_ADDRSTRLEN];
    inet_ntop(AF_INET6, &in6.sin6_addr, ip, sizeof ip);
    snprintf(buf, sizeof buf, "[%s]:%u", ip, static_cast<unsigned>(ntohs(in6.sin6_port)));
  }
  return buf;
}

std::string ns_link(const char* path) {
  char buf[256];
  ssize_t n = readlink(path, buf, sizeof buf - 1);
  if (n <= 0) return "";
  return std::string(buf, static_cast<size_t>(n));
}

pid_t parent_of(pid_t pid) {
  std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  size_t close = stat.rfind(')');  // the command name may hold anything
  if (close == std::string::npos || close + 4 >= stat.size()) return 0;
  return static_cast<pid_t>(atol(stat.c_str() + close + 4));  // ") S <ppid>"
}

// The namespace that real sends must not come from: PID 1's. Where PID 1 is
// hidden from us, the outermost ancestor's that we may see.
std::string reference_netns() {
  std::string ref = ns_link("/proc/1/ns/net");
  if (!ref.empty()) return ref;
  pid_t pid = getppid();
  for (int depth = 0; pid > 1 && depth < 64; ++depth) {
    std::string l = ns_link(("/proc/" + std::to_string(pid) + "/ns/net").c_str());
    if (!l.empty()) ref = l;
    pid = parent_of(pid);
  }
  return ref;
}

// Real sends only from a network namespace other than the machine's own.
bool private_netns() {
  std::string self = ns_link("/proc/self/ns/net");
  std::string ref = reference_netns();
  return !self.empty() && !ref.empty() && self != ref;
}

}  // namespace
}  // namespace boardsim

using namespace boardsim;

// ---- exported entry points ----------------------------------------------------

extern "C" {

// Brings the pending exchange record up to date (the test kit calls it).
EXPORT void boardsim_flush(void) {
  Inside inside;
  flush_logs();
}

// Forgets the pending exchange record (the test kit truncated the logs).
EXPORT void boardsim_reset_logs(void) {
  Inside inside;
  if (board) {
    board->log.flush();
    board->log.forget();
  }
}

// The test kit's own file calls while it holds the board lock (it edits
// the state or clears the records) go straight to the C library.
EXPORT void boardsim_enter(void) { ++in_sim; }
EXPORT void boardsim_leave(void) { --in_sim; }

// Lets go of the current board (its directory is about to disappear).
EXPORT void boardsim_detach(void) {
  Inside inside;
  if (board && !board->dir.empty()) board->detach();
}

__attribute__((destructor)) static void boardsim_at_exit(void) {
  Inside inside;
  wind_up();
}

__attribute__((constructor)) static void boardsim_at_start(void) {
  pthread_atfork(nullptr, nullptr, [] { forked = true; });
}

static int open_common(const char* path, int flags, mode_t mode, int which) {
  int result;
  std::string redirect;
  if (sim_open(path, flags, &result, &redirect)) return result;
  if (!redirect.empty()) path = redirect.c_str();
  switch (which) {
#ifdef __GLIBC__
    case 1: return real_open64()(path, flags, mode);
#endif
    default: return real_open()(path, flags, mode);
  }
}

static bool wants_mode(int flags) {
#ifdef O_TMPFILE
  if ((flags & O_TMPFILE) == O_TMPFILE) return true;
#endif
  return (flags & O_CREAT) != 0;
}

EXPORT int open(const char* path, int flags, ...) {
  mode_t mode = 0;
  if (wants_mode(flags)) {
    va_list ap;
    va_start(ap, flags);
    mode = va_arg(ap, mode_t);
    va_end(ap);
  }
  return open_common(path, flags, mode, 0);
}

static int openat_common(int dirfd, const char* path, int flags, mode_t mode, int which) {
  int result;
  std::string redirect;
  if (path && path[0] == '/') {
    if (sim_open(path, flags, &result, &redirect)) return result;
    if (!redirect.empty()) path = redirect.c_str();
  }
  switch (which) {
#ifdef __GLIBC__
    case 1: return real_openat64()(dirfd, path, flags, mode);
#endif
    default: return real_openat()(dirfd, path, flags, mode);
  }
}

EXPORT int openat(int dirfd, const char* path, int flags, ...) {
  mode_t mode = 0;
  if (wants_mode(flags)) {
    va_list ap;
    va_start(ap, flags);
    mode = va_arg(ap, mode_t);
    va_end(ap);
  }
  return openat_common(dirfd, path, flags, mode, 0);
}

#ifdef __GLIBC__
EXPORT int open64(const char* path, int flags, ...) {
  mode_t mode = 0;
  if (wants_mode(flags)) {
    va_list ap;
    va_start(ap, flags);
    mode = va_arg(ap, mode_t);
    va_end(ap);
  }
  return open_common(path, flags, mode, 1);
}

EXPORT int openat64(int dirfd, const char* path, int flags, ...) {
  mode_t mode = 0;
  if (wants_mode(flags)) {
    va_list ap;
    va_start(ap, flags);
    mode = va_arg(ap, mode_t);
    va_end(ap);
  }
  return openat_common(dirfd, path, flags, mode, 1);
}

EXPORT int __open_2(const char* path, int flags) {
  int result;
  std::string redirect;
  if (sim_open(path, flags, &result, &redirect)) return result;
  return real___open_2()(redirect.empty() ? path : redirect.c_str(), flags);
}

EXPORT int __openat_2(int dirfd, const char* path, int flags) {
  int result;
  std::string redirect;
  if (path && path[0] == '/' && sim_open(path, flags, &result, &redirect)) return result;
  return real___openat_2()(dirfd, redirect.empty() ? path : redirect.c_str(), flags);
}

EXPORT int __openat64_2(int dirfd, const char* path, int flags) {
  int result;
  std::string redirect;
  if (path && path[0] == '/' && sim_open(path, flags, &result, &redirect)) return result;
  return real___openat64_2()(dirfd, redirect.empty() ? path : redirect.c_str(), flags);
}

EXPORT int __open64_2(const char* path, int flags) {
  int result;
  std::string redirect;
  if (sim_open(path, flags, &result, &redirect)) return result;
  return real___open64_2()(redirect.empty() ? path : redirect.c_str(), flags);
}
#endif

static FILE* fopen_common(const char* path, const char* mode, int which) {
  std::string redirect;
  if (path && path[0] == '/' && !in_sim) {
    Inside inside;
    SimBoard* b = current_board();
    if (b) {
      if (denied(b, path)) {
        errno = EACCES;
        return nullptr;
      }
      if (strcmp(path, VERSION_PATH) == 0) redirect = b->path("krv_version.xml");
    }
  }
  if (!redirect.empty()) path = redirect.c_str();
#ifdef __GLIBC__
  if (which == 1) return real_fopen64()(path, mode);
#endif
  (void)which;
  return real_fopen()(path, mode);
}

EXPORT FILE* fopen(const char* __restrict path, const char* __restrict mode) {
  return fopen_common(path, mode, 0);
}

#ifdef __GLIBC__
EXPORT FILE* fopen64(const char* __restrict path, const char* __restrict mode) {
  return fopen_common(path, mode, 1);
}
#endif

EXPORT int access(const char* path, int mode) __THROW {
  int result;
  std::string redirect;
  if (sim_access(path, &result, &redirect)) return result;
  return real_access()(redirect.empty() ? path : redirect.c_str(), mode);
}

// libxml2 looks at a file with stat() before it opens it: the version file
// must be found there too (and be denied there like everywhere else).
static const char* sim_stat_path(const char* path, std::string* redirect, int* result) {
  if (in_sim || !path || strcmp(path, VERSION_PATH) != 0) return path;
  Inside inside;
  SimBoard* b = current_board();
  if (!b) return path;
  if (denied(b, path)) {
    *result = fail(EACCES);
    return nullptr;
  }
  *redirect = b->path("krv_version.xml");
  return redirect->c_str();
}

EXPORT int stat(const char* path, struct stat* st) __THROW {
  static int (*real)(const char*, struct stat*) = nullptr;
  if (!real) real = reinterpret_cast<int (*)(const char*, struct stat*)>(dlsym(RTLD_NEXT, "stat"));
  int result = -1;
  std::string redirect;
  const char* p = sim_stat_path(path, &redirect, &result);
  return p ? real(p, st) : result;
}

#ifdef __GLIBC__
EXPORT int stat64(const char* path, struct stat64* st) __THROW {
  static int (*real)(const char*, struct stat64*) = nullptr;
  if (!real) real = reinterpret_cast<int (*)(const char*, struct stat64*)>(dlsym(RTLD_NEXT, "stat64"));
  int result = -1;
  std::string redirect;
  const char* p = sim_stat_path(path, &redirect, &result);
  return p ? real(p, st) : result;
}
#endif

#ifdef __GLIBC__
EXPORT int ioctl(int fd, unsigned long request, ...) __THROW {
#else
EXPORT int ioctl(int fd, int request, ...) {
#endif
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  if (!in_sim) {
    if (FdInfo* f = tracked(fd); f && f->kind == Kind::spi) {
      bool handled = false;
      int r = sim_ioctl(fd, *f, static_cast<unsigned long>(request), arg, &handled);
      if (handled) return r;
    }
  }
  return real_ioctl()(fd, request, arg);
}

// spi.no_lock=1: the device's driver refuses locks (EINVAL), as on a unit
// whose device node lives on a file system without flock support.
EXPORT int flock(int fd, int operation) __THROW {
  if (!in_sim) {
    if (FdInfo* f = tracked(fd); f && f->kind == Kind::spi) {
      Inside inside;
      SimBoard* b = current_board();
      if (b && b->state.get_int("spi.no_lock", 0) != 0) return fail(EINVAL);
    }
  }
  return real_flock()(fd, operation);
}

EXPORT int close(int fd) {
  if (!in_sim) {
    if (FdInfo* f = tracked(fd)) {
      Inside inside;
      if (f->kind == Kind::spi && board) board->log.end_run();
      untrack(fd);
    }
  }
  return real_close()(fd);
}

EXPORT ssize_t write(int fd, const void* buf, size_t n) {
  if (!in_sim) {
    if (FdInfo* f = tracked(fd); f && f->kind != Kind::spi) return sim_gpio_write(*f, buf, n);
  }
  return real_write()(fd, buf, n);
}

EXPORT int dup(int fd) __THROW {
  int r = real_dup()(fd);
  return in_sim ? r : track_copy(fd, r);
}

EXPORT int dup2(int fd, int fd2) __THROW {
  int r = real_dup2()(fd, fd2);
  return in_sim ? r : track_copy(fd, r);
}

EXPORT int dup3(int fd, int fd2, int flags) __THROW {
  int r = real_dup3()(fd, fd2, flags);
  return in_sim ? r : track_copy(fd, r);
}

static int fcntl_common(fcntl_t real, int fd, int cmd, void* arg) {
  int r = real(fd, cmd, arg);
  if (!in_sim && (cmd == F_DUPFD || cmd == F_DUPFD_CLOEXEC)) return track_copy(fd, r);
  return r;
}

EXPORT int fcntl(int fd, int cmd, ...) {
  va_list ap;
  va_start(ap, cmd);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  return fcntl_common(real_fcntl(), fd, cmd, arg);
}

#ifdef __GLIBC__
EXPORT int fcntl64(int fd, int cmd, ...) {
  va_list ap;
  va_start(ap, cmd);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  return fcntl_common(real_fcntl64(), fd, cmd, arg);
}
#endif

EXPORT ssize_t sendto(int fd, const void* buf, size_t n, int flags, const struct sockaddr* to,
                      socklen_t tolen) {
  if (in_sim) return real_sendto()(fd, buf, n, flags, to, tolen);
  Inside inside;
  sockaddr_storage peer;
  const struct sockaddr* dest = to;
  socklen_t dlen = tolen;
  if (!dest) {
    socklen_t plen = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &plen) == 0) {
      dest = reinterpret_cast<sockaddr*>(&peer);
      dlen = plen;
    }
  }
  if (!dest || loopback(dest, dlen)) return real_sendto()(fd, buf, n, flags, to, tolen);
  SimBoard* b = current_board();
  if (b && b->state.get_int("net.send_fail", 0) != 0) return fail(ENETUNREACH);
  if (b && b->state.get("net.mode") == "real" && private_netns())
    return real_sendto()(fd, buf, n, flags, to, tolen);
  if (b) {
    char head[64];
    snprintf(head, sizeof head, "D %020" PRIu64 " %ld ", monotonic_ns(), my_pid());
    append_line(b->path("datagrams"),
                head + describe(dest) + " " +
                    to_hex(static_cast<const uint8_t*>(buf), n) + "\n");
    pcap_append_datagram(b->path("datagrams.pcap"), fd, dest, dlen, buf, n);
    ++b->captured;
    long long stop = b->state.get_int("net.stop_after", 0);
    if (stop > 0 && b->captured == static_cast<uint64_t>(stop)) {
      wind_up();
      raise(SIGTERM);
    }
  }
  return static_cast<ssize_t>(n);
}

EXPORT struct hostent* gethostbyname(const char* name) {
  if (!in_sim) {
    Inside inside;
    SimBoard* b = current_board();
    if (b && b->state.get_int("net.resolve_fail", 0) != 0) {
      h_errno = HOST_NOT_FOUND;
      return nullptr;
    }
  }
  return real_gethostbyname()(name);
}

EXPORT unsigned int sleep(unsigned int seconds) {
  if (!in_sim) {
    Inside inside;
    flush_logs();
    SimBoard* b = current_board();
    if (b && b->state.get_int("time.fast_sleep", 0) != 0) return 0;
  }
  return real_sleep()(seconds);
}

// A program that waits may be killed meanwhile: the pending run goes to
// the file first (a system call only when it grew since the last update).
EXPORT int usleep(useconds_t usec) {
  if (!in_sim) boardsim_flush();
  return real_usleep()(usec);
}

EXPORT int nanosleep(const struct timespec* req, struct timespec* rem) {
  if (!in_sim) boardsim_flush();
  return real_nanosleep()(req, rem);
}

EXPORT int clock_nanosleep(clockid_t clock, int flags, const struct timespec* req,
                           struct timespec* rem) {
  if (!in_sim) boardsim_flush();
  return real_clock_nanosleep()(clock, flags, req, rem);
}

// The calendar clock of this process, stepped by time.step_s seconds once
// time.step_after_ms have passed since its first exchange with the
// bootloader. CLOCK_MONOTONIC is never stepped.
static long long clock_step_s() {
  SimBoard* b = board;
  if (in_sim || !b || b->step_ref_ns == 0 || b->step_s == 0) return 0;
  timespec ts;  // not through the interposer below
  real_clock_gettime()(CLOCK_MONOTONIC, &ts);
  uint64_t now = static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
  return now - b->step_ref_ns >= b->step_after_ns ? b->step_s : 0;
}

EXPORT time_t time(time_t* t) __THROW {
  time_t now = real_time()(nullptr) + static_cast<time_t>(clock_step_s());
  if (t) *t = now;
  return now;
}

EXPORT int gettimeofday(struct timeval* __restrict tv, void* __restrict tz) __THROW {
  int r = real_gettimeofday()(tv, tz);
  if (r == 0) tv->tv_sec += static_cast<time_t>(clock_step_s());
  return r;
}

EXPORT int clock_gettime(clockid_t clock, struct timespec* ts) __THROW {
  int r = real_clock_gettime()(clock, ts);
  if (r == 0 && (clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE))
    ts->tv_sec += static_cast<time_t>(clock_step_s());
  return r;
}

EXPORT void abort(void) __THROW {
  if (!in_sim) {
    Inside inside;
    wind_up();
  }
  real_abort()();
  __builtin_trap();
}

}  // extern "C"

// The device: /dev/spidev0.0 and its ioctls.
//
// <dir>/spidev0.0 stands in for the device (one real file, so flock() on it
// excludes other processes); the six configuration ioctls and
// SPI_IOC_MESSAGE(n) are answered by the MCU model the board runs, shared
// by every process of the board under the board lock (shared.h).
#include <errno.h>
#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <signal.h>
#include <stdarg.h>
#include <string.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <string>
#include <vector>

#include "mcu_firmware.h"
#include "preload.h"

namespace boardsim::preload {
namespace {

const char SPI_PATH[] = "/dev/spidev0.0";

// An owner that has not exchanged for this long no longer owns its
// firmware transaction (longer than any wait inside a transaction).
const uint64_t OWNER_IDLE_NS = 1'000'000'000;

using open_t = int (*)(const char*, int, ...);
using flock_t = int (*)(int, int);
#ifdef __GLIBC__
using ioctl_t = int (*)(int, unsigned long, ...);
#else
using ioctl_t = int (*)(int, int, ...);
#endif

REAL(open, open_t)
REAL(flock, flock_t)
REAL(ioctl, ioctl_t)

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
  clock_step_start(b, t);
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

int sim_ioctl(FdInfo& f, unsigned long request, void* arg, bool* handled) {
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
  return fail(ENOTTY);
}

}  // namespace

bool spi_open(SimBoard* b, const char* path, int flags, int* result) {
  if (strcmp(path, SPI_PATH) != 0) return false;
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

bool spi_access(SimBoard* b, const char* path, int* result) {
  if (strcmp(path, SPI_PATH) != 0) return false;
  *result = b->state.get_int("spi.fail_open", 0) != 0 ? fail(ENOENT) : 0;
  return true;
}

// The MCU was restarted: whatever was open on the bus is over; a restart
// into the bootloader gives the bus to this process until the next restart.
void spi_mcu_restarted(SimBoard* b) {
  b->log.end_run();
  b->program = Program::off;  // forces a fresh model
  b->peer.reset();
  b->settings_changed();
  BoardLock& l = b->lock;
  l.put(BoardLock::TXN_PID, 0);
  l.put(BoardLock::GARBLE_PID, 0);
  l.put(BoardLock::BOOT_PID, b->program == Program::bootloader ? static_cast<uint64_t>(my_pid()) : 0);
}

}  // namespace boardsim::preload

using namespace boardsim::preload;

extern "C" {

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
      int r = sim_ioctl(*f, static_cast<unsigned long>(request), arg, &handled);
      if (handled) return r;
    }
  }
  return real_ioctl()(fd, request, arg);
}

// spi.no_lock=1: the device's driver refuses locks (EINVAL), as on a unit
// whose device node lives on a file system without flock support.
// spi.lock_errno=N: every flock on the device fails with errno N (37,
// ENOLCK: the kernel's lock records used up).
EXPORT int flock(int fd, int operation) __THROW {
  if (!in_sim) {
    if (FdInfo* f = tracked(fd); f && f->kind == Kind::spi) {
      Inside inside;
      SimBoard* b = current_board();
      if (b && b->state.get_int("spi.no_lock", 0) != 0) return fail(EINVAL);
      if (b && b->state.get_int("spi.lock_errno", 0) > 0)
        return fail(static_cast<int>(b->state.get_int("spi.lock_errno", 0)));
    }
  }
  return real_flock()(fd, operation);
}

}  // extern "C"

// The sysfs GPIO files: /sys/class/gpio/export, unexport and the direction
// and value of each exported line. Each open file is a memory file holding
// what a read would find; writes go to the GPIO model, whose reset pulse
// restarts the MCU, and to <dir>/gpio.log.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cinttypes>
#include <string>

#include "preload.h"

namespace boardsim::preload {
namespace {

const char GPIO_ROOT[] = "/sys/class/gpio";

using write_t = ssize_t (*)(int, const void*, size_t);

REAL(write, write_t)

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
  if (b->gpio.take_mcu_restart()) spi_mcu_restarted(b);
  b->publish();
  char head[64];
  snprintf(head, sizeof head, "G %020" PRIu64 " %ld ", monotonic_ns(), my_pid());
  append_line(b->path("gpio.log"), head + path + " " +
                                        to_hex(static_cast<const uint8_t*>(buf), n) + " " +
                                        errno_name(err) + "\n");
  if (err) return fail(err);
  return static_cast<ssize_t>(n);
}

}  // namespace

bool gpio_open(SimBoard* b, const char* path, int flags, int* result) {
  if (!starts_with(path, GPIO_ROOT) || path[strlen(GPIO_ROOT)] != '/') return false;
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

bool gpio_access(SimBoard* b, const char* path, int* result) {
  if (!starts_with(path, GPIO_ROOT)) return false;
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

}  // namespace boardsim::preload

using namespace boardsim::preload;

extern "C" {

EXPORT ssize_t write(int fd, const void* buf, size_t n) {
  if (!in_sim) {
    if (FdInfo* f = tracked(fd); f && f->kind != Kind::spi) return sim_gpio_write(*f, buf, n);
  }
  return real_write()(fd, buf, n);
}

}  // extern "C"

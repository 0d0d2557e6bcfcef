// The board's interposers: loaded ahead of the C library (LD_PRELOAD, or
// linked into a test binary), they take over the calls that reach the
// board's devices and files and pass every other call on unchanged. Each
// room interposes one side of the board:
//
//   preload_spi.cpp    /dev/spidev0.0: open, its ioctls, flock
//   preload_gpio.cpp   /sys/class/gpio/...: open, access, write
//   preload_files.cpp  /etc/krv_version.xml and denied paths: fopen, stat
//   preload_net.cpp    sendto (capture or real send), gethostbyname
//   preload_time.cpp   sleeps, time, gettimeofday, clock_gettime
//
// This file holds the entry points the rooms share: every form of open()
// and openat() (open64, __open_2 and the other fortified forms) and
// access() go to whichever room owns the path; close, dup, dup2, dup3 and
// fcntl(F_DUPFD) keep copies of simulated descriptors simulated; abort and
// the end of the process write out the pending exchange run. The board as
// this process sees it is in preload_board.cpp.
//
// The board directory comes from BOARDSIM_DIR; without it only the network
// capture is active (datagrams are then dropped, never sent).
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <unistd.h>

#include <string>

#include "preload.h"

namespace boardsim::preload {

thread_local int in_sim = 0;

namespace {

using open_t = int (*)(const char*, int, ...);
using openat_t = int (*)(int, const char*, int, ...);
using open2_t = int (*)(const char*, int);
using openat2_t = int (*)(int, const char*, int);
using access_t = int (*)(const char*, int);
using close_t = int (*)(int);
using dup_t = int (*)(int);
using dup2_t = int (*)(int, int);
using dup3_t = int (*)(int, int, int);
using fcntl_t = int (*)(int, int, ...);
using abort_t = void (*)();

REAL(open, open_t)
REAL(openat, openat_t)
REAL(access, access_t)
REAL(close, close_t)
REAL(dup, dup_t)
REAL(dup2, dup2_t)
REAL(dup3, dup3_t)
REAL(fcntl, fcntl_t)
REAL(abort, abort_t)
#ifdef __GLIBC__
REAL(open64, open_t)
REAL(openat64, openat_t)
REAL(__open_2, open2_t)
REAL(__open64_2, open2_t)
REAL(__openat_2, openat2_t)
REAL(__openat64_2, openat2_t)
REAL(fcntl64, fcntl_t)
#endif

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
  if (version_redirect(b, path, redirect)) return false;
  return spi_open(b, path, flags, result) || gpio_open(b, path, flags, result);
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
  if (version_redirect(b, path, redirect)) return false;
  return spi_access(b, path, result) || gpio_access(b, path, result);
}

// The C library's forms of open() and openat().
enum class OpenCall : uint8_t {
  open, openat, open64, openat64, open_2, open64_2, openat_2, openat64_2
};

// Every form comes here: the board takes the paths it owns and redirects
// the version file; the call then goes on to the C library's function of
// the same form.
int open_any(OpenCall call, int dirfd, const char* path, int flags, mode_t mode) {
  int result;
  std::string redirect;
  if (sim_open(path, flags, &result, &redirect)) return result;
  if (!redirect.empty()) path = redirect.c_str();
  switch (call) {
#ifdef __GLIBC__
    case OpenCall::open64: return real_open64()(path, flags, mode);
    case OpenCall::openat64: return real_openat64()(dirfd, path, flags, mode);
    case OpenCall::open_2: return real___open_2()(path, flags);
    case OpenCall::open64_2: return real___open64_2()(path, flags);
    case OpenCall::openat_2: return real___openat_2()(dirfd, path, flags);
    case OpenCall::openat64_2: return real___openat64_2()(dirfd, path, flags);
#endif
    case OpenCall::openat: return real_openat()(dirfd, path, flags, mode);
    default: return real_open()(path, flags, mode);
  }
}

// The mode argument, there only when the flags create a file.
mode_t mode_arg(int flags, va_list ap) {
#ifdef O_TMPFILE
  if ((flags & O_TMPFILE) == O_TMPFILE) return va_arg(ap, mode_t);
#endif
  return (flags & O_CREAT) != 0 ? va_arg(ap, mode_t) : 0;
}

int fcntl_any(fcntl_t real, int fd, int cmd, void* arg) {
  int r = real(fd, cmd, arg);
  if (!in_sim && (cmd == F_DUPFD || cmd == F_DUPFD_CLOEXEC)) return track_copy(fd, r);
  return r;
}

}  // namespace
}  // namespace boardsim::preload

using namespace boardsim::preload;

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

EXPORT int open(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = mode_arg(flags, ap);
  va_end(ap);
  return open_any(OpenCall::open, AT_FDCWD, path, flags, mode);
}

EXPORT int openat(int dirfd, const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = mode_arg(flags, ap);
  va_end(ap);
  return open_any(OpenCall::openat, dirfd, path, flags, mode);
}

#ifdef __GLIBC__
EXPORT int open64(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = mode_arg(flags, ap);
  va_end(ap);
  return open_any(OpenCall::open64, AT_FDCWD, path, flags, mode);
}

EXPORT int openat64(int dirfd, const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = mode_arg(flags, ap);
  va_end(ap);
  return open_any(OpenCall::openat64, dirfd, path, flags, mode);
}

EXPORT int __open_2(const char* path, int flags) {
  return open_any(OpenCall::open_2, AT_FDCWD, path, flags, 0);
}

EXPORT int __open64_2(const char* path, int flags) {
  return open_any(OpenCall::open64_2, AT_FDCWD, path, flags, 0);
}

EXPORT int __openat_2(int dirfd, const char* path, int flags) {
  return open_any(OpenCall::openat_2, dirfd, path, flags, 0);
}

EXPORT int __openat64_2(int dirfd, const char* path, int flags) {
  return open_any(OpenCall::openat64_2, dirfd, path, flags, 0);
}
#endif

EXPORT int access(const char* path, int mode) __THROW {
  int result;
  std::string redirect;
  if (sim_access(path, &result, &redirect)) return result;
  return real_access()(redirect.empty() ? path : redirect.c_str(), mode);
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

EXPORT int fcntl(int fd, int cmd, ...) {
  va_list ap;
  va_start(ap, cmd);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  return fcntl_any(real_fcntl(), fd, cmd, arg);
}

#ifdef __GLIBC__
EXPORT int fcntl64(int fd, int cmd, ...) {
  va_list ap;
  va_start(ap, cmd);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  return fcntl_any(real_fcntl64(), fd, cmd, arg);
}
#endif

EXPORT void abort(void) __THROW {
  if (!in_sim) {
    Inside inside;
    wind_up();
  }
  real_abort()();
  __builtin_trap();
}

}  // extern "C"

// Time: sleep() may be made instant (time.fast_sleep), every wait first
// writes out the pending exchange run, and the calendar clock may be
// stepped (time.step_s, time.step_after_ms).
#include <time.h>
#include <sys/time.h>
#include <unistd.h>

#include "preload.h"

namespace boardsim::preload {
namespace {

using sleep_t = unsigned (*)(unsigned);
using usleep_t = int (*)(useconds_t);
using nanosleep_t = int (*)(const struct timespec*, struct timespec*);
using clock_nanosleep_t = int (*)(clockid_t, int, const struct timespec*, struct timespec*);
using time_fn_t = time_t (*)(time_t*);
using gettimeofday_t = int (*)(struct timeval*, void*);
using clock_gettime_t = int (*)(clockid_t, struct timespec*);

REAL(sleep, sleep_t)
REAL(usleep, usleep_t)
REAL(nanosleep, nanosleep_t)
REAL(clock_nanosleep, clock_nanosleep_t)
REAL(time, time_fn_t)
REAL(gettimeofday, gettimeofday_t)
REAL(clock_gettime, clock_gettime_t)

// A program that waits may be killed meanwhile: the pending run goes to
// the file first (a system call only when it grew since the last update).
void flush_before_wait() {
  if (in_sim) return;
  Inside inside;
  flush_logs();
}

// The calendar clock of this process, stepped by time.step_s seconds once
// time.step_after_ms have passed since its first exchange with the
// bootloader. CLOCK_MONOTONIC is never stepped.
long long clock_step_s() {
  SimBoard* b = board;
  if (in_sim || !b || b->step_ref_ns == 0 || b->step_s == 0) return 0;
  timespec ts;  // not through the interposer below
  real_clock_gettime()(CLOCK_MONOTONIC, &ts);
  uint64_t now = static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
  return now - b->step_ref_ns >= b->step_after_ns ? b->step_s : 0;
}

}  // namespace

// Called with each exchange: the first one with the bootloader starts the
// wait before the step.
void clock_step_start(SimBoard* b, uint64_t t) {
  if (b->program != Program::bootloader || b->step_ref_ns != 0) return;
  b->step_ref_ns = t;
  b->step_after_ns = static_cast<uint64_t>(b->state.get_int("time.step_after_ms", 0)) * 1000000u;
  b->step_s = b->state.get_int("time.step_s", 0);
}

}  // namespace boardsim::preload

using namespace boardsim::preload;

extern "C" {

EXPORT unsigned int sleep(unsigned int seconds) {
  if (!in_sim) {
    Inside inside;
    flush_logs();
    SimBoard* b = current_board();
    if (b && b->state.get_int("time.fast_sleep", 0) != 0) return 0;
  }
  return real_sleep()(seconds);
}

EXPORT int usleep(useconds_t usec) {
  flush_before_wait();
  return real_usleep()(usec);
}

EXPORT int nanosleep(const struct timespec* req, struct timespec* rem) {
  flush_before_wait();
  return real_nanosleep()(req, rem);
}

EXPORT int clock_nanosleep(clockid_t clock, int flags, const struct timespec* req,
                           struct timespec* rem) {
  flush_before_wait();
  return real_clock_nanosleep()(clock, flags, req, rem);
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

}  // extern "C"

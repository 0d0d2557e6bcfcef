// The calendar clock step (time.step_after_ms, time.step_s) and the fast
// sleep (time.fast_sleep), through the preload library linked in.
#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <signal.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "boardsim/board.h"

using boardsim::Board;

namespace {

double realtime_s() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

double monotonic_s() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

void one_exchange(int fd) {
  uint8_t tx = 0xFF, rx = 0;
  spi_ioc_transfer x;
  memset(&x, 0, sizeof x);
  x.tx_buf = reinterpret_cast<uintptr_t>(&tx);
  x.rx_buf = reinterpret_cast<uintptr_t>(&rx);
  x.len = 1;
  ASSERT_EQ(ioctl(fd, SPI_IOC_MESSAGE(1), &x), 1);
}

// M ms after the first exchange with the bootloader, time(), gettimeofday()
// and CLOCK_REALTIME jump by S seconds; CLOCK_MONOTONIC goes on evenly.
TEST(Clock, StepsTheCalendarClockOnly) {
  for (long long step : {7200LL, -3600LL}) {
    SCOPED_TRACE(step);
    Board board;
    board.set("mcu.program", "bootloader");
    board.set("time.step_after_ms", 100);
    board.set("time.step_s", step);
    board.attach();
    const time_t t0 = time(nullptr);
    const double m0 = monotonic_s();
    usleep(150000);  // no exchange yet: no step
    EXPECT_LE(time(nullptr) - t0, 1);
    int fd = open("/dev/spidev0.0", O_RDWR);
    ASSERT_GE(fd, 0);
    one_exchange(fd);
    EXPECT_LE(time(nullptr) - t0, 1);  // not before M ms
    usleep(150000);
    one_exchange(fd);  // later exchanges do not move the moment
    timeval tv;
    gettimeofday(&tv, nullptr);
    const double m1 = monotonic_s();
    EXPECT_NEAR(static_cast<double>(time(nullptr) - t0), static_cast<double>(step), 2);
    EXPECT_NEAR(static_cast<double>(tv.tv_sec - t0), static_cast<double>(step), 2);
    EXPECT_NEAR(realtime_s() - static_cast<double>(t0), static_cast<double>(step), 2);
    EXPECT_GT(m1 - m0, 0.29);
    EXPECT_LT(m1 - m0, 10);
    close(fd);
  }
  EXPECT_LE(std::abs(time(nullptr) - static_cast<time_t>(realtime_s())), 1);
}

// With time.fast_sleep, sleep() returns at once; a child process makes sure
// that a broken fast sleep fails in seconds instead of hanging.
TEST(Clock, FastSleepReturnsAtOnce) {
  Board board;
  board.set("time.fast_sleep", 1);
  board.attach();
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    alarm(10);
    _exit(sleep(3600) == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

}  // namespace

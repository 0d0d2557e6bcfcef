#include "spidev.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr long LOCK_POLL_NS = 10 * 1000 * 1000;  // between two tries for the bus

}  // namespace

int64_t monotonic_ms(void) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void abort_with_error(const char* message) {
  // Standard output is usually a pipe: keep what was printed before the
  // abort. Flushing may change errno, so the error to print is kept first.
  const int saved = errno;
  fflush(stdout);
  errno = saved;
  perror(message);
  abort();
}

int spidev_open(void) {
  const int fd = open(SPIDEV_PATH, O_RDWR);
  if (fd < 0) abort_with_error("can't open device");
  return fd;
}

void spidev_configure(int fd, spidev_settings* s) {
  const struct {
    unsigned request;
    void* value;
    const char* failure;
  } steps[] = {
      {SPI_IOC_WR_MODE32, &s->mode, "can't set spi mode"},
      {SPI_IOC_RD_MODE32, &s->mode, "can't get spi mode"},
      {SPI_IOC_WR_BITS_PER_WORD, &s->bits_per_word, "can't set bits per word"},
      {SPI_IOC_RD_BITS_PER_WORD, &s->bits_per_word, "can't get bits per word"},
      {SPI_IOC_WR_MAX_SPEED_HZ, &s->max_speed_hz, "can't set max speed hz"},
      {SPI_IOC_RD_MAX_SPEED_HZ, &s->max_speed_hz, "can't get max speed hz"},
  };
  for (const auto& step : steps)
    if (ioctl(fd, step.request, step.value) == -1) abort_with_error(step.failure);
}

spidev_lock_result spidev_lock(int fd, int wait_ms) {
  const int64_t deadline = monotonic_ms() + wait_ms;
  for (;;) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return SPIDEV_LOCKED;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return SPIDEV_UNLOCKABLE;  // EINVAL, ENOLCK, EOPNOTSUPP
    if (monotonic_ms() >= deadline) return SPIDEV_BUSY;
    const timespec pause = {0, LOCK_POLL_NS};
    nanosleep(&pause, nullptr);
  }
}

void spidev_unlock(int fd) { flock(fd, LOCK_UN); }

int spidev_lock_holder(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return 0;
  FILE* locks = fopen("/proc/locks", "r");
  if (locks == nullptr) return 0;
  // "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF"; waiting entries carry
  // "->" after the number and are skipped.
  char line[256];
  int holder = 0;
  while (holder == 0 && fgets(line, sizeof line, locks) != nullptr) {
    char kind[16], mode[16], access[16];
    int pid = 0;
    unsigned dev_major = 0, dev_minor = 0;
    unsigned long long inode = 0;
    if (sscanf(line, "%*d: %15s %15s %15s %d %x:%x:%llu", kind, mode, access, &pid, &dev_major,
               &dev_minor, &inode) != 7)
      continue;
    if (dev_major == major(st.st_dev) && dev_minor == minor(st.st_dev) &&
        inode == static_cast<unsigned long long>(st.st_ino))
      holder = pid;
  }
  fclose(locks);
  return holder;
}

void spidev_report_busy(int fd) {
  const int holder = spidev_lock_holder(fd);
  fflush(stdout);
  if (holder > 0) {
    fprintf(stderr, "%s: SPI device busy (held by process %d)\n", SPIDEV_PATH, holder);
  } else {
    fprintf(stderr, "%s: SPI device busy\n", SPIDEV_PATH);
  }
}

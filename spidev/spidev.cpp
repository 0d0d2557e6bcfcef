#include "spidev.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>

#include "monotonic_clock.h"

namespace {

constexpr long LOCK_POLL_NS = 10 * 1000 * 1000;  // between two tries for the bus
constexpr int LOCK_RECORD_TRIES = 10;            // ENOLCK in a row before giving up

int fail(spidev_failure* failure, const char* what) {
  failure->what = what;
  failure->error = errno;
  return 1;
}

}  // namespace

int spidev_open(spidev_device* device, spidev_failure* failure) {
  device->fd = open(device->path, O_RDWR);
  if (device->fd < 0) return fail(failure, "can't open device");
  return 0;
}

int spidev_configure(spidev_device* device, spidev_failure* failure) {
  spidev_settings* s = &device->settings;
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
    if (ioctl(device->fd, step.request, step.value) == -1) return fail(failure, step.failure);
  return 0;
}

int spidev_exchange(const spidev_device* device, const uint8_t* tx, uint8_t* rx, uint32_t length) {
  spi_ioc_transfer transfer;
  memset(&transfer, 0, sizeof transfer);
  transfer.tx_buf = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(tx));
  transfer.rx_buf = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(rx));
  transfer.len = length;
  transfer.speed_hz = device->exchange_speed_hz;
  transfer.bits_per_word = device->exchange_bits;
  const int result = ioctl(device->fd, SPI_IOC_MESSAGE(1), &transfer);
  const int saved = errno;
  if (device->trace) {
    spidev_dump(tx, length, 32, "TX", true);
    spidev_dump(rx, length, 32, "RX", true);
  }
  errno = saved;
  return result < 0 ? -1 : 0;
}

void spidev_dump(const uint8_t* bytes, size_t length, size_t width, const char* label,
                 bool characters) {
  if (width == 0) return;
  for (size_t start = 0; start < length; start += width) {
    printf("%s | ", label);
    for (size_t i = start; i < start + width; ++i) {
      if (i < length) {
        printf("%02X ", static_cast<unsigned>(bytes[i]));
      } else {
        fputs("__ ", stdout);
      }
    }
    fputs(" | ", stdout);
    for (size_t i = start; characters && i < start + width && i < length; ++i)
      putchar(bytes[i] >= 0x20 && bytes[i] <= 0x7E ? bytes[i] : '.');
    putchar('\n');
  }
}

spidev_lock_result spidev_lock(spidev_device* device, int64_t wait_ms) {
  const int64_t deadline = monotonic_ms() + wait_ms;
  int no_record = 0;  // ENOLCK tries in a row
  for (;;) {
    if (flock(device->fd, LOCK_EX | LOCK_NB) == 0) return SPIDEV_LOCKED;
    if (errno == EINTR) continue;
    if (errno == EINVAL || errno == EOPNOTSUPP) {
      if (!device->said_no_lock) {
        fflush(stdout);
        fprintf(stderr, "%s: no lock support, using the bus without the lock\n", device->path);
        device->said_no_lock = true;
      }
      return SPIDEV_UNLOCKABLE;
    }
    // Only a lock held by another process is worth the whole wait; no lock
    // record free may clear within a few tries, anything else never will.
    if (errno == ENOLCK ? ++no_record > LOCK_RECORD_TRIES : errno != EWOULDBLOCK)
      return SPIDEV_LOCK_FAILED;
    if (errno == EWOULDBLOCK) no_record = 0;
    if (monotonic_ms() >= deadline) return SPIDEV_BUSY;
    const timespec pause = {0, LOCK_POLL_NS};
    nanosleep(&pause, nullptr);
  }
}

void spidev_unlock(const spidev_device* device) { flock(device->fd, LOCK_UN); }

int spidev_lock_holder(const spidev_device* device) {
  struct stat st {};
  if (fstat(device->fd, &st) != 0) return 0;
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

void spidev_report_busy(const spidev_device* device) {
  const int holder = spidev_lock_holder(device);
  fflush(stdout);
  if (holder > 0) {
    fprintf(stderr, "%s: SPI device busy (held by process %d)\n", device->path, holder);
  } else {
    fprintf(stderr, "%s: SPI device busy\n", device->path);
  }
}

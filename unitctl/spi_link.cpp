// unitctl's link to the MCU over /dev/spidev0.0.
//
// Every exchange is its own chip-select frame clocked at 100 kHz. The MCU
// answers a command word with FF FF when it is ready; a read data phase
// carries the data and its CRC-8, a write is acknowledged with 01 07. When
// the MCU is out of step the host resynchronises: 0x00 bytes until the MCU
// clocks out its 0x69 marker, then FF FF until it answers FF F3.
#include "spi_link.h"

#include "spidev.h"

#include <linux/spi/spidev.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

bool verbose_output = false;

namespace {

const uint32_t SPI_MODE = 0;
const uint8_t SPI_BITS_PER_WORD = 8;
const uint32_t SPI_MAX_SPEED_HZ = 25000000;
const uint32_t SPI_TRANSFER_SPEED_HZ = 100000;
const unsigned TRACE_WIDTH = 32;

const unsigned CRC8_POLY = 0x107;

const uint8_t RESYNC_MARKER = 0x69;
const int RESYNC_LIMIT = 20;          // exchanges per phase
const unsigned RESYNC_WAIT_US = 1000;  // after every resync exchange
const unsigned WRITE_WAIT_US = 5000;   // command word to write data phase

const uint8_t ACK_BYTE = 0x01;

// A data phase carries len + 1 bytes in an 8-bit length.
const unsigned MAX_DATA_LEN = 254;

// The bus is shared with the other programs on the unit: every transaction
// is made under the device's lock. A hand-run option waits for the bus
// about LOCK_WAIT_MS in all; the telemetry service gives each round of
// reads a short wait of its own (spi_link_set_lock_wait).
const int LOCK_WAIT_MS = 10000;
int64_t lock_wait_left_ms = LOCK_WAIT_MS;

// Configuration waits for the first time this process has the bus.
bool configure_pending = false;
// The last transaction found the bus held by another process.
int refused_fd = -1;

// Takes the bus (or goes on without a lock where the device has none);
// false when another process kept it for the whole wait.
bool acquire_bus(int fd) {
  const int64_t start = monotonic_ms();
  const spidev_lock_result locked = spidev_lock(fd, static_cast<int>(lock_wait_left_ms));
  lock_wait_left_ms -= monotonic_ms() - start;
  if (lock_wait_left_ms < 0) lock_wait_left_ms = 0;
  if (locked == SPIDEV_BUSY) {
    refused_fd = fd;
    return false;
  }
  refused_fd = -1;
  if (configure_pending) {
    // The values read back are not used: every exchange asks for its own speed.
    spidev_settings settings = {SPI_MODE, SPI_BITS_PER_WORD, SPI_MAX_SPEED_HZ};
    spidev_configure(fd, &settings);
    configure_pending = false;
  }
  return true;
}

void sleep_ms(unsigned ms) {
  if (ms != 0) usleep(ms * 1000u);
}

// One exchange; records in *failed when the device refused it.
void exchange(int fd, const uint8_t* tx, uint8_t* rx, uint8_t len, bool* failed) {
  if (spi_transfer(fd, tx, rx, len) == -1) *failed = true;
}

// Both resynchronisation phases. Returns true when the MCU showed a sign of
// life: its 0x69 marker in phase 1 or FF F3 in phase 2.
bool resync(int fd, bool* failed) {
  bool alive = false;

  for (int i = 0; i < RESYNC_LIMIT; ++i) {
    const uint8_t tx = 0x00;
    uint8_t rx = 0x00;
    bool bad = false;
    exchange(fd, &tx, &rx, 1, &bad);
    usleep(RESYNC_WAIT_US);
    if (bad) {
      *failed = true;
      continue;
    }
    if (rx == RESYNC_MARKER) {
      alive = true;
      break;
    }
  }

  const uint8_t ack_ff = 0xFF;
  const uint8_t ack_crc = crc8(&ack_ff, 1);  // F3
  for (int i = 0; i < RESYNC_LIMIT; ++i) {
    const uint8_t tx[2] = {0xFF, 0xFF};
    uint8_t rx[2] = {0x00, 0x00};
    bool bad = false;
    exchange(fd, tx, rx, 2, &bad);
    usleep(RESYNC_WAIT_US);
    if (bad) {
      *failed = true;
      continue;
    }
    if (rx[0] == ack_ff && rx[1] == ack_crc) {
      alive = true;
      break;
    }
  }
  return alive;
}

// Sends the command word. When the MCU does not answer FF FF, resynchronises
// and sends the command word once more, without examining that answer.
// Returns true when the MCU answered at all (FF FF or a resync sign of life).
bool send_command(int fd, const uint8_t* command, bool* failed) {
  uint8_t rx[2] = {0x00, 0x00};
  bool bad = false;
  exchange(fd, command, rx, 2, &bad);
  if (!bad && rx[0] == 0xFF && rx[1] == 0xFF) return true;
  if (bad) *failed = true;

  const bool alive = resync(fd, failed);
  uint8_t again[2] = {0x00, 0x00};
  exchange(fd, command, again, 2, failed);
  return alive;
}

}  // namespace

int spi_open(void) {
  if (verbose_output) {
    printf("SPI config:\n");
    printf("Mode: 0x%x\n", (unsigned)SPI_MODE);
    printf("Bits per word: %d\n", (int)SPI_BITS_PER_WORD);
    printf("Max Speed: %d Hz (%d KHz)\n", (int)SPI_MAX_SPEED_HZ, (int)(SPI_MAX_SPEED_HZ / 1000));
    printf("Speed: %d Hz (%d KHz)\n", (int)SPI_TRANSFER_SPEED_HZ,
           (int)(SPI_TRANSFER_SPEED_HZ / 1000));
  }
  const int fd = spidev_open();
  // The settings are shared by every user of the bus: they are written
  // under the lock, or by the first transaction that gets it.
  configure_pending = true;
  if (acquire_bus(fd)) spidev_unlock(fd);
  refused_fd = -1;
  return fd;
}

void spi_link_set_lock_wait(int wait_ms) { lock_wait_left_ms = wait_ms; }

void spi_link_report_busy(void) {
  if (refused_fd >= 0) spidev_report_busy(refused_fd);
}

int spi_transfer(int fd, const uint8_t* tx, uint8_t* rx, uint8_t len) {
  struct spi_ioc_transfer transfer;
  memset(&transfer, 0, sizeof transfer);
  transfer.tx_buf = (uintptr_t)tx;
  transfer.rx_buf = (uintptr_t)rx;
  transfer.len = len;
  transfer.speed_hz = SPI_TRANSFER_SPEED_HZ;

  const int ret = ioctl(fd, SPI_IOC_MESSAGE(1), &transfer);

  if (verbose_output) {
    hex_dump(tx, len, TRACE_WIDTH, "TX");
    hex_dump(rx, len, TRACE_WIDTH, "RX");
  }
  return ret;
}

void hex_dump(const uint8_t* data, int len, unsigned width, const char* label) {
  if (width == 0) return;
  int i = 0;
  while (i < len) {
    const int start = i;
    unsigned in_row = 0;
    printf("%s | ", label);
    while (in_row < width && i < len) {
      printf("%02X ", (unsigned)data[i]);
      ++i;
      ++in_row;
    }
    for (unsigned k = in_row; k < width; ++k) fputs("__ ", stdout);
    fputs(" | ", stdout);
    for (int k = start; k < i; ++k) {
      const uint8_t c = data[k];
      putchar(c >= 0x20 && c <= 0x7E ? c : '.');
    }
    putchar('\n');
  }
}

uint8_t crc8_update(uint8_t byte, uint8_t crc, unsigned poly) {
  unsigned b = byte;
  unsigned r = crc;
  for (int i = 0; i < 8; ++i) {
    const unsigned top = (b ^ r) & 0x80u;
    r = (r << 1) & 0xFFu;
    if (top) r = (r ^ poly) & 0xFFu;
    b = (b << 1) & 0xFFu;
  }
  return (uint8_t)r;
}

uint8_t crc8(const uint8_t* data, int len) {
  uint8_t crc = 0;
  for (int i = 0; i < len; ++i) crc = crc8_update(data[i], crc, CRC8_POLY);
  return crc;
}

int mcu_resync(int fd) {
  bool failed = false;
  return resync(fd, &failed) ? 1 : 0;
}

namespace {

int read_attempts(int fd, const uint8_t* command, uint8_t* out, unsigned len, uint8_t delay_ms,
                  uint8_t retries) {
  const uint8_t n = (uint8_t)(len + 1);

  for (unsigned attempt = 0; attempt <= retries; ++attempt) {
    bool failed = false;
    const bool answered = send_command(fd, command, &failed);

    uint8_t tx[MAX_DATA_LEN + 1];
    uint8_t rx[MAX_DATA_LEN + 1];
    memset(tx, 0xFF, n);
    memset(rx, 0x00, n);
    sleep_ms(delay_ms);
    exchange(fd, tx, rx, n, &failed);

    if (!failed && answered && crc8(rx, (int)len) == rx[len]) {
      memcpy(out, rx, len);
      return 0;
    }
  }
  return 1;
}

int write_attempts(int fd, const uint8_t* command, const uint8_t* payload, unsigned len,
                   uint8_t delay_ms, uint8_t retries) {
  const uint8_t n = (uint8_t)(len + 1);

  for (unsigned attempt = 0; attempt <= retries; ++attempt) {
    bool failed = false;
    const bool answered = send_command(fd, command, &failed);

    uint8_t tx[MAX_DATA_LEN + 1];
    uint8_t rx[MAX_DATA_LEN + 1];
    if (len) memcpy(tx, payload, len);
    tx[len] = crc8(payload, (int)len);
    memset(rx, 0x00, n);
    usleep(WRITE_WAIT_US);
    exchange(fd, tx, rx, n, &failed);

    sleep_ms(delay_ms);
    const uint8_t ack_tx[2] = {0xFF, 0xFF};
    uint8_t ack_rx[2] = {0x00, 0x00};
    exchange(fd, ack_tx, ack_rx, 2, &failed);

    if (!failed && answered && ack_rx[0] == ACK_BYTE && ack_rx[1] == crc8(&ACK_BYTE, 1)) return 0;
  }
  return 1;
}

// One transaction: all its attempts are made while this process owns the bus.
template <typename Attempts>
int transaction(int fd, unsigned len, Attempts attempts) {
  if (len > MAX_DATA_LEN || !acquire_bus(fd)) return 1;
  const int result = attempts();
  spidev_unlock(fd);
  return result;
}

}  // namespace

int mcu_read(int fd, const uint8_t* command, uint8_t* out, unsigned len, uint8_t delay_ms,
             uint8_t retries) {
  return transaction(
      fd, len, [&] { return read_attempts(fd, command, out, len, delay_ms, retries); });
}

int mcu_write(int fd, const uint8_t* command, const uint8_t* payload, unsigned len,
              uint8_t delay_ms, uint8_t retries) {
  return transaction(
      fd, len, [&] { return write_attempts(fd, command, payload, len, delay_ms, retries); });
}

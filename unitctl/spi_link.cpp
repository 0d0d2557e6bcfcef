// unitctl's link to the MCU over /dev/spidev0.0.
//
// Every exchange is its own chip-select frame clocked at 100 kHz. The MCU
// answers a command word with FF FF when it is ready; a read data phase
// carries the data and its CRC-8, a write is acknowledged with 01 07. When
// the MCU is out of step the host resynchronises: 0x00 bytes until the MCU
// clocks out its 0x69 marker, then FF FF until it answers FF F3.
#include "spi_link.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "monotonic_clock.h"

namespace {

const uint32_t SPI_MODE = 0;
const uint8_t SPI_BITS_PER_WORD = 8;
const uint32_t SPI_MAX_SPEED_HZ = 25000000;
const uint32_t SPI_TRANSFER_SPEED_HZ = 100000;

const unsigned CRC8_POLY = 0x107;

const uint8_t RESYNC_MARKER = 0x69;
const int RESYNC_LIMIT = 20;          // exchanges per phase
const unsigned RESYNC_WAIT_US = 1000;  // after every resync exchange
const unsigned WRITE_WAIT_US = 5000;   // command word to write data phase

const uint8_t ACK_BYTE = 0x01;

// A data phase carries len + 1 bytes in an 8-bit length.
const unsigned MAX_DATA_LEN = 254;

// The bus is shared with the other programs on the unit: every transaction
// is made under the device's lock, within what is left of the link's wait.
// Takes the bus (or goes on without a lock where the device has none);
// false when another process kept it for the whole wait, or when the
// settings could not be written.
bool acquire_bus(spi_link* link) {
  const int64_t start = monotonic_ms();
  const spidev_lock_result locked = spidev_lock(&link->device, link->lock_wait_ms);
  link->lock_wait_ms -= monotonic_ms() - start;
  if (link->lock_wait_ms < 0) link->lock_wait_ms = 0;
  link->refused = locked == SPIDEV_BUSY;
  if (link->refused) return false;
  if (locked == SPIDEV_LOCK_FAILED) {
    link->setup = {SPIDEV_LOCK_FAILURE, errno};
    return false;
  }
  if (link->configure_pending) {
    // The values read back are not used: every exchange asks for its own speed.
    if (spidev_configure(&link->device, &link->setup) != 0) {
      spidev_unlock(&link->device);
      return false;
    }
    link->configure_pending = false;
  }
  return true;
}

void sleep_ms(unsigned ms) {
  if (ms != 0) usleep(ms * 1000u);
}

// One exchange; records in *failed when the device refused it.
void exchange(const spi_link* link, const uint8_t* tx, uint8_t* rx, uint8_t len, bool* failed) {
  if (spidev_exchange(&link->device, tx, rx, len) == -1) *failed = true;
}

// Both resynchronisation phases. Returns true when the MCU showed a sign of
// life: its 0x69 marker in phase 1 or FF F3 in phase 2.
bool resync(const spi_link* link, bool* failed) {
  bool alive = false;

  for (int i = 0; i < RESYNC_LIMIT; ++i) {
    const uint8_t tx = 0x00;
    uint8_t rx = 0x00;
    bool bad = false;
    exchange(link, &tx, &rx, 1, &bad);
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
    exchange(link, tx, rx, 2, &bad);
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
bool send_command(const spi_link* link, const uint8_t* command, bool* failed) {
  uint8_t rx[2] = {0x00, 0x00};
  bool bad = false;
  exchange(link, command, rx, 2, &bad);
  if (!bad && rx[0] == 0xFF && rx[1] == 0xFF) return true;
  if (bad) *failed = true;

  const bool alive = resync(link, failed);
  uint8_t again[2] = {0x00, 0x00};
  exchange(link, command, again, 2, failed);
  return alive;
}

}  // namespace

int spi_link_open(spi_link* link, bool verbose, int64_t lock_wait_ms) {
  if (verbose) {
    printf("SPI config:\n");
    printf("Mode: 0x%x\n", (unsigned)SPI_MODE);
    printf("Bits per word: %d\n", (int)SPI_BITS_PER_WORD);
    printf("Max Speed: %d Hz (%d KHz)\n", (int)SPI_MAX_SPEED_HZ, (int)(SPI_MAX_SPEED_HZ / 1000));
    printf("Speed: %d Hz (%d KHz)\n", (int)SPI_TRANSFER_SPEED_HZ,
           (int)(SPI_TRANSFER_SPEED_HZ / 1000));
  }
  link->device.path = SPIDEV_PATH;
  link->device.settings = {SPI_MODE, SPI_BITS_PER_WORD, SPI_MAX_SPEED_HZ};
  link->device.exchange_speed_hz = SPI_TRANSFER_SPEED_HZ;
  link->device.exchange_bits = 0;
  link->device.trace = verbose;
  link->device.said_no_lock = false;
  link->lock_wait_ms = lock_wait_ms;
  link->refused = false;
  link->setup = {nullptr, 0};
  if (spidev_open(&link->device, &link->setup) != 0) return 1;
  // The settings are shared by every user of the bus: they are written
  // under the lock, or by the first transaction that gets it.
  link->configure_pending = true;
  if (acquire_bus(link)) spidev_unlock(&link->device);
  link->refused = false;
  return link->setup.what != nullptr ? 1 : 0;
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

int mcu_resync(spi_link* link) {
  bool failed = false;
  return resync(link, &failed) ? 1 : 0;
}

namespace {

// The attempts of one transaction, all made while this process owns the
// bus. A read (payload null) clocks out FF bytes and takes len data bytes
// and their CRC into out; a write sends the payload and its CRC, then waits
// for the MCU's acknowledgement.
int attempts(const spi_link* link, const uint8_t* command, const uint8_t* payload, uint8_t* out,
             unsigned len, uint8_t delay_ms, uint8_t retries) {
  const uint8_t n = (uint8_t)(len + 1);

  for (unsigned attempt = 0; attempt <= retries; ++attempt) {
    bool failed = false;
    const bool answered = send_command(link, command, &failed);

    uint8_t tx[MAX_DATA_LEN + 1];
    uint8_t rx[MAX_DATA_LEN + 1];
    if (payload == nullptr) {
      memset(tx, 0xFF, n);
      memset(rx, 0x00, n);
      sleep_ms(delay_ms);
    } else {
      if (len) memcpy(tx, payload, len);
      tx[len] = crc8(payload, (int)len);
      memset(rx, 0x00, n);
      usleep(WRITE_WAIT_US);
    }
    exchange(link, tx, rx, n, &failed);

    bool good;
    if (payload == nullptr) {
      good = crc8(rx, (int)len) == rx[len];
    } else {
      sleep_ms(delay_ms);
      const uint8_t ack_tx[2] = {0xFF, 0xFF};
      uint8_t ack_rx[2] = {0x00, 0x00};
      exchange(link, ack_tx, ack_rx, 2, &failed);
      good = ack_rx[0] == ACK_BYTE && ack_rx[1] == crc8(&ACK_BYTE, 1);
    }

    if (!failed && answered && good) {
      if (out != nullptr) memcpy(out, rx, len);
      return 0;
    }
  }
  return 1;
}

int transaction(spi_link* link, const uint8_t* command, const uint8_t* payload, uint8_t* out,
                unsigned len, uint8_t delay_ms, uint8_t retries) {
  if (link->setup.what != nullptr || len > MAX_DATA_LEN || !acquire_bus(link)) return 1;
  const int result = attempts(link, command, payload, out, len, delay_ms, retries);
  spidev_unlock(&link->device);
  return result;
}

}  // namespace

int mcu_read(spi_link* link, const uint8_t* command, uint8_t* out, unsigned len, uint8_t delay_ms,
             uint8_t retries) {
  return transaction(link, command, nullptr, out, len, delay_ms, retries);
}

int mcu_write(spi_link* link, const uint8_t* command, const uint8_t* payload, unsigned len,
              uint8_t delay_ms, uint8_t retries) {
  return transaction(link, command, payload, nullptr, len, delay_ms, retries);
}

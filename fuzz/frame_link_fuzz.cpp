// unitctl's frame link against arbitrary MCU replies. The input chooses one
// transaction (read or write, length, wait, retries, command word and write
// payload); the rest of it is what the MCU clocks back, exchange after
// exchange, until it runs out and the device fails every further exchange.
// The exchanges are taken by a stand-in for ioctl(), sleeps cost nothing.
//
// Checked against the link's own rules, exchange by exchange: every attempt
// sends the command word; an answer other than FF FF is followed by at most
// 20 resync bytes 00 (stopping at the marker 69), at most 20 resync words
// FF FF (stopping at FF F3) and the command word once more; then the data
// phase of len + 1 bytes (FF... for a read; payload and CRC-8 for a write)
// and, for a write, the FF FF that fetches the acknowledgement. A
// transaction succeeds exactly when an attempt got an answer, no exchange of
// it failed and its CRC (read) or its 01 07 (write) was right; it then stops
// and hands over the data. Otherwise it makes retries + 1 attempts and
// leaves the caller's buffer as it was.
#include <errno.h>
#include <linux/spi/spidev.h>
#include <stdarg.h>
#include <stdint.h>
#include <string.h>
#include <sys/types.h>
#include <time.h>

#include <vector>

#include "check.h"
#include "spi_link.h"

namespace {

struct Exchange {
  std::vector<uint8_t> tx, rx;
  bool failed;
};

// The MCU side of the bus for one input.
struct Bus {
  const uint8_t* replies;
  size_t left;
  std::vector<Exchange> log;
} bus;

uint8_t reference_crc8(const uint8_t* data, size_t len) {
  uint8_t crc = 0;
  for (size_t i = 0; i < len; ++i) {
    crc ^= data[i];
    for (int b = 0; b < 8; ++b) crc = (uint8_t)((crc & 0x80) ? (crc << 1) ^ 0x07 : crc << 1);
  }
  return crc;
}

}  // namespace

// One exchange on the device; nothing else may reach it during a transaction.
extern "C" int ioctl(int, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  spi_ioc_transfer* t = va_arg(args, spi_ioc_transfer*);
  va_end(args);
  FUZZ_REQUIRE(request == SPI_IOC_MESSAGE(1), "only single exchanges");
  FUZZ_REQUIRE(t->speed_hz == 100000 && t->delay_usecs == 0 && t->bits_per_word == 0 &&
                   t->cs_change == 0 && t->tx_nbits == 0 && t->rx_nbits == 0 &&
                   t->word_delay_usecs == 0 && t->pad == 0,
               "exchange clocked at 100 kHz, every other field 0");
  FUZZ_REQUIRE(t->len >= 1 && t->len <= 255, "exchange of 1 to 255 bytes");
  const uint8_t* tx = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(t->tx_buf));
  uint8_t* rx = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(t->rx_buf));
  Exchange e{std::vector<uint8_t>(tx, tx + t->len), {}, bus.left < t->len};
  if (!e.failed) {
    memcpy(rx, bus.replies, t->len);
    bus.replies += t->len;
    bus.left -= t->len;
  } else {
    bus.left = 0;
  }
  e.rx.assign(rx, rx + t->len);  // a failed exchange leaves rx as the link prepared it
  bus.log.push_back(e);
  if (e.failed) errno = EIO;
  return e.failed ? -1 : (int)t->len;
}

extern "C" int usleep(useconds_t) { return 0; }
extern "C" int nanosleep(const struct timespec*, struct timespec*) { return 0; }
// The bus is this process's alone.
extern "C" int flock(int, int) { return 0; }

namespace {

struct Transaction {
  bool write;
  unsigned retries, len;
  uint8_t delay_ms;
  uint8_t command[2];
  const uint8_t* payload;
};

// Walks the recorded exchanges as the link must have made them; returns
// true when an attempt qualified for success, with its data phase in *data.
bool walk(const Transaction& t, unsigned* attempts, const Exchange** data) {
  size_t i = 0;
  auto next = [&](size_t len, const char* what) -> const Exchange& {
    FUZZ_REQUIRE(i < bus.log.size(), what);
    FUZZ_REQUIRE(bus.log[i].tx.size() == len, what);
    return bus.log[i++];
  };
  const std::vector<uint8_t> command(t.command, t.command + 2), ff(2, 0xFF);
  *attempts = 0;
  while (i < bus.log.size()) {
    FUZZ_REQUIRE(*attempts <= t.retries, "no more attempts than the retries allow");
    ++*attempts;
    const Exchange& word = next(2, "command word");
    FUZZ_REQUIRE(word.tx == command, "command word as given");
    bool failed = word.failed;
    bool answered = !word.failed && word.rx == ff;
    if (!answered) {
      for (int k = 0; k < 20; ++k) {
        const Exchange& e = next(1, "resync byte");
        FUZZ_REQUIRE(e.tx[0] == 0x00, "resync byte 00");
        failed |= e.failed;
        if (!e.failed && e.rx[0] == 0x69) {
          answered = true;
          break;
        }
      }
      for (int k = 0; k < 20; ++k) {
        const Exchange& e = next(2, "resync word");
        FUZZ_REQUIRE(e.tx == ff, "resync word FF FF");
        failed |= e.failed;
        if (!e.failed && e.rx[0] == 0xFF && e.rx[1] == 0xF3) {
          answered = true;
          break;
        }
      }
      const Exchange& again = next(2, "command word again");
      FUZZ_REQUIRE(again.tx == command, "command word again as given");
      failed |= again.failed;
    }
    const Exchange& phase = next(t.len + 1, "data phase of len + 1 bytes");
    failed |= phase.failed;
    bool good;
    if (t.write) {
      std::vector<uint8_t> sent(t.payload, t.payload + t.len);
      sent.push_back(reference_crc8(t.payload, t.len));
      FUZZ_REQUIRE(phase.tx == sent, "write data phase: payload and its CRC-8");
      const Exchange& ack = next(2, "acknowledgement");
      FUZZ_REQUIRE(ack.tx == ff, "acknowledgement fetched with FF FF");
      failed |= ack.failed;
      good = ack.rx[0] == 0x01 && ack.rx[1] == 0x07;
    } else {
      FUZZ_REQUIRE(phase.tx == std::vector<uint8_t>(t.len + 1, 0xFF), "read data phase all FF");
      good = reference_crc8(phase.rx.data(), t.len) == phase.rx[t.len];
    }
    if (answered && !failed && good) {
      FUZZ_REQUIRE(i == bus.log.size(), "nothing after the attempt that succeeded");
      *data = &phase;
      return true;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  Transaction t;
  t.write = data[0] & 1;
  t.retries = (data[0] >> 1) & 3;
  t.len = data[1];
  t.delay_ms = data[2];
  t.command[0] = data[3];
  t.command[1] = data[4];
  size_t used = 5;
  if (t.write) {
    if (size - used < t.len) return 0;
    t.payload = data + used;
    used += t.len;
  }
  bus.replies = data + used;
  bus.left = size - used;
  bus.log.clear();

  uint8_t out[256];
  memset(out, 0xA5, sizeof out);
  spi_link link{};
  link.device.path = "/dev/spidev0.0";
  link.device.fd = 3;
  link.device.exchange_speed_hz = 100000;
  const int result = t.write ? mcu_write(&link, t.command, t.payload, t.len, t.delay_ms, t.retries)
                             : mcu_read(&link, t.command, out, t.len, t.delay_ms, t.retries);
  FUZZ_REQUIRE(result == 0 || result == 1, "result is 0 or 1");

  if (t.len > 254) {
    FUZZ_REQUIRE(result == 1 && bus.log.empty(), "a length past 254 is refused unsent");
    return 0;
  }
  unsigned attempts = 0;
  const Exchange* phase = nullptr;
  const bool success = walk(t, &attempts, &phase);
  FUZZ_REQUIRE(result == (success ? 0 : 1), "succeeds exactly when an attempt qualified");
  if (!success) FUZZ_REQUIRE(attempts == t.retries + 1, "a failure uses every attempt");
  const size_t copied = success && !t.write ? t.len : 0;
  if (copied) FUZZ_REQUIRE(memcmp(out, phase->rx.data(), copied) == 0, "out holds the data");
  for (size_t k = copied; k < sizeof out; ++k)
    FUZZ_REQUIRE(out[k] == 0xA5, "nothing else of out is touched");
  return 0;
}

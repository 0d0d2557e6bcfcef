// mcuflash's KBoot link against arbitrary bootloader replies. The first two
// input bytes choose the set-up: byte 0 the millisecond clock (bits 0-1: how
// far it moves per exchange; bits 2-3: where it starts, some just below the
// 32-bit limits) and what the device does once the replies run out (bit 4
// set: it fails every further exchange; clear: the bootloader clocks only
// filler 00); byte 1 the image size, 1 to 128 bytes (up to four data
// packets). The rest is what the bootloader clocks out, byte by byte, also
// while the host sends a packet. A stand-in for ioctl() takes the exchanges
// and moves the clock, so a poll that waits 10 s costs no real time.
//
// The host talks as flash_firmware does after its wake-up: ping, the two
// flash-range properties, erase all unsecure, write memory with the data
// phase, execute; it stops at the first step that fails, or when the image
// lies outside a flash range the bootloader gave. The exchanges are then walked as the link defines them,
// from what the host sent and what it was fed: the framing and CRC-16 of
// every packet, the image bytes in order in data packets of up to 32 bytes,
// polls of single bytes (echoing for the ping, 00 otherwise), each ACK from
// the host 5A A1 and six 00, a get-property response read as its header
// and its payload in one exchange each. The walk decides, independently of the link,
// how the run must end: ok only when every packet was acknowledged and every
// generic response had a matching CRC and status 0; else the first missing
// ACK, bad CRC, error status, failed exchange, or a poll that saw nothing but
// filler for 10 s of the clock. Nothing may be sent after that end.
#include <errno.h>
#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "check.h"
#include "flash_run.h"
#include "kboot_reference.h"

namespace {

using kboot_reference::Bytes;

constexpr int FD = 3;
constexpr uint8_t FILLER = 0x00;
constexpr int64_t POLL_BOUND_MS = 10000;
constexpr int64_t STEP_MS[4] = {100, 1000, 2500, 10000};
// At 100 ms per exchange, two origins put the 32-bit limits inside the
// erase command's ACK poll.
constexpr int64_t ORIGIN_MS[4] = {0, 0x80000000 - 1450, 0x100000000 - 1450, int64_t{1} << 40};
constexpr uint32_t JUMP = 0x43D, ARGUMENT = 0, STACK = 0x20012000;

struct Exchange {
  Bytes tx, rx;
  bool failed;
  int64_t ms_before, ms_after;
};

// The bootloader side of the bus for one input.
struct Bootloader {
  const uint8_t* replies;
  size_t left;
  bool fail_when_done;
  int64_t now_ms, step_ms;
  size_t max_exchanges;
  std::vector<Exchange> log;
} boot;

void fake_clock(timespec* now) {
  now->tv_sec = static_cast<time_t>(boot.now_ms / 1000);
  now->tv_nsec = static_cast<long>(boot.now_ms % 1000 * 1000000);
}

}  // namespace

// One exchange on the device.
extern "C" int ioctl(int, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  spi_ioc_transfer* t = va_arg(args, spi_ioc_transfer*);
  va_end(args);
  FUZZ_REQUIRE(request == SPI_IOC_MESSAGE(1), "only single exchanges");
  FUZZ_REQUIRE(t->speed_hz == 400000 && t->bits_per_word == 8 && t->delay_usecs == 0 &&
                   t->cs_change == 0 && t->tx_nbits == 0 && t->rx_nbits == 0 &&
                   t->word_delay_usecs == 0 && t->pad == 0 && t->tx_buf && t->rx_buf,
               "full duplex at 400 kHz, 8 bits, every other field 0");
  FUZZ_REQUIRE(t->len >= 1 && t->len <= 38, "exchange of 1 to 38 bytes");
  FUZZ_REQUIRE(boot.log.size() < boot.max_exchanges, "every poll gives up in time");
  const uint8_t* tx = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(t->tx_buf));
  uint8_t* rx = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(t->rx_buf));
  Exchange e{Bytes(tx, tx + t->len), Bytes(t->len, FILLER), false, boot.now_ms, 0};
  if (boot.fail_when_done && boot.left < t->len) {
    e.failed = true;
    boot.left = 0;
  } else {
    for (size_t k = 0; k < t->len && boot.left > 0; ++k, --boot.left) e.rx[k] = *boot.replies++;
    memcpy(rx, e.rx.data(), t->len);
  }
  boot.now_ms += boot.step_ms;
  e.ms_after = boot.now_ms;
  boot.log.push_back(e);
  if (e.failed) errno = EIO;
  return e.failed ? -1 : static_cast<int>(t->len);
}

namespace {

// Walks the recorded exchanges as the link must have made them. Each step
// returns false when the conversation ended there, with `expect` saying how.
struct Walk {
  size_t i = 0;
  kboot_result expect;
  bool outside = false;  // the image lies outside the flash range given

  const Exchange& next(size_t len, const char* what) {
    FUZZ_REQUIRE(i < boot.log.size(), what);
    FUZZ_REQUIRE(boot.log[i].tx.size() == len, what);
    return boot.log[i++];
  }
  bool ended(const Exchange& e) {
    if (e.failed) {
      expect.status = kboot_status::exchange_failed;
      expect.value = EIO;
    }
    return e.failed;
  }
  bool send(const Bytes& packet, const char* what, uint8_t* first_back = nullptr) {
    const Exchange& e = next(packet.size(), what);
    FUZZ_REQUIRE(e.tx == packet, what);
    if (first_back) *first_back = e.rx[0];
    return !ended(e);
  }
  bool read(uint8_t* byte) {
    const Exchange& e = next(1, "a byte read");
    FUZZ_REQUIRE(e.tx[0] == 0x00, "a byte read with 00");
    *byte = e.rx[0];
    return !ended(e);
  }
  bool poll(bool echo, uint8_t first, const char* awaited) {
    FUZZ_REQUIRE(i < boot.log.size(), awaited);
    const int64_t start = boot.log[i].ms_before;
    uint8_t last = first;
    for (;;) {
      const Exchange& e = next(1, "a poll byte");
      FUZZ_REQUIRE(e.tx[0] == (echo ? last : 0x00), "a poll echoes (ping) or sends 00");
      if (ended(e)) return false;
      last = e.rx[0];
      if (last == 0x5A) return true;
      if (e.ms_after - start >= POLL_BOUND_MS) {
        expect.status = kboot_status::no_answer;
        expect.awaited = awaited;
        return false;
      }
    }
  }
  bool ack() {
    uint8_t type = 0;
    if (!poll(false, 0, "ack") || !read(&type)) return false;
    if (type == 0xA1) return true;
    expect.status = kboot_status::no_ack;
    expect.value = type;
    return false;
  }
  bool response() {
    Bytes r(18, 0x5A);
    if (!poll(false, 0, "generic response")) return false;
    for (size_t k = 1; k < r.size(); ++k)
      if (!read(&r[k])) return false;
    if (!send({0x5A, 0xA1}, "ACK for the response")) return false;
    for (int k = 0; k < 6; ++k) {
      uint8_t ignored;
      if (!read(&ignored)) return false;
    }
    Bytes covered = r;  // every byte but the CRC's own two
    covered.erase(covered.begin() + 4, covered.begin() + 6);
    const uint16_t calculated = kboot_reference::crc16(covered);
    const uint16_t received = static_cast<uint16_t>(r[4] | r[5] << 8);
    const uint32_t status = r[10] | r[11] << 8 | r[12] << 16 | static_cast<uint32_t>(r[13]) << 24;
    if (calculated != received) {
      expect.status = kboot_status::bad_crc;
      expect.crc_calculated = calculated;
      expect.crc_received = received;
    } else if (status != 0) {
      expect.status = kboot_status::error_status;
      expect.value = status;
    }
    return calculated == received && status == 0;
  }
  // A get-property response: header and payload in one exchange each, then
  // the host's ACK. A refused property leaves *known false.
  bool property(uint32_t tag, bool* known, uint32_t* value) {
    const char* awaited = "get-property response";
    if (!send(kboot_reference::command(0x07, 0x00, {tag, 0}), "get property") || !ack() ||
        !poll(false, 0, awaited))
      return false;
    Bytes r = {0x5A};
    if (!block(5, &r)) return false;
    const size_t length = r[2] | r[3] << 8;
    if (r[1] != 0xA4 || length < 4 || length > 32) return unexpected(awaited, r[1]);
    if (!block(length, &r)) return false;
    if (!send({0x5A, 0xA1}, "ACK for the response")) return false;
    for (int k = 0; k < 6; ++k) {
      uint8_t ignored;
      if (!read(&ignored)) return false;
    }
    Bytes covered = r;
    covered.erase(covered.begin() + 4, covered.begin() + 6);
    const uint16_t calculated = kboot_reference::crc16(covered);
    const uint16_t received = static_cast<uint16_t>(r[4] | r[5] << 8);
    if (calculated != received) {
      expect.status = kboot_status::bad_crc;
      expect.crc_calculated = calculated;
      expect.crc_received = received;
      return false;
    }
    const size_t count = r[9];
    if (r[6] != 0xA7 || count < 1 || 4 + 4 * count > length) return unexpected(awaited, r[6]);
    *known = (r[10] | r[11] | r[12] | r[13]) == 0;
    if (!*known) return true;
    if (count < 2) return unexpected(awaited, r[6]);
    *value = r[14] | r[15] << 8 | r[16] << 16 | static_cast<uint32_t>(r[17]) << 24;
    return true;
  }
  bool block(size_t length, Bytes* into) {
    const Exchange& e = next(length, "a block read");
    FUZZ_REQUIRE(e.tx == Bytes(length, 0x00), "a block read with 00");
    into->insert(into->end(), e.rx.begin(), e.rx.end());
    return !ended(e);
  }
  bool unexpected(const char* awaited, uint8_t what) {
    expect.status = kboot_status::bad_packet;
    expect.awaited = awaited;
    expect.value = what;
    return false;
  }
  bool command(const Bytes& packet, const char* what) {
    return send(packet, what) && ack() && response();
  }
  bool conversation(const Bytes& image) {
    uint8_t echo = 0;
    if (!send({0x5A, 0xA6}, "ping", &echo) || !poll(true, echo, "ping response")) return false;
    for (int k = 0; k < 9; ++k) {
      uint8_t ignored;
      if (!read(&ignored)) return false;
    }
    bool start_known = true, size_known = true;
    uint32_t flash_start = 0, flash_size = 0;
    if (!property(3, &start_known, &flash_start) || !property(4, &size_known, &flash_size))
      return false;
    if (start_known && size_known &&
        (flash_start > 0 || image.size() > uint64_t{flash_start} + flash_size)) {
      outside = true;
      return false;
    }
    using kboot_reference::command;
    const uint32_t size = static_cast<uint32_t>(image.size());
    if (!this->command(command(0x0D, 0xCC, {}), "erase all unsecure") ||
        !this->command(command(0x04, 0x00, {0, size}), "write memory"))
      return false;
    for (size_t at = 0; at < image.size(); at += 32) {
      const Bytes chunk(image.begin() + at, image.begin() + std::min(at + 32, image.size()));
      if (!send(kboot_reference::framed(0xA5, chunk), "data packet") || !ack()) return false;
    }
    return response() && this->command(command(0x09, 0x00, {JUMP, ARGUMENT, STACK}), "execute");
  }
};

// What mcuflash prints meanwhile (file size, spinner) goes to /dev/null.
struct QuietStdout {
  int saved;
  QuietStdout() {
    fflush(stdout);
    saved = dup(STDOUT_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    close(null);
  }
  ~QuietStdout() {
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
  }
};

kboot_result talk(const Bytes& bytes, flash_check* check) {
  QuietStdout quiet;
  spidev_device device{};
  device.path = "/dev/spidev0.0";
  device.fd = FD;
  device.exchange_speed_hz = 400000;
  device.exchange_bits = 8;
  const kboot_link link = {&device, false, fake_clock};
  flash_image image;
  image.path = "image.bin";
  image_layout layout;
  layout.count = 1;
  layout.runs[0] = {0, static_cast<uint32_t>(bytes.size()), bytes.data()};
  const flash_job job = {&image, &layout, false, nullptr};
  const kboot_result pinged = kboot_ping(&link);
  return pinged.status == kboot_status::ok ? flash_talk(&link, &job, check) : pinged;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  boot.step_ms = STEP_MS[data[0] & 3];
  boot.now_ms = ORIGIN_MS[(data[0] >> 2) & 3];
  boot.fail_when_done = data[0] & 0x10;
  Bytes image(1 + (data[1] & 127));
  for (size_t k = 0; k < image.size(); ++k) image[k] = static_cast<uint8_t>(k * 13 + data[1]);
  boot.replies = data + 2;
  boot.left = size - 2;
  // Once the replies run out, one poll's worth of filler ends any run.
  boot.max_exchanges = size + 2 * (POLL_BOUND_MS / STEP_MS[0]) + 100;
  boot.log.clear();

  flash_check check;
  const kboot_result got = talk(image, &check);

  Walk walk;
  walk.conversation(image);
  FUZZ_REQUIRE(walk.i == boot.log.size(), "nothing is sent after the run ends");
  const kboot_result& want = walk.expect;
  FUZZ_REQUIRE(got.status == want.status, "the run ends as the replies say");
  FUZZ_REQUIRE((check.verdict == flash_verdict::outside_flash) == walk.outside,
               "an image outside the flash range given is refused before the erase");
  switch (want.status) {
    case kboot_status::exchange_failed:
      FUZZ_REQUIRE(got.value == want.value, "the driver's error");
      break;
    case kboot_status::no_answer:
      FUZZ_REQUIRE(strcmp(got.awaited, want.awaited) == 0, "names the packet awaited");
      break;
    case kboot_status::bad_packet:
      FUZZ_REQUIRE(strcmp(got.awaited, want.awaited) == 0 && got.value == want.value,
                   "names the packet awaited and what came");
      break;
    case kboot_status::no_ack:
    case kboot_status::error_status:
      FUZZ_REQUIRE(got.value == want.value, "the byte or status received");
      break;
    case kboot_status::bad_crc:
      FUZZ_REQUIRE(got.crc_calculated == want.crc_calculated &&
                       got.crc_received == want.crc_received,
                   "both CRCs");
      break;
    default:
      break;
  }
  return 0;
}

#include "kboot_link.h"

#include "spidev.h"

#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

int verbose = 0;
uint32_t spi_mode = 0;
uint8_t spi_bits_per_word = 8;
uint32_t spi_max_speed_hz = 400000;

namespace {

// spidev mode bits that decide the line count and direction of a transfer.
constexpr uint32_t MODE_LOOP = 0x20;
constexpr uint32_t MODE_TX_DUAL = 0x100;
constexpr uint32_t MODE_TX_QUAD = 0x200;
constexpr uint32_t MODE_RX_DUAL = 0x400;
constexpr uint32_t MODE_RX_QUAD = 0x800;

// Milliseconds of the monotonic clock, in 64 bits: `long` is 32 bits on the
// board and would overflow after some weeks of uptime.
int64_t monotonic_ms(void) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

uint8_t exchange_byte(int fd, uint8_t out) {
  uint8_t in = 0;
  spi_exchange(fd, &out, &in, 1);
  return in;
}

enum class PollKind { ping, ack, generic_response };

// Clocks single bytes until the bootloader answers the start byte 0x5A.
// Everything before it is filler. The ping poll sends back the byte it
// received last (starting with `first`); the others send 0x00. Gives up
// after KBOOT_POLL_TIMEOUT_MS, naming what it waited for.
void poll_for_start(int fd, PollKind kind, uint8_t first, const char* awaited) {
  const int64_t start = monotonic_ms();
  uint8_t last = first;
  for (;;) {
    const uint8_t out = kind == PollKind::ping ? last : 0x00;
    last = exchange_byte(fd, out);
    if (last == KBOOT_START_BYTE) return;
    if (last != 0x00) {
      verbose_printf("Skipping non-zero packet to sync\n");
    } else if (kind == PollKind::generic_response) {
      verbose_printf("Skipping 0x00 packet\n");
    }
    if (monotonic_ms() - start >= KBOOT_POLL_TIMEOUT_MS) {
      printf("No answer from KBoot while waiting for %s\n", awaited);
      flash_exit(1);
    }
  }
}

}  // namespace

void flash_exit(int status) {
  fflush(stdout);
  exit(status);
}

void verbose_printf(const char* format, ...) {
  if (!verbose) return;
  va_list args;
  va_start(args, format);
  vprintf(format, args);
  va_end(args);
}

void trace_dump(const uint8_t* bytes, size_t length, size_t row_width, const char* label) {
  if (!verbose) return;
  if (row_width == 0) row_width = length;
  verbose_printf("%s | ", label);
  size_t in_row = 0;
  for (size_t i = 0; i < length; ++i) {
    verbose_printf("%02X ", bytes[i]);
    ++in_row;
    if (in_row == row_width || i + 1 == length) {
      for (; in_row < row_width; ++in_row) verbose_printf("__ ");
      verbose_printf(" | \n");
      in_row = 0;
      if (i + 1 < length) verbose_printf("%s | ", label);
    }
  }
  if (length == 0) verbose_printf(" | \n");
}

int spi_setup(void) {
  const int fd = spidev_open();
  spidev_settings settings = {spi_mode, spi_bits_per_word, spi_max_speed_hz};
  spidev_configure(fd, &settings);
  spi_mode = settings.mode;
  spi_bits_per_word = settings.bits_per_word;
  spi_max_speed_hz = settings.max_speed_hz;
  verbose_printf("spi mode: 0x%x\n", static_cast<unsigned>(spi_mode));
  verbose_printf("bits per word: %d\n", static_cast<int>(spi_bits_per_word));
  verbose_printf("max speed: %d Hz (%d KHz)\n", static_cast<int>(spi_max_speed_hz),
                 static_cast<int>(spi_max_speed_hz / 1000));
  return fd;
}

int spi_exchange(int fd, const uint8_t* tx, uint8_t* rx, uint32_t length) {
  spi_ioc_transfer transfer{};
  transfer.tx_buf = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(tx));
  transfer.rx_buf = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(rx));
  transfer.len = length;
  transfer.speed_hz = spi_max_speed_hz;
  transfer.delay_usecs = 0;
  transfer.bits_per_word = spi_bits_per_word;
  transfer.cs_change = 0;
  transfer.tx_nbits = (spi_mode & MODE_TX_QUAD) ? 4 : (spi_mode & MODE_TX_DUAL) ? 2 : 0;
  transfer.rx_nbits = (spi_mode & MODE_RX_QUAD) ? 4 : (spi_mode & MODE_RX_DUAL) ? 2 : 0;
  // word_delay_usecs and pad stay 0.
  if (!(spi_mode & MODE_LOOP)) {
    if (spi_mode & (MODE_TX_DUAL | MODE_TX_QUAD)) {
      transfer.rx_buf = 0;
    } else if (spi_mode & (MODE_RX_DUAL | MODE_RX_QUAD)) {
      transfer.tx_buf = 0;
    }
  }
  const int result = ioctl(fd, SPI_IOC_MESSAGE(1), &transfer);
  if (result < 1) abort_with_error("can't send spi message");
  return result;
}

uint16_t kboot_crc16_update(uint16_t crc, const uint8_t* bytes, size_t length) {
  uint32_t value = crc;
  for (size_t i = 0; i < length; ++i) {
    value ^= static_cast<uint32_t>(bytes[i]) << 8;
    for (int bit = 0; bit < 8; ++bit) {
      value = (value & 0x8000) ? (value << 1) ^ 0x1021 : value << 1;
    }
    value &= 0xFFFF;
  }
  return static_cast<uint16_t>(value);
}

uint16_t kboot_crc16(const uint8_t* bytes, size_t length) {
  return kboot_crc16_update(0, bytes, length);
}

void put_u16_le(uint8_t* destination, uint16_t value) {
  destination[0] = static_cast<uint8_t>(value & 0xFF);
  destination[1] = static_cast<uint8_t>(value >> 8);
}

void put_u32_le(uint8_t* destination, uint32_t value) {
  destination[0] = static_cast<uint8_t>(value & 0xFF);
  destination[1] = static_cast<uint8_t>((value >> 8) & 0xFF);
  destination[2] = static_cast<uint8_t>((value >> 16) & 0xFF);
  destination[3] = static_cast<uint8_t>(value >> 24);
}

uint16_t get_u16_le(const uint8_t* source) {
  return static_cast<uint16_t>(source[0] | (source[1] << 8));
}

uint32_t get_u32_le(const uint8_t* source) {
  return static_cast<uint32_t>(source[0]) | (static_cast<uint32_t>(source[1]) << 8) |
         (static_cast<uint32_t>(source[2]) << 16) | (static_cast<uint32_t>(source[3]) << 24);
}

size_t kboot_frame(uint8_t* packet, uint8_t type, uint16_t payload_length) {
  packet[0] = KBOOT_START_BYTE;
  packet[1] = type;
  put_u16_le(packet + 2, payload_length);
  // The CRC covers the first four bytes and the payload, not itself.
  uint16_t crc = kboot_crc16(packet, 4);
  crc = kboot_crc16_update(crc, packet + KBOOT_HEADER_SIZE, payload_length);
  put_u16_le(packet + 4, crc);
  return KBOOT_HEADER_SIZE + payload_length;
}

void kboot_ping(int fd) {
  const uint8_t ping[2] = {KBOOT_START_BYTE, KBOOT_PACKET_PING};
  uint8_t echo[2] = {0, 0};
  spi_exchange(fd, ping, echo, sizeof ping);
  poll_for_start(fd, PollKind::ping, echo[0], "ping response");
  verbose_printf("Got magic packet\n");
  uint8_t response[KBOOT_PING_RESPONSE_SIZE] = {KBOOT_START_BYTE};
  for (size_t i = 1; i < sizeof response; ++i) response[i] = exchange_byte(fd, 0x00);
  trace_dump(response, sizeof response, sizeof response, "Ping response");
}

void kboot_send_ack(int fd) {
  verbose_printf("Send ack\n");
  const uint8_t ack[2] = {KBOOT_START_BYTE, KBOOT_PACKET_ACK};
  uint8_t ignored[2];
  spi_exchange(fd, ack, ignored, sizeof ack);
  for (int i = 0; i < 6; ++i) exchange_byte(fd, 0x00);
}

void kboot_wait_ack(int fd) {
  poll_for_start(fd, PollKind::ack, 0x00, "ack");
  const uint8_t type = exchange_byte(fd, 0x00);
  if (type != KBOOT_PACKET_ACK) {
    printf("No ack received: %02x\n", type);
    flash_exit(1);
  }
  verbose_printf("Got ack\n");
}

void kboot_read_generic_response(int fd) {
  poll_for_start(fd, PollKind::generic_response, 0x00, "generic response");
  verbose_printf("Got magic packet\n");
  uint8_t response[KBOOT_GENERIC_RESPONSE_SIZE] = {KBOOT_START_BYTE};
  for (size_t i = 1; i < sizeof response; ++i) response[i] = exchange_byte(fd, 0x00);
  trace_dump(response, sizeof response, sizeof response, "Generic response");
  kboot_send_ack(fd);

  // The CRC covers every byte but its own two.
  uint16_t calculated = kboot_crc16(response, 4);
  calculated = kboot_crc16_update(calculated, response + 6, sizeof response - 6);
  const uint16_t received = get_u16_le(response + 4);
  if (calculated != received) {
    printf("Wrong crc checksum:\n");
    printf("crc calc: %u 0x%04x\n", static_cast<unsigned>(calculated),
           static_cast<unsigned>(calculated));
    printf("crc recv: %u 0x%04x\n", static_cast<unsigned>(received),
           static_cast<unsigned>(received));
    flash_exit(1);
  }
  const uint32_t status = get_u32_le(response + 10);
  if (status != 0) {
    printf("Generic message error: %u 0x%04x\n", static_cast<unsigned>(status),
           static_cast<unsigned>(status));
    flash_exit(1);
  }
}

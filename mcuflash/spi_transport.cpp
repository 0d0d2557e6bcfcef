#include "spi_transport.h"

#include <linux/spi/spidev.h>
#include <stdarg.h>
#include <stdio.h>
#include <sys/ioctl.h>

#include "spidev.h"

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

}  // namespace

void verbose_printf(const char* format, ...) {
  if (!verbose) return;
  va_list args;
  va_start(args, format);
  vprintf(format, args);
  va_end(args);
}

void trace_dump(const uint8_t* bytes, size_t length, size_t row_width, const char* label) {
  if (!verbose) return;
  if (row_width == 0 || length == 0) row_width = length;
  // "XX " for each byte, "__ " where the last row runs out of bytes.
  size_t i = 0;
  do {
    printf("%s | ", label);
    for (size_t column = 0; column < row_width; ++column, ++i) {
      if (i < length) {
        printf("%02X ", bytes[i]);
      } else {
        fputs("__ ", stdout);
      }
    }
    fputs(" | \n", stdout);
  } while (i < length);
}

void spi_configure(int fd) {
  spidev_settings settings = {spi_mode, spi_bits_per_word, spi_max_speed_hz};
  spidev_configure(fd, &settings);
  spi_mode = settings.mode;
  spi_bits_per_word = settings.bits_per_word;
  spi_max_speed_hz = settings.max_speed_hz;
  verbose_printf("spi mode: 0x%x\n", static_cast<unsigned>(spi_mode));
  verbose_printf("bits per word: %d\n", static_cast<int>(spi_bits_per_word));
  verbose_printf("max speed: %d Hz (%d KHz)\n", static_cast<int>(spi_max_speed_hz),
                 static_cast<int>(spi_max_speed_hz / 1000));
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
  return ioctl(fd, SPI_IOC_MESSAGE(1), &transfer);
}

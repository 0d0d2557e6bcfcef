// The board's record files, one text line per record:
//
//   <dir>/spi.log    SPI exchanges, configuration ioctls and bootloader notes
//     X <t_first> <t_last> <count> <flags> <speed_hz> <delay_usecs>
//       <bits_per_word> <cs_change> <tx_nbits> <rx_nbits> <tx> <rx>
//         one run of identical consecutive exchanges; times are
//         CLOCK_MONOTONIC nanoseconds and t_first, t_last and count are
//         zero-padded to 20 digits so the pending run can be updated in place;
//         flags: 't' or '-' (tx_buf given), 'r' or '-' (rx_buf given), 'F' or
//         '-' (the ioctl failed); tx and rx are lower-case hex, "." when empty
//         (tx is what reached the MCU, zeros when tx_buf was null; rx is what
//         the MCU clocked out, also when rx_buf was null)
//     C <t> <name> <value> ok|fail      a configuration ioctl
//     N <t> <text>                      a bootloader note (host protocol fault)
//   <dir>/gpio.log   one line per write() to a sysfs GPIO file
//     G <t> <path> <hex bytes or "."> ok|<errno name>
//   <dir>/datagrams  one line per captured datagram
//     D <t> <address>:<port> <hex bytes or ".">
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "boardsim/board.h"

namespace boardsim {

uint64_t monotonic_ns();

std::string to_hex(const uint8_t* data, size_t len);  // "." when len is 0
bool from_hex(const std::string& text, std::vector<uint8_t>* out);

// The descriptor fields of one exchange that a run must share.
struct TransferFields {
  uint32_t speed_hz = 0;
  uint16_t delay_usecs = 0;
  uint8_t bits_per_word = 0;
  uint8_t cs_change = 0;
  uint8_t tx_nbits = 0;
  uint8_t rx_nbits = 0;
  bool has_tx = true;
  bool has_rx = true;
  bool failed = false;
  bool operator==(const TransferFields&) const = default;
};

// Writer of spi.log. The pending run is written as soon as it starts and its
// count and last time are rewritten in place every 4096 repeats, after 50 ms,
// and on flush(), so a process that dies loses at most the latest repeats.
class ExchangeLog {
 public:
  ExchangeLog() = default;
  ExchangeLog(const ExchangeLog&) = delete;
  ExchangeLog& operator=(const ExchangeLog&) = delete;
  ~ExchangeLog() { close(); }

  bool open(const std::string& path);
  void close();  // flushes the pending run
  bool is_open() const { return fd_ >= 0; }

  void exchange(uint64_t t, const TransferFields& f, const uint8_t* tx, const uint8_t* rx,
                size_t len);
  void config(uint64_t t, const char* name, uint32_t value, bool failed);
  void note(uint64_t t, const std::string& text);

  void flush();  // brings the pending run's record up to date
  void end_run();  // flush, then the next exchange starts a new record
  void forget();   // drop the pending run without writing (file truncated)

 private:
  void append(const std::string& line);
  int fd_ = -1;
  int update_fd_ = -1;
  bool pending_ = false;
  TransferFields fields_;
  std::vector<uint8_t> tx_, rx_;
  uint64_t t_first_ = 0, t_last_ = 0, count_ = 0;
  size_t record_len_ = 0;  // of the pending run's record, the file's last line
  uint64_t written_count_ = 0, written_t_ = 0;
};

// Appends one line to a file (open, write, close).
void append_line(const std::string& path, const std::string& line);

// Parsers, for the test kit and the launcher.
std::vector<Exchange> parse_spi_log(const std::string& text);
std::vector<SpiConfig> parse_spi_config(const std::string& text);
std::vector<std::pair<uint64_t, std::string>> parse_notes(const std::string& text);
std::vector<GpioWrite> parse_gpio_log(const std::string& text);
struct Datagram {
  uint64_t t_ns = 0;
  std::string to;
  std::vector<uint8_t> bytes;
};
std::vector<Datagram> parse_datagrams(const std::string& text);

std::string read_file(const std::string& path);

}  // namespace boardsim

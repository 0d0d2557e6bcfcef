// The board's record files, one text line per record; every record names
// the process that made it (pid). Several processes may write at once: each
// record is one write() to a descriptor opened with O_APPEND, and spi.log is
// written under the board lock (shared.h).
//
//   <dir>/spi.log    SPI exchanges, configuration ioctls, bootloader notes
//                    and collisions
//     X <t_first> <t_last> <count> <pid> <flags> <speed_hz> <delay_usecs>
//       <bits_per_word> <cs_change> <tx_nbits> <rx_nbits> <tx> <rx>
//         one run of identical consecutive exchanges of one process; times
//         are CLOCK_MONOTONIC nanoseconds and t_first, t_last and count are
//         zero-padded to 20 digits so the pending run can be updated in place;
//         a run is only extended while its record is the file's last one, so
//         a record of another process in between starts a new run;
//         flags: 't' or '-' (tx_buf given), 'r' or '-' (rx_buf given), 'F' or
//         '-' (the ioctl failed); tx and rx are lower-case hex, "." when empty
//         (tx is what the process sent, zeros when tx_buf was null; rx is
//         what it received, also when rx_buf was null)
//     C <t> <pid> <name> <value> ok|fail   a configuration ioctl
//     N <t> <pid> <text>                   a bootloader note (host protocol fault)
//     K <t> <pid> <owner pid> firmware|bootloader
//         a collision: the process exchanged inside the open transaction of
//         the owner (see include/boardsim/board.h)
//   <dir>/gpio.log   one line per write() to a sysfs GPIO file
//     G <t> <pid> <path> <hex bytes or "."> ok|<errno name>
//   <dir>/datagrams  one line per captured datagram
//     D <t> <pid> <address>:<port> <hex bytes or ".">
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "boardsim/board.h"
#include "shared.h"

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

// Writer of spi.log for one process. The pending run is written as soon as
// it starts and its count and last time are rewritten in place (at the
// record's own offset) every 4096 repeats, after 50 ms, and on flush(), so a
// process that dies loses at most the latest repeats. Every write happens
// under the board lock.
class ExchangeLog {
 public:
  ExchangeLog() = default;
  ExchangeLog(const ExchangeLog&) = delete;
  ExchangeLog& operator=(const ExchangeLog&) = delete;
  ~ExchangeLog() { close(); }

  bool open(const std::string& path, BoardLock* lock);
  void set_pid(long pid) { pid_ = pid; }
  void close();  // flushes the pending run
  bool is_open() const { return fd_ >= 0; }

  void exchange(uint64_t t, const TransferFields& f, const uint8_t* tx, const uint8_t* rx,
                size_t len);
  void config(uint64_t t, const char* name, uint32_t value, bool failed);
  void note(uint64_t t, const std::string& text);
  void collision(uint64_t t, long owner, const char* program);

  void flush();  // brings the pending run's record up to date
  void end_run();  // flush, then the next exchange starts a new record
  void forget();   // drop the pending run without writing (file truncated)

 private:
  void append(const std::string& line);
  bool still_last() const;  // the pending run's record ends the file
  int fd_ = -1;
  int update_fd_ = -1;
  BoardLock* lock_ = nullptr;
  long pid_ = 0;
  bool pending_ = false;
  TransferFields fields_;
  std::vector<uint8_t> tx_, rx_;
  uint64_t t_first_ = 0, t_last_ = 0, count_ = 0;
  uint64_t record_at_ = 0, record_end_ = 0;  // the pending run's record in the file
  uint64_t epoch_ = 0;                       // of the file it was written to
  uint64_t written_count_ = 0, written_t_ = 0;
};

// Appends one line to a file (open, one write with O_APPEND, close).
void append_line(const std::string& path, const std::string& line);

// Parsers, for the test kit and the launcher.
std::vector<Exchange> parse_spi_log(const std::string& text);
std::vector<SpiConfig> parse_spi_config(const std::string& text);
std::vector<Note> parse_notes(const std::string& text);
std::vector<Collision> parse_collisions(const std::string& text);
std::vector<GpioWrite> parse_gpio_log(const std::string& text);
std::vector<Datagram> parse_datagrams(const std::string& text);

std::string read_file(const std::string& path);

}  // namespace boardsim

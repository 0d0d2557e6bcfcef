// The MCU firmware's side of unitctl's frame link and command set.
// Reads its data and faults from the board state and records there what the
// host told it (see include/boardsim/board.h for the keys).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "spi_peer.h"
#include "state.h"

namespace boardsim {

class McuFirmware : public SpiPeer {
 public:
  explicit McuFirmware(State& state) : state_(state) {}
  void exchange(const uint8_t* tx, uint8_t* rx, size_t len) override;
  void save(std::string* out) const override;
  bool restore(const std::string& in) override;
  // True while a host transaction is open: from its command word to the end
  // of its data phase or acknowledgement, resynchronisation included.
  bool in_transaction() const { return phase_ != Phase::ready || word_refused_; }
  // The MCU restarts: the link forgets any command in progress and is
  // ready for a command word.
  void reset();

 private:
  // What the MCU expects of the next frame.
  enum class Phase : uint8_t {
    ready,       // a command word
    resync,      // after phase 1 of a resynchronisation: FF FF or a command word
    read_data,   // the data phase of a read command: reply_ goes out
    write_data,  // the payload of a write command and its CRC-8
    write_ack,   // the host's FF FF; the acknowledgement goes out
  };

  void frame(const uint8_t* tx, uint8_t* rx, size_t len);
  void command_word(uint8_t code, uint8_t arg);
  void read_reply(uint8_t code);
  void write_payload(const uint8_t* tx, size_t len);

  State& state_;
  Phase phase_ = Phase::ready;
  bool last_was_resync_byte_ = false;  // the previous frame was one byte long
  long long marker_delay_ = 0;         // zero bytes still due before 0x69 (<0: forever)
  uint8_t command_ = 0;
  uint8_t reply_[24] = {};  // data bytes of a read, CRC-8 not included
  size_t reply_len_ = 0;
  size_t write_len_ = 0;     // payload length of a write command
  bool write_ok_ = false;    // the payload arrived whole and was accepted
  bool word_refused_ = false;  // the last command word was answered 00 00
};

}  // namespace boardsim

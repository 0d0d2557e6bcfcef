// The MCU's KBoot ROM bootloader as mcuflash drives it over SPI: ping,
// ACK handling, erase all unsecure, write memory with its data phase,
// execute. Checks every packet the host sends and keeps the written bytes
// in Flash. Reads its faults from the board state (include/boardsim/board.h).
#pragma once

#include <string>

#include "flash.h"
#include "spi_peer.h"
#include "state.h"

namespace boardsim {

class KbootRom : public SpiPeer {
 public:
  KbootRom(State& state, Flash& flash) : state_(state), flash_(flash) {}
  void exchange(const uint8_t* tx, uint8_t* rx, size_t len) override;
  // Protocol faults committed by the host, one line each (also counted in
  // the state key kb.violations).
  // note_ is called for each; the owner may route it to the log.
  void set_note(void (*note)(const std::string& line)) { note_ = note; }

 private:
  State& state_;
  Flash& flash_;
  void (*note_)(const std::string&) = nullptr;
  // protocol state machine fields: implementation's choice
};

}  // namespace boardsim

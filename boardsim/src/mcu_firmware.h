// The MCU firmware's side of unitctl's frame link and command set.
// Reads its data and faults from the board state and records there what the
// host told it (see include/boardsim/board.h for the keys).
#pragma once

#include "spi_peer.h"
#include "state.h"

namespace boardsim {

class McuFirmware : public SpiPeer {
 public:
  explicit McuFirmware(State& state) : state_(state) {}
  void exchange(const uint8_t* tx, uint8_t* rx, size_t len) override;

 private:
  State& state_;
  // link state machine fields: implementation's choice
};

}  // namespace boardsim

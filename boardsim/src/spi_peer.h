// What sits at the other end of the SPI bus: the MCU firmware, its KBoot
// ROM bootloader, or nothing. Each exchange is full duplex: rx[i] is what the
// peer clocks out while tx[i] comes in.
#pragma once

#include <cstddef>
#include <cstdint>

namespace boardsim {

class SpiPeer {
 public:
  virtual ~SpiPeer() = default;
  virtual void exchange(const uint8_t* tx, uint8_t* rx, size_t len) = 0;
};

}  // namespace boardsim

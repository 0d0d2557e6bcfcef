// What sits at the other end of the SPI bus: the MCU firmware, its KBoot
// ROM bootloader, or nothing. Each exchange is full duplex: rx[i] is what the
// peer clocks out while tx[i] comes in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace boardsim {

class SpiPeer {
 public:
  virtual ~SpiPeer() = default;
  virtual void exchange(const uint8_t* tx, uint8_t* rx, size_t len) = 0;
  // The peer's in-flight state as bytes (snapshot.h), and back: another
  // process continues where this one stopped. restore() returns false for
  // bytes it cannot take, and then leaves the peer as after a restart.
  virtual void save(std::string* out) const = 0;
  virtual bool restore(const std::string& in) = 0;
};

}  // namespace boardsim

// The MCU's flash memory as the bootloader writes it, kept in
// <dir>/flash.bin so tests can compare it with the image. The file holds
// the flash from address 0 up to the last byte written; past its end, and
// in the gaps that writes leave, the flash reads as erase all unsecure
// leaves it: 0xFF, except the security byte 0x40C, which reads 0xFE
// (unsecured).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace boardsim {

class Flash {
 public:
  static constexpr uint32_t kSecurityAddress = 0x40C;
  static uint8_t erased(uint32_t address) { return address == kSecurityAddress ? 0xFE : 0xFF; }

  explicit Flash(std::string path) : path_(std::move(path)) {}
  void erase();  // empties the file
  bool write(uint32_t address, const uint8_t* data, size_t len);
  std::vector<uint8_t> read(uint32_t address, size_t len) const;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace boardsim

// The MCU's flash memory as the bootloader writes it, kept in
// <dir>/flash.bin so tests can compare it with the image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace boardsim {

class Flash {
 public:
  explicit Flash(std::string path) : path_(std::move(path)) {}
  void erase();  // empties the file
  bool write(uint32_t address, const uint8_t* data, size_t len);
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace boardsim

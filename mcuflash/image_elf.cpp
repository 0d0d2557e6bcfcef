// ELF: 32-bit little-endian ARM executables. The file bytes of every
// loadable segment go to its physical (load) address; the rest of the file
// is not looked at. Segments may not share file bytes: the pieces handed
// on never add up to more than the file.
#include "image_walk.h"

namespace {

constexpr size_t HEADER_SIZE = 52;
constexpr size_t PROGRAM_HEADER_SIZE = 32;
constexpr uint16_t TYPE_EXECUTABLE = 2;
constexpr uint16_t MACHINE_ARM = 40;
constexpr uint32_t SEGMENT_LOAD = 1;

uint16_t u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t u32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

bool image_walk_elf(const uint8_t* file, size_t size, image_sink* sink) {
  // The magic, class 32-bit (1), data little-endian (1), version 1.
  if (size < HEADER_SIZE || !image_elf_magic(file, size) || file[4] != 1 || file[5] != 1 || file[6] != 1 ||
      u16(file + 16) != TYPE_EXECUTABLE || u16(file + 18) != MACHINE_ARM)
    return image_fail(sink, layout_problem::elf_not_executable, 0);
  const uint32_t table = u32(file + 28);
  const uint32_t entry_size = u16(file + 42);
  const uint32_t entries = u16(file + 44);
  // At most 0xFFFE * 0xFFFF bytes: the table's size fits 32 bits. 0xFFFF
  // entries would mean the count is kept elsewhere: no executable for a
  // small MCU has that many segments.
  const uint32_t table_size = entries * entry_size;
  if (entries == 0xFFFF || (entries > 0 && entry_size < PROGRAM_HEADER_SIZE) ||
      table_size > size || table > size - table_size)
    return image_fail(sink, layout_problem::elf_headers, 0);
  size_t mapped = 0;  // at most twice the file: checked as it grows
  for (uint32_t i = 0; i < entries; ++i) {
    const uint8_t* h = file + table + i * entry_size;
    const uint32_t offset = u32(h + 4);
    const uint32_t address = u32(h + 12);
    const uint32_t length = u32(h + 16);
    if (u32(h) != SEGMENT_LOAD || length == 0) continue;
    if (length > size || offset > size - length)
      return image_fail(sink, layout_problem::elf_segment, i + 1);
    mapped += length;
    if (mapped > size) return image_fail(sink, layout_problem::elf_overlap, i + 1);
    if (!image_fits(address, length)) return image_fail(sink, layout_problem::past_4gib, i + 1);
    if (!sink->take(sink, address, file + offset, length, i + 1)) return false;
  }
  return true;
}

// What a firmware image file holds: an ELF executable, an Intel HEX or
// Motorola S-record text, or raw bytes for address 0, recognised by content.
// The reader turns the file into sorted, disjoint address runs and says why
// it refuses one; it reads the file and nothing else, and prints nothing.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum class image_format : uint8_t { raw, elf, hex, srec };

// Runs closer than this are one run, the gap filled with erased flash.
constexpr uint32_t IMAGE_JOIN_GAP = 64;
constexpr uint8_t IMAGE_FILL_BYTE = 0xFF;
// Each run is one write-memory command; real images have a handful.
constexpr size_t IMAGE_MAX_RUNS = 64;
// The first line of a text image fits in this many bytes.
constexpr size_t IMAGE_PROBE_SIZE = 1024;

// The MCU's flash configuration field, 0x400-0x40F; its byte 0x40C holds
// the security settings.
constexpr uint32_t IMAGE_SECURITY_ADDRESS = 0x40C;

enum class layout_problem : uint8_t {
  none,
  unreadable,         // reading the file failed; `value` is errno
  no_memory,          // the decoded image does not fit in memory
  elf_not_executable, // ELF magic, but not a 32-bit little-endian ARM executable
  elf_headers,        // the program header table lies outside the file
  elf_segment,        // segment `line` lies outside the file
  bad_record,         // line `line` is not a well-formed record
  bad_checksum,       // line `line`: the checksum does not match
  bad_record_type,    // line `line`: a record type the format does not have
  bad_count,          // line `line` states `value` records; `count` came before it
  no_end,             // the file ends without its end record
  after_end,          // line `line` follows the end record
  past_4gib,          // line (or segment) `line` reaches past the 32-bit space
  overlap,            // `address` given twice, as `first` and then `second`
  no_data,            // nothing to write
  too_many_runs,      // more than IMAGE_MAX_RUNS separate address ranges
  locks_mcu,          // byte 0x40C (`value`) secures the MCU, mass erase disabled
};

struct layout_fault {
  layout_problem problem = layout_problem::none;
  image_format format = image_format::raw;
  unsigned long line = 0;  // 1-based line, or for ELF the 1-based segment
  uint32_t address = 0;
  uint32_t value = 0;
  unsigned long count = 0;
  uint8_t first = 0;
  uint8_t second = 0;
};

struct image_run {
  uint32_t address = 0;
  uint32_t size = 0;
  // The run's bytes; null for a raw image read from a file, whose bytes
  // are read from the file as they are sent.
  const uint8_t* bytes = nullptr;
};

struct image_layout {
  image_format format = image_format::raw;
  size_t count = 0;
  image_run runs[IMAGE_MAX_RUNS];
  int security_byte = -1;     // the byte for 0x40C, -1 when the image has none
  uint8_t* memory = nullptr;  // holds the decoded runs; image_release frees it
};

// The format of a file from its first bytes (up to IMAGE_PROBE_SIZE, or
// the whole file when shorter).
image_format image_detect(const uint8_t* head, size_t length);

// Reads a whole file held in memory. A raw image's run points into `file`.
// On failure `layout` holds nothing to release and `fault` says why.
layout_problem image_parse(const uint8_t* file, size_t size, image_layout* layout,
                          layout_fault* fault);

// Reads the open file `fd` of `size` bytes (the image's 32-bit count). A raw image is not held: its
// one run has no bytes, and only its byte 0x40C is read.
layout_problem image_load(int fd, uint32_t size, image_layout* layout, layout_fault* fault);

void image_release(image_layout* layout);

// Refuses an image that would secure the MCU with mass erase disabled: no
// "erase all unsecure" could ever clear it again.
layout_problem image_lock_guard(const image_layout* layout, layout_fault* fault);

// Lowest address and one past the highest address the image writes.
uint32_t image_first_address(const image_layout* layout);
uint64_t image_end_address(const image_layout* layout);

// One line (no newline) saying why the image was refused, for messages that
// begin with the file's name.
void image_describe(const layout_fault* fault, char* text, size_t size);

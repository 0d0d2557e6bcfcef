// What a firmware image file holds: an ELF executable, an Intel HEX or
// Motorola S-record text, or raw bytes for address 0, recognised by the
// file's name and content. The reader reads the file once, whole, and turns
// it into sorted, disjoint address runs that hold every byte to be sent, or
// says why it refuses it; it reads the file and nothing else, and prints
// nothing.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum class image_format : uint8_t { raw, elf, hex, srec };

// Runs closer than this are one run, the gap filled with erased flash.
constexpr uint32_t IMAGE_JOIN_GAP = 64;
constexpr uint8_t IMAGE_FILL_BYTE = 0xFF;
// Each run is one write-memory command; real images have a handful.
constexpr size_t IMAGE_MAX_RUNS = 64;
// The first bytes read to choose the format, and so the file's size limit.
constexpr size_t IMAGE_PROBE_SIZE = 1024;
// No MCU this flasher serves has more flash: a raw image, and the bytes any
// image writes, stay within it. A text or ELF file may take four times as
// much (a HEX or S-record file takes under three characters per byte).
constexpr uint32_t IMAGE_MAX_FLASH = 8u << 20;
constexpr uint32_t IMAGE_MAX_FILE = 4 * IMAGE_MAX_FLASH;

// The MCU's flash configuration field, 0x400-0x40F; its byte 0x40C (FSEC)
// holds the security settings. Runs are never joined across bytes of the
// field that the image does not hold.
constexpr uint32_t IMAGE_CONFIG_FIRST = 0x400;
constexpr uint32_t IMAGE_CONFIG_LAST = 0x40F;
constexpr uint32_t IMAGE_SECURITY_ADDRESS = 0x40C;
// FSEC bits 1-0: the MCU is unsecured only as 10; bits 5-4: mass erase is
// disabled only as 10.
constexpr uint8_t FSEC_SEC_MASK = 0x03;
constexpr uint8_t FSEC_SEC_UNSECURED = 0x02;
constexpr uint8_t FSEC_MEEN_MASK = 0x30;
constexpr uint8_t FSEC_MEEN_DISABLED = 0x20;

enum class layout_problem : uint8_t {
  none,
  unreadable,         // reading the file failed; `value` is errno
  no_memory,          // the decoded image does not fit in memory
  elf_not_executable, // not a 32-bit little-endian ARM ELF executable
  elf_headers,        // the program header table lies outside the file
  elf_segment,        // segment `line` lies outside the file
  elf_overlap,        // segment `line` maps file bytes that another one maps
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
  file_too_large,     // the file is larger than `count` bytes
  image_too_large,    // the runs hold more than IMAGE_MAX_FLASH bytes
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
  const uint8_t* bytes = nullptr;  // the bytes to send, in `memory`
};

struct image_layout {
  image_format format = image_format::raw;
  size_t count = 0;
  image_run runs[IMAGE_MAX_RUNS];
  int security_byte = -1;     // the byte for 0x40C, -1 when the image has none
  uint8_t* memory = nullptr;  // the runs' bytes (a raw image: the file); image_release frees it
};

// Reads the open file `fd` of `size` bytes, named `name` (its extension may
// promise a format), once and whole: at most IMAGE_MAX_FLASH bytes for a raw
// image, IMAGE_MAX_FILE for text and ELF. On failure `layout` holds nothing
// to release and `fault` says why.
layout_problem image_load(int fd, uint32_t size, const char* name, image_layout* layout,
                          layout_fault* fault);

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

// The flasher's image reader on arbitrary bytes, read from a file under a
// name the first byte picks (each extension the reader knows, and none): it
// always ends; an accepted image is a list of runs that are sorted,
// non-empty, apart (or split at the flash configuration field), inside the
// 32-bit space, and never hold more bytes than the file could describe
// (every data byte takes two characters of a text image or one byte of an
// ELF file, and a join adds fewer than 64 fill bytes per piece of data); a
// refused one leaves nothing to release and a reason that reads as a line.
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "check.h"
#include "image_format.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const char* const names[] = {"image",     "image.hex", "image.IHX", "image.srec",
                                      "image.s37", "image.elf", "image.bin", "image.img"};
  if (size < 2) return 0;
  const char* name = names[data[0] % (sizeof names / sizeof names[0])];
  ++data;
  --size;
  static FILE* file = tmpfile();
  FUZZ_REQUIRE(file != nullptr, "a file to read from");
  const int fd = fileno(file);
  FUZZ_REQUIRE(ftruncate(fd, 0) == 0 && pwrite(fd, data, size, 0) == static_cast<ssize_t>(size),
               "the input written");

  image_layout layout;
  layout_fault fault;
  const layout_problem result = image_load(fd, static_cast<uint32_t>(size), name, &layout, &fault);
  FUZZ_REQUIRE(result == fault.problem, "the fault names the result");

  char text[256];
  image_describe(&fault, text, sizeof text);
  FUZZ_REQUIRE(text[0] != '\0' && strchr(text, '\n') == nullptr, "one line of reason");

  if (result != layout_problem::none) {
    FUZZ_REQUIRE(layout.memory == nullptr && layout.count == 0, "nothing kept on refusal");
    return 0;
  }
  FUZZ_REQUIRE(layout.count >= 1 && layout.count <= IMAGE_MAX_RUNS, "run count in bounds");
  uint64_t total = 0;
  for (size_t i = 0; i < layout.count; ++i) {
    const image_run& r = layout.runs[i];
    FUZZ_REQUIRE(r.size > 0 && r.bytes != nullptr, "a run holds bytes");
    FUZZ_REQUIRE(static_cast<uint64_t>(r.address) + r.size <= 0x100000000ull, "inside 4 GiB");
    if (i > 0) {
      const image_run& p = layout.runs[i - 1];
      const uint64_t gap_first = static_cast<uint64_t>(p.address) + p.size;
      const bool split_at_field = gap_first <= IMAGE_CONFIG_LAST && r.address > IMAGE_CONFIG_FIRST;
      FUZZ_REQUIRE(gap_first < r.address && (split_at_field || gap_first + IMAGE_JOIN_GAP <= r.address),
                   "sorted, disjoint, not joinable");
    }
    if (r.address <= IMAGE_SECURITY_ADDRESS && IMAGE_SECURITY_ADDRESS - r.address < r.size)
      FUZZ_REQUIRE(layout.security_byte == r.bytes[IMAGE_SECURITY_ADDRESS - r.address],
                   "security byte is the one the image writes");
    total += r.size;
  }
  if (layout.format == image_format::raw) {
    FUZZ_REQUIRE(layout.count == 1 && layout.runs[0].address == 0 && total == size &&
                     memcmp(layout.runs[0].bytes, data, size) == 0,
                 "a raw image is the file at address 0");
  } else {
    FUZZ_REQUIRE(total <= 6ull * size, "no more bytes than the file describes");
  }
  layout_fault guard;
  const layout_problem locked = image_lock_guard(&layout, &guard);
  FUZZ_REQUIRE(locked == layout_problem::none || layout.security_byte >= 0, "guard needs 0x40C");
  image_release(&layout);
  return 0;
}

#include "image_format.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "image.h"
#include "image_walk.h"

namespace {

// What a file's name promises, by its extension (any case): a format the
// file must hold, raw data, or nothing.
enum class promise : uint8_t { none, raw, elf, hex, srec };

promise promise_of(const char* name) {
  // The extension: what follows the last dot of the last path component,
  // at most four characters, in lower case.
  const char* extension = nullptr;
  for (const char* p = name; *p != '\0'; ++p) {
    if (*p == '.') extension = p + 1;
    if (*p == '/') extension = nullptr;
  }
  if (extension == nullptr) return promise::none;
  char lower[4] = {};
  for (size_t i = 0; extension[i] != '\0'; ++i) {
    if (i == sizeof lower) return promise::none;
    const char c = extension[i];
    lower[i] = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  }
  // Four characters each, padded with NULs.
  static const char names[] = "hex\0ihexihx\0srecs19\0s28\0s37\0mot\0elf\0axf\0bin\0img\0raw";
  static const promise promises[] = {promise::hex,  promise::hex,  promise::hex,  promise::srec,
                                     promise::srec, promise::srec, promise::srec, promise::srec,
                                     promise::elf,  promise::elf,  promise::raw,  promise::raw,
                                     promise::raw};
  for (size_t k = 0; k < sizeof promises / sizeof promises[0]; ++k) {
    const char* known = names + 4 * k;
    if (known[0] == lower[0] && known[1] == lower[1] && known[2] == lower[2] &&
        known[3] == lower[3])
      return promises[k];
  }
  return promise::none;
}

layout_problem fail(layout_fault* fault, layout_problem problem) {
  fault->problem = problem;
  return problem;
}

// First pass: the address ranges the pieces cover, sorted and joined.
// Ranges hold their first and last address: 32-bit arithmetic throughout.
struct span {
  uint32_t first, last;
};

// Whether a range starting at `first` joins one ending at `last`: it
// overlaps or touches it, or fewer than IMAGE_JOIN_GAP bytes lie between
// them and none of them is in the flash configuration field (a filled gap
// there would write bytes the image never asked for).
bool joins(uint32_t last, uint32_t first) {
  if (first <= last || first - last == 1) return true;
  const bool gap_in_field = last < IMAGE_CONFIG_LAST && first > IMAGE_CONFIG_FIRST;
  return first - last <= IMAGE_JOIN_GAP && !gap_in_field;
}

struct span_sink : image_sink {
  span spans[IMAGE_MAX_RUNS];
  size_t count = 0;
};

bool add_span(image_sink* base, uint32_t address, const uint8_t*, size_t length,
              unsigned long line) {
  span_sink* s = static_cast<span_sink*>(base);
  const span piece = {address, static_cast<uint32_t>(address + (length - 1))};
  size_t n = s->count;
  // Images come in address order as a rule: the piece extends the last run.
  if (n > 0 && piece.first >= s->spans[n - 1].first && joins(s->spans[n - 1].last, piece.first)) {
    if (piece.last > s->spans[n - 1].last) s->spans[n - 1].last = piece.last;
    return true;
  }
  // Runs [lo, hi) lie less than IMAGE_JOIN_GAP from the piece: one run with it.
  size_t lo = 0;
  while (lo < n && s->spans[lo].last < piece.first && !joins(s->spans[lo].last, piece.first)) ++lo;
  size_t hi = lo;
  while (hi < n && joins(piece.last, s->spans[hi].first)) ++hi;
  span joined = piece;
  if (hi > lo) {
    if (s->spans[lo].first < joined.first) joined.first = s->spans[lo].first;
    if (s->spans[hi - 1].last > joined.last) joined.last = s->spans[hi - 1].last;
  } else {
    if (n == IMAGE_MAX_RUNS) return image_fail(s, layout_problem::too_many_runs, line);
    memmove(s->spans + lo + 1, s->spans + lo, (n - lo) * sizeof(span));
    ++n;
    hi = lo + 1;
  }
  s->spans[lo] = joined;
  memmove(s->spans + lo + 1, s->spans + hi, (n - hi) * sizeof(span));
  s->count = n - (hi - lo - 1);
  return true;
}

// Second pass: the bytes into their runs; a byte given twice must agree.
struct fill_sink : image_sink {
  image_layout* layout;
  uint8_t* written;  // one bit per byte of layout->memory
};

bool fill(image_sink* base, uint32_t address, const uint8_t* bytes, size_t length,
          unsigned long line) {
  fill_sink* s = static_cast<fill_sink*>(base);
  const image_layout* layout = s->layout;
  size_t i = layout->count;
  while (i > 1 && layout->runs[i - 1].address > address) --i;
  const image_run& run = layout->runs[i - 1];
  const size_t at = static_cast<size_t>(run.bytes - layout->memory) + (address - run.address);
  uint8_t* memory = layout->memory;
  for (size_t k = 0; k < length; ++k) {
    const size_t p = at + k;
    const uint8_t bit = static_cast<uint8_t>(1u << (p % 8));
    if ((s->written[p / 8] & bit) && memory[p] != bytes[k]) {
      s->fault->address = static_cast<uint32_t>(address + k);
      s->fault->first = memory[p];
      s->fault->second = bytes[k];
      return image_fail(s, layout_problem::overlap, line);
    }
    s->written[p / 8] |= bit;
    memory[p] = bytes[k];
  }
  return true;
}

bool walk(image_format format, const uint8_t* file, size_t size, image_sink* sink) {
  if (format == image_format::elf) return image_walk_elf(file, size, sink);
  return image_walk_text(file, size, sink,
                         format == image_format::hex ? image_hex_record : image_srec_record);
}

void find_security_byte(image_layout* layout) {
  layout->security_byte = -1;
  for (size_t i = 0; i < layout->count; ++i) {
    const image_run& r = layout->runs[i];
    if (r.address <= IMAGE_SECURITY_ADDRESS &&
        IMAGE_SECURITY_ADDRESS - r.address < r.size)
      layout->security_byte = r.bytes[IMAGE_SECURITY_ADDRESS - r.address];
  }
}

// ELF, HEX or S-record: two walks over the file, the first to size the
// runs, the second to fill them.
layout_problem build(const uint8_t* file, size_t size, image_layout* layout, layout_fault* fault) {
  span_sink spans;
  spans.take = add_span;
  spans.fault = fault;
  if (!walk(layout->format, file, size, &spans)) return fault->problem;
  if (spans.count == 0) return fail(fault, layout_problem::no_data);
  size_t total = 0;
  for (size_t i = 0; i < spans.count; ++i) {
    // A run of all 2^32 addresses has no 32-bit byte count.
    const uint32_t extent = spans.spans[i].last - spans.spans[i].first;
    if (extent == 0xFFFFFFFFu) return fail(fault, layout_problem::past_4gib);
    if (extent >= IMAGE_MAX_FLASH - total) {
      fault->count = IMAGE_MAX_FLASH;
      return fail(fault, layout_problem::image_too_large);
    }
    total += extent + 1;
  }
  uint8_t* memory = static_cast<uint8_t*>(malloc(total));
  uint8_t* written = static_cast<uint8_t*>(calloc(total / 8 + 1, 1));
  if (memory == nullptr || written == nullptr) {
    free(memory);
    free(written);
    return fail(fault, layout_problem::no_memory);
  }
  memset(memory, IMAGE_FILL_BYTE, total);
  layout->memory = memory;
  layout->count = spans.count;
  size_t at = 0;
  for (size_t i = 0; i < spans.count; ++i) {
    image_run& r = layout->runs[i];
    r.address = spans.spans[i].first;
    r.size = spans.spans[i].last - spans.spans[i].first + 1;
    r.bytes = memory + at;
    at += r.size;
  }
  fill_sink filler;
  filler.take = fill;
  filler.fault = fault;
  filler.layout = layout;
  filler.written = written;
  const bool filled = walk(layout->format, file, size, &filler);
  free(written);
  if (!filled) {
    image_release(layout);
    return fault->problem;
  }
  find_security_byte(layout);
  return layout_problem::none;
}


// The format the content asks for, given what the name promises: the
// promised format; else ELF by its magic; else the format of the first
// line that is not blank, when it starts like a record (for a name that
// asks for raw data, only when that line is a well-formed record); else
// raw. A text of blank lines only has no format; when it is only the start
// of the file, it is taken as text until the whole file is seen.
bool choose_format(const uint8_t* file, size_t size, bool whole, promise promised,
                   image_format* format, layout_fault* fault) {
  static const image_format promised_format[] = {image_format::raw, image_format::raw,
                                                 image_format::elf, image_format::hex,
                                                 image_format::srec};
  *format = promised_format[static_cast<int>(promised)];
  if (promised > promise::raw) return true;
  if (image_elf_magic(file, size)) {
    *format = image_format::elf;
    return true;
  }
  image_lines lines{file, size};
  const uint8_t* line;
  size_t length;
  while (lines.next(&line, &length)) {
    if (length == 0) continue;
    *format = image_record_start(line, length);
    image_record record;
    if (promised == promise::raw && *format != image_format::raw &&
        (*format == image_format::hex ? image_hex_record : image_srec_record)(
            line, length, &record) != layout_problem::none)
      *format = image_format::raw;
    return true;
  }
  if (promised == promise::raw) return true;
  *format = image_format::hex;  // blank lines so far: a text
  if (whole) fail(fault, layout_problem::no_data);
  return !whole;
}

// Reads `size` bytes at the start of `fd` into `buffer`.
layout_problem read_whole(int fd, uint8_t* buffer, uint32_t size, layout_fault* fault) {
  errno = 0;
  const long got = image_read_at(fd, buffer, size, 0);
  if (got >= 0 && static_cast<uint32_t>(got) == size) return layout_problem::none;
  fault->value = got < 0 ? static_cast<uint32_t>(errno) : 0;
  return fail(fault, layout_problem::unreadable);
}

}  // namespace

layout_problem image_load(int fd, uint32_t size, const char* name, image_layout* layout,
                          layout_fault* fault) {
  *layout = image_layout{};
  *fault = layout_fault{};
  if (size == 0) return fail(fault, layout_problem::no_data);
  // The start of the file settles the format, and with it how large the
  // file may be; the whole file is then read once and settles it again.
  const promise promised = promise_of(name);
  image_format format;
  uint8_t head[IMAGE_PROBE_SIZE];
  const uint32_t probe = size < sizeof head ? size : sizeof head;
  if (read_whole(fd, head, probe, fault) != layout_problem::none ||
      !choose_format(head, probe, probe == size, promised, &format, fault))
    return fault->problem;
  const uint32_t limit = format == image_format::raw ? IMAGE_MAX_FLASH : IMAGE_MAX_FILE;
  if (size > limit) {
    fault->count = limit;
    return fail(fault, layout_problem::file_too_large);
  }
  uint8_t* file = static_cast<uint8_t*>(malloc(size));
  if (file == nullptr) return fail(fault, layout_problem::no_memory);
  if (read_whole(fd, file, size, fault) != layout_problem::none ||
      !choose_format(file, size, true, promised, &format, fault)) {
    free(file);
    return fault->problem;
  }
  layout->format = fault->format = format;
  if (format != image_format::raw) {
    // Text and ELF: the runs get their own bytes, and the file goes.
    const layout_problem p = build(file, size, layout, fault);
    free(file);
    return p;
  }
  if (size > IMAGE_MAX_FLASH) {
    free(file);
    fault->count = IMAGE_MAX_FLASH;
    return fail(fault, layout_problem::file_too_large);
  }
  layout->memory = file;
  layout->count = 1;
  layout->runs[0] = {0, size, file};
  find_security_byte(layout);
  return layout_problem::none;
}

void image_release(image_layout* layout) {
  free(layout->memory);
  layout->memory = nullptr;
  layout->count = 0;
}

layout_problem image_lock_guard(const image_layout* layout, layout_fault* fault) {
  const int b = layout->security_byte;
  if (b < 0) return layout_problem::none;
  const bool secured = (b & FSEC_SEC_MASK) != FSEC_SEC_UNSECURED;
  const bool mass_erase_disabled = (b & FSEC_MEEN_MASK) == FSEC_MEEN_DISABLED;
  if (!secured || !mass_erase_disabled) return layout_problem::none;
  fault->value = static_cast<uint32_t>(b);
  fault->address = IMAGE_SECURITY_ADDRESS;
  return fail(fault, layout_problem::locks_mcu);
}

uint32_t image_first_address(const image_layout* layout) {
  return layout->count > 0 ? layout->runs[0].address : 0;
}

uint64_t image_end_address(const image_layout* layout) {
  if (layout->count == 0) return 0;
  const image_run& last = layout->runs[layout->count - 1];
  return static_cast<uint64_t>(last.address) + last.size;
}

void image_describe(const layout_fault* f, char* text, size_t size) {
  // By problem, in the order of layout_problem, each ended by a NUL; the
  // array's own NUL is the last problem's (empty) text.
  static const char reasons[] =
      "no problem\0"
      "the file changed while it was read\0"
      "not enough memory to read the image\0"
      "not a 32-bit little-endian ARM ELF executable\0"
      "ELF program headers lie outside the file\0"
      "outside the file\0"
      "shares file bytes with another segment\0"
      "not a well-formed record\0"
      "checksum does not match\0"
      "unknown record type\0"
      "\0"
      "no end-of-file record (01)\0"
      "more records after the end record\0"
      "image reaches past the 32-bit address space\0"
      "\0"
      "image holds no data\0"
      "more than 64 separate address ranges\0"
      "file larger than any image the flash could hold\0"
      "image larger than any flash\0";
  const char* reason = reasons;
  for (int i = static_cast<int>(f->problem); i > 0; --i)
    reason += strlen(reason) + 1;
  switch (f->problem) {
    case layout_problem::unreadable:
      if (f->value != 0) reason = strerror(static_cast<int>(f->value));
      break;
    case layout_problem::no_end:
      if (f->format == image_format::srec) reason = "no end record (S7, S8 or S9)";
      break;
    case layout_problem::past_4gib:
      if (f->line != 0) reason = "data past the 32-bit address space";
      break;
    case layout_problem::bad_count:
      snprintf(text, size, "line %lu: record count %lu, but %lu data records came before it",
               f->line, static_cast<unsigned long>(f->value), f->count);
      return;
    case layout_problem::file_too_large:
    case layout_problem::image_too_large:
      snprintf(text, size, "%s (more than %lu bytes)", reason, f->count);
      return;
    case layout_problem::overlap:
      snprintf(text, size, "address 0x%08lx is given twice, as 0x%02x and as 0x%02x",
               static_cast<unsigned long>(f->address), f->first, f->second);
      return;
    case layout_problem::locks_mcu:
      snprintf(text, size,
               "byte 0x40C is 0x%02x: it secures the MCU with mass erase disabled, so the MCU "
               "could never be erased or flashed again",
               static_cast<unsigned>(f->value));
      return;
    default:
      break;
  }
  if (f->line != 0)
    snprintf(text, size, "%s %lu: %s", f->format == image_format::elf ? "ELF segment" : "line",
             f->line, reason);
  else
    snprintf(text, size, "%s", reason);
}

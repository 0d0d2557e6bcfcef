// The text formats, line by line: every line that is not blank one
// well-formed record, data handed to the sink at its address, counts
// checked, an end record required and followed by nothing but blank lines.
#include "image_walk.h"

bool image_lines::next(const uint8_t** line, size_t* length) {
  if (at == 0 && size >= 3 && text[0] == 0xEF && text[1] == 0xBB && text[2] == 0xBF) at = 3;
  if (at >= size) return false;
  const uint8_t* start = text + at;
  size_t n = 0;
  while (n < size - at && start[n] != '\n') ++n;
  const bool lf = n < size - at;
  at += lf ? n + 1 : n;
  for (int cr = 0; cr < 2 && n > 0 && start[n - 1] == '\r'; ++cr) --n;
  while (n > 0 && (start[n - 1] == ' ' || start[n - 1] == '\t')) --n;
  ++number;
  *line = start;
  *length = n;
  return true;
}

bool image_walk_text(const uint8_t* text, size_t size, image_sink* sink,
                     layout_problem (*decode)(const uint8_t*, size_t, image_record*)) {
  image_lines lines{text, size};
  const uint8_t* line;
  size_t length;
  uint32_t base = 0;  // set by Intel HEX's extended address records
  unsigned long data_records = 0;
  bool ended = false;
  while (lines.next(&line, &length)) {
    if (length == 0) continue;
    if (ended) return image_fail(sink, layout_problem::after_end, lines.number);
    image_record r;
    const layout_problem p = decode(line, length, &r);
    if (p != layout_problem::none) return image_fail(sink, p, lines.number);
    switch (r.kind) {
      case image_record_kind::data: {
        ++data_records;
        // A HEX base is a multiple of 16 below 1 MiB, or of 64 KiB: base
        // and 16-bit offset never pass 32 bits.
        const uint32_t address = base + r.address;
        if (!image_fits(address, static_cast<uint32_t>(r.count)))
          return image_fail(sink, layout_problem::past_4gib, lines.number);
        if (r.count > 0 && !sink->take(sink, address, r.data, r.count, lines.number))
          return false;
        break;
      }
      case image_record_kind::base:
        base = r.address;
        break;
      case image_record_kind::count:
        if (r.address != data_records) {
          sink->fault->value = r.address;
          sink->fault->count = data_records;
          return image_fail(sink, layout_problem::bad_count, lines.number);
        }
        break;
      case image_record_kind::end:
        ended = true;
        break;
      case image_record_kind::skip:
        break;
    }
  }
  if (!ended) return image_fail(sink, layout_problem::no_end, 0);
  return true;
}

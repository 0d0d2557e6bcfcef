// Motorola S-record: "S", type digit, count, address, data, checksum, one
// record a line. S0 is a header (ignored); S1, S2, S3 carry data with 16,
// 24 and 32-bit addresses; S5 and S6 state how many data records came
// before; S7, S8, S9 end the file (their start address is ignored).
#include "image_walk.h"

namespace {

constexpr size_t MAX_BYTES = 1 + 255;  // count, then address, data, checksum

struct srec_record {
  uint8_t bytes[MAX_BYTES];
  uint8_t type;
  uint32_t address;
  const uint8_t* data;
  size_t count;  // data bytes
};

// Address width of each type; 0: the format has no such type.
constexpr uint8_t ADDRESS_SIZE[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};

layout_problem decode(const uint8_t* line, size_t length, srec_record* r) {
  if (length < 4 || line[0] != 'S' || line[1] < '0' || line[1] > '9' || length % 2 != 0 ||
      (length - 2) / 2 > MAX_BYTES)
    return layout_problem::bad_record;
  const size_t n = (length - 2) / 2;
  if (!image_hex_bytes(line + 2, n, r->bytes) || r->bytes[0] + 1u != n)
    return layout_problem::bad_record;
  r->type = static_cast<uint8_t>(line[1] - '0');
  const size_t width = ADDRESS_SIZE[r->type];
  if (width == 0) return layout_problem::bad_record_type;
  // The count covers address, data and checksum.
  if (r->bytes[0] < width + 1) return layout_problem::bad_record;
  unsigned sum = 0;
  for (size_t i = 0; i < n; ++i) sum += r->bytes[i];
  if ((sum & 0xFF) != 0xFF) return layout_problem::bad_checksum;
  r->address = 0;
  for (size_t i = 0; i < width; ++i) r->address = r->address << 8 | r->bytes[1 + i];
  r->data = r->bytes + 1 + width;
  r->count = r->bytes[0] - width - 1;
  // Counts and ends carry no data.
  if (r->type >= 5 && r->count != 0) return layout_problem::bad_record;
  return layout_problem::none;
}

}  // namespace

bool image_srec_line_ok(const uint8_t* line, size_t length) {
  srec_record r;
  return decode(line, length, &r) == layout_problem::none;
}

bool image_walk_srec(const uint8_t* text, size_t size, image_sink* sink) {
  image_lines lines{text, size};
  const uint8_t* line;
  size_t length;
  unsigned long data_records = 0;
  bool ended = false;
  while (lines.next(&line, &length)) {
    if (ended) {
      if (length != 0) return image_fail(sink, layout_problem::after_end, lines.number);
      continue;
    }
    srec_record r;
    const layout_problem p = decode(line, length, &r);
    if (p != layout_problem::none) return image_fail(sink, p, lines.number);
    switch (r.type) {
      case 1:
      case 2:
      case 3:
        ++data_records;
        if (static_cast<uint64_t>(r.address) + r.count > 0x100000000ull)
          return image_fail(sink, layout_problem::past_4gib, lines.number);
        if (r.count > 0 && !sink->take(sink, r.address, r.data, r.count, lines.number))
          return false;
        break;
      case 5:
      case 6:
        if (r.address != data_records) {
          sink->fault->value = r.address;
          sink->fault->count = data_records;
          return image_fail(sink, layout_problem::bad_count, lines.number);
        }
        break;
      case 7:
      case 8:
      case 9:
        ended = true;
        break;
      default:  // the header
        break;
    }
  }
  if (!ended) return image_fail(sink, layout_problem::no_end, lines.number);
  return true;
}

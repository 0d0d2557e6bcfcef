// Motorola S-record: "S", type digit, count, address, data, checksum, one
// record a line. S0 is a header (ignored); S1, S2, S3 carry data with 16,
// 24 and 32-bit addresses; S5 and S6 state how many data records came
// before; S7, S8, S9 end the file (their start address is ignored).
#include "image_walk.h"

layout_problem image_srec_record(const uint8_t* line, size_t length, image_record* r) {
  // Address width of each type; 0: the format has no such type.
  static const uint8_t widths[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
  static const image_record_kind kinds[10] = {
      image_record_kind::skip,  image_record_kind::data,  image_record_kind::data,
      image_record_kind::data,  image_record_kind::skip,  image_record_kind::count,
      image_record_kind::count, image_record_kind::end,   image_record_kind::end,
      image_record_kind::end};
  if (length < 4 || line[0] != 'S' || line[1] < '0' || line[1] > '9' || length % 2 != 0 ||
      (length - 2) / 2 > sizeof r->bytes)
    return layout_problem::bad_record;
  // Count (of address, data and checksum), address, data, checksum.
  const size_t n = (length - 2) / 2;
  uint8_t* b = r->bytes;
  if (!image_hex_bytes(line + 2, n, b) || b[0] + 1u != n) return layout_problem::bad_record;
  const int type = line[1] - '0';
  const size_t width = widths[type];
  if (width == 0) return layout_problem::bad_record_type;
  if (b[0] < width + 1) return layout_problem::bad_record;
  unsigned sum = 0;
  for (size_t i = 0; i < n; ++i) sum += b[i];
  if ((sum & 0xFF) != 0xFF) return layout_problem::bad_checksum;
  r->address = 0;
  for (size_t i = 0; i < width; ++i) r->address = r->address << 8 | b[1 + i];
  r->data = b + 1 + width;
  r->count = b[0] - width - 1;
  r->kind = kinds[type];
  // Counts and ends carry no data.
  if (type >= 5 && r->count != 0) return layout_problem::bad_record;
  return layout_problem::none;
}

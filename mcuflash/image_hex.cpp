// Intel HEX: ":" count, 16-bit offset, type, data, checksum, one record a
// line. Data records (00) go to the base address of the last extended
// segment (02) or extended linear (04) record plus their offset; start
// address records (03, 05) are ignored; the end-of-file record (01) is
// required and last.
#include "image_walk.h"

layout_problem image_hex_record(const uint8_t* line, size_t length, image_record* r) {
  // Count, offset, type, data, checksum.
  if (length < 11 || line[0] != ':' || (length - 1) % 2 != 0 ||
      (length - 1) / 2 > sizeof r->bytes)
    return layout_problem::bad_record;
  const size_t n = (length - 1) / 2;
  uint8_t* b = r->bytes;
  if (!image_hex_bytes(line + 1, n, b) || b[0] + 5u != n) return layout_problem::bad_record;
  unsigned sum = 0;
  for (size_t i = 0; i < n; ++i) sum += b[i];
  if ((sum & 0xFF) != 0) return layout_problem::bad_checksum;
  const uint8_t type = b[3];
  r->count = b[0];
  r->address = static_cast<uint32_t>(b[1] << 8 | b[2]);
  r->data = b + 4;
  // Each record type other than data has its fixed size.
  static const signed char sizes[] = {-1, 0, 2, 4, 2, 4};
  static const image_record_kind kinds[] = {image_record_kind::data, image_record_kind::end,
                                            image_record_kind::base, image_record_kind::skip,
                                            image_record_kind::base, image_record_kind::skip};
  if (type >= sizeof sizes) return layout_problem::bad_record_type;
  if (sizes[type] >= 0 && r->count != static_cast<size_t>(sizes[type]))
    return layout_problem::bad_record;
  r->kind = kinds[type];
  // Extended segment: a paragraph number; extended linear: the upper 16 bits.
  if (r->kind == image_record_kind::base)
    r->address = static_cast<uint32_t>(b[4] << 8 | b[5]) << (type == 2 ? 4 : 16);
  return layout_problem::none;
}

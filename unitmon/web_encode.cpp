#include "web_encode.h"

#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <zlib.h>

bool web_accepts_gzip(const char* header) {
  if (header == nullptr) return false;
  bool gzip = false, star = false, gzip_named = false;
  const char* p = header;
  while (*p != '\0') {
    while (*p == ' ' || *p == '\t' || *p == ',') ++p;
    const char* name = p;
    while (*p != '\0' && *p != ',' && *p != ';' && *p != ' ' && *p != '\t') ++p;
    const size_t name_len = static_cast<size_t>(p - name);
    bool refused = false;  // q=0, q=0.0, q=0.000
    while (*p != '\0' && *p != ',') {
      if (*p == ';') {
        ++p;
        while (*p == ' ' || *p == '\t') ++p;
        if ((p[0] == 'q' || p[0] == 'Q') && p[1] == '=') {
          refused = strtod(p + 2, nullptr) <= 0.0;
        }
        continue;
      }
      ++p;
    }
    if (name_len == 4 && strncasecmp(name, "gzip", 4) == 0) {
      gzip_named = true;
      gzip = !refused;
    } else if (name_len == 1 && name[0] == '*') {
      star = !refused;
    }
  }
  return gzip || (!gzip_named && star);
}

bool web_gzip(const char* data, size_t len, text_buffer* out) {
  z_stream z;
  memset(&z, 0, sizeof z);
  // Level 1: most of what gzip saves on this text, for a fraction of the
  // time that the listener spends not reading datagrams.
  if (deflateInit2(&z, 1, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) return false;
  const size_t bound = deflateBound(&z, static_cast<uLong>(len));
  out->data = static_cast<char*>(malloc(bound));
  out->len = 0;
  out->capacity = bound;
  out->failed = out->data == nullptr;
  if (!out->failed) {
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    z.avail_in = static_cast<uInt>(len);
    z.next_out = reinterpret_cast<Bytef*>(out->data);
    z.avail_out = static_cast<uInt>(bound);
    out->failed = deflate(&z, Z_FINISH) != Z_STREAM_END;
    out->len = bound - z.avail_out;
  }
  deflateEnd(&z);
  if (out->failed) {
    free(out->data);
    out->data = nullptr;
  }
  return !out->failed;
}

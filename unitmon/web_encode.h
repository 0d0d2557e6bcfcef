// What an answer is sent as: gzip when the client accepts it.
#pragma once

#include <stddef.h>

#include "metrics.h"

// True when an Accept-Encoding header value (nullptr: none) takes gzip,
// that is names gzip or * without q=0.
bool web_accepts_gzip(const char* accept_encoding);

// `len` bytes of `data` as one gzip member; false when memory ran out.
bool web_gzip(const char* data, size_t len, text_buffer* out);

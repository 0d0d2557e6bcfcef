// Password checks against the bcrypt hashes of the web configuration. A
// bcrypt check takes tens of milliseconds by design, so the last few
// passwords that were right are remembered (as SHA-256 digests, never as
// text) and a scraper that sends the same one every time costs one check.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "web_config.h"

struct web_auth_cache {
  uint8_t digest[16][32];
  size_t used, next;
};

// True when `user` is configured and `password` matches its hash.
bool web_auth_check(web_auth_cache* cache, const web_config* config, const char* user,
                    const char* password);

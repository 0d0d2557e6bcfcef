// Password checks against the bcrypt hashes of the web configuration. A
// bcrypt check takes tens of milliseconds by design, so the last few
// passwords that were right are remembered (as SHA-256 digests, never as
// text) and a scraper that sends the same one every time costs one check.
// Other passwords are checked at most once a second: guesses beyond that
// are refused unchecked, so that no client can make the listener spend
// more than a tenth of its time (cost 10) on bcrypt instead of datagrams.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "web_config.h"

constexpr unsigned WEB_AUTH_CHECKS_PER_SECOND = 1;

struct web_auth_cache {
  uint8_t digest[16][32];
  size_t used, next;
  uint64_t second;       // of the checks counted, on the caller's clock
  unsigned checks;       // bcrypt checks in that second
};

// True when `user` is configured and `password` matches its hash; `now_ms`
// on any steady clock.
bool web_auth_check(web_auth_cache* cache, const web_config* config, const char* user,
                    const char* password, uint64_t now_ms);

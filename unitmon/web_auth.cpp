#include "web_auth.h"

#include <crypt.h>
#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <string.h>

namespace {

bool same(const uint8_t* a, const uint8_t* b, size_t len) {
  uint8_t diff = 0;
  for (size_t i = 0; i < len; ++i) diff |= static_cast<uint8_t>(a[i] ^ b[i]);
  return diff == 0;
}

}  // namespace

bool web_auth_check(web_auth_cache* cache, const web_config* config, const char* user,
                    const char* password, uint64_t now_ms) {
  const web_user* found = nullptr;
  for (size_t i = 0; i < config->user_count; ++i) {
    if (strcmp(config->users[i].name, user) == 0) found = &config->users[i];
  }
  if (found == nullptr) return false;
  // The digest covers the hash too: a user, password and hash that were right.
  const size_t user_len = strlen(user) + 1, password_len = strlen(password) + 1, hash_len = strlen(found->hash);
  uint8_t digest[32];
  gnutls_hash_hd_t h;
  if (gnutls_hash_init(&h, GNUTLS_DIG_SHA256) < 0) return false;
  gnutls_hash(h, user, user_len);
  gnutls_hash(h, password, password_len);
  gnutls_hash(h, found->hash, hash_len);
  gnutls_hash_deinit(h, digest);
  for (size_t i = 0; i < cache->used; ++i) {
    if (same(cache->digest[i], digest, sizeof digest)) return true;
  }
  if (now_ms / 1000 != cache->second) {
    cache->second = now_ms / 1000;
    cache->checks = 0;
  }
  if (cache->checks == WEB_AUTH_CHECKS_PER_SECOND) return false;
  ++cache->checks;
  crypt_data data;
  memset(&data, 0, sizeof data);
  const char* computed = crypt_rn(password, found->hash, &data, sizeof data);
  if (computed == nullptr || strlen(computed) != hash_len ||
      !same(reinterpret_cast<const uint8_t*>(computed), reinterpret_cast<const uint8_t*>(found->hash), hash_len)) {
    return false;
  }
  memcpy(cache->digest[cache->next], digest, sizeof digest);
  cache->next = (cache->next + 1) % 16;
  if (cache->used < 16) ++cache->used;
  return true;
}

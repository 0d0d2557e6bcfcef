// The web configuration file that Prometheus exporters share
// (--web-config): TLS for the exporter and the users allowed in, each with
// a bcrypt hash of its password.
//
//   tls_server_config:
//     cert_file: server.crt        # relative to the file's directory
//     key_file: server.key
//     client_ca_file: clients.crt  # optional
//     client_auth_type: RequireAndVerifyClientCert
//   basic_auth_users:
//     prometheus: $2y$10$...
//
// Everything is read and checked at once: the files named are loaded, the
// certificate with its key, and a key this reader does not know is refused
// rather than silently ignored.
#pragma once

#include <stddef.h>

enum web_client_auth {
  WEB_CLIENT_NONE,            // NoClientCert (the default)
  WEB_CLIENT_REQUEST,         // RequestClientCert: asked, not checked
  WEB_CLIENT_REQUIRE_ANY,     // RequireAnyClientCert: one must come, unchecked
  WEB_CLIENT_VERIFY_IF_GIVEN, // VerifyClientCertIfGiven
  WEB_CLIENT_REQUIRE_VERIFY,  // RequireAndVerifyClientCert
};

struct web_user {
  char* name;
  char* hash;  // bcrypt, $2a$, $2b$ or $2y$
};

struct web_config {
  char* cert_pem;       // nullptr: no TLS
  char* key_pem;
  char* client_ca_pem;  // nullptr: no client certificates checked
  web_client_auth client_auth;
  web_user* users;      // none: no passwords asked
  size_t user_count;
};

constexpr size_t WEB_CONFIG_MAX_BYTES = 64 * 1024;
constexpr size_t WEB_CONFIG_MAX_USERS = 64;

// Reads `path` into `out` (zeroed first); false with a one-line reason in
// `error` when the file cannot be read, is not such a file, or names
// certificates that do not load.
bool web_config_load(const char* path, web_config* out, char* error, size_t error_size);
void web_config_free(web_config* config);

// True when `hash` has the form of a bcrypt hash (cost 4 to 31).
bool web_bcrypt_form(const char* hash);

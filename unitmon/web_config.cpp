#include "web_config.h"

#include <errno.h>
#include <fcntl.h>
#include <gnutls/gnutls.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <yaml.h>

namespace {

constexpr size_t PEM_MAX_BYTES = 1024 * 1024;

struct reader {
  yaml_parser_t parser;
  char* error;
  size_t error_size;
};

bool fail(char* error, size_t size, const char* format, ...) __attribute__((format(printf, 3, 4)));
bool fail(char* error, size_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vsnprintf(error, size, format, args);
  va_end(args);
  return false;
}

// The whole of a regular file of at most `max` bytes, NUL-terminated.
char* read_file(const char* path, size_t max, char* error, size_t size) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    fail(error, size, "%s: %s", path, strerror(errno));
    return nullptr;
  }
  struct stat st;
  char* text = nullptr;
  if (fstat(fd, &st) != 0) {
    fail(error, size, "%s: %s", path, strerror(errno));
  } else if (!S_ISREG(st.st_mode)) {
    fail(error, size, "%s: not a regular file", path);
  } else if (static_cast<unsigned long long>(st.st_size) > max) {
    fail(error, size, "%s: larger than %zu bytes", path, max);
  } else if ((text = static_cast<char*>(malloc(static_cast<size_t>(st.st_size) + 1))) == nullptr) {
    fail(error, size, "%s: out of memory", path);
  } else {
    size_t len = 0;
    ssize_t n;
    while (len < static_cast<size_t>(st.st_size) &&
           (n = read(fd, text + len, static_cast<size_t>(st.st_size) - len)) > 0) {
      len += static_cast<size_t>(n);
    }
    if (len != static_cast<size_t>(st.st_size)) {
      fail(error, size, "%s: %s", path, n < 0 ? strerror(errno) : "shorter than it said");
      free(text);
      text = nullptr;
    } else {
      text[len] = '\0';
    }
  }
  close(fd);
  return text;
}

// The next event; aliases are refused, so nothing expands beyond the file.
bool next(reader* r, yaml_event_t* e) {
  if (!yaml_parser_parse(&r->parser, e)) {
    return fail(r->error, r->error_size, "line %zu: %s", r->parser.problem_mark.line + 1,
                r->parser.problem != nullptr ? r->parser.problem : "not YAML");
  }
  if (e->type == YAML_ALIAS_EVENT) {
    const size_t line = e->start_mark.line + 1;
    yaml_event_delete(e);
    return fail(r->error, r->error_size, "line %zu: aliases are not taken", line);
  }
  return true;
}

bool is_null(const yaml_event_t& e) {
  return e.type == YAML_SCALAR_EVENT && e.data.scalar.style == YAML_PLAIN_SCALAR_STYLE &&
         (e.data.scalar.length == 0 || strcmp(reinterpret_cast<char*>(e.data.scalar.value), "null") == 0 ||
          strcmp(reinterpret_cast<char*>(e.data.scalar.value), "~") == 0);
}

// A section: a mapping of names to single values (or nothing at all), each
// handed to `take`, which says false (with the error set) to refuse it.
template <typename Take>
bool read_section(reader* r, const char* section, Take take) {
  yaml_event_t e;
  if (!next(r, &e)) return false;
  if (is_null(e)) {
    yaml_event_delete(&e);
    return true;
  }
  const bool mapping = e.type == YAML_MAPPING_START_EVENT;
  yaml_event_delete(&e);
  if (!mapping) return fail(r->error, r->error_size, "%s wants a mapping", section);
  for (;;) {
    if (!next(r, &e)) return false;
    if (e.type == YAML_MAPPING_END_EVENT) {
      yaml_event_delete(&e);
      return true;
    }
    if (e.type != YAML_SCALAR_EVENT) {
      yaml_event_delete(&e);
      return fail(r->error, r->error_size, "%s: a key must be a name", section);
    }
    char* key = strdup(reinterpret_cast<char*>(e.data.scalar.value));
    yaml_event_delete(&e);
    if (key == nullptr) return fail(r->error, r->error_size, "out of memory");
    bool ok = next(r, &e);
    if (ok && e.type != YAML_SCALAR_EVENT) {
      yaml_event_delete(&e);
      ok = fail(r->error, r->error_size, "%s: %s wants a single value", section, key);
    } else if (ok) {
      ok = take(key, reinterpret_cast<char*>(e.data.scalar.value));
      yaml_event_delete(&e);
    }
    free(key);
    if (!ok) return false;
  }
}

struct tls_files {
  char* cert;
  char* key;
  char* client_ca;
  char* client_auth;
};

bool set_once(char** slot, const char* key, const char* value, char* error, size_t size) {
  if (*slot != nullptr) return fail(error, size, "tls_server_config: %s given twice", key);
  *slot = strdup(value);
  return *slot != nullptr || fail(error, size, "out of memory");
}

// A file named in the configuration: relative to the configuration's directory.
char* read_named(const char* config_path, const char* name, char* error, size_t size) {
  const char* slash = strrchr(config_path, '/');
  if (name[0] == '/' || slash == nullptr) return read_file(name, PEM_MAX_BYTES, error, size);
  const size_t dir_len = static_cast<size_t>(slash - config_path) + 1;
  char* path = static_cast<char*>(malloc(dir_len + strlen(name) + 1));
  if (path == nullptr) {
    fail(error, size, "out of memory");
    return nullptr;
  }
  memcpy(path, config_path, dir_len);
  strcpy(path + dir_len, name);
  char* text = read_file(path, PEM_MAX_BYTES, error, size);
  free(path);
  return text;
}

bool parse_client_auth(const char* text, web_client_auth* out) {
  static const struct {
    const char* name;
    web_client_auth value;
  } NAMES[] = {{"NoClientCert", WEB_CLIENT_NONE},
               {"RequestClientCert", WEB_CLIENT_REQUEST},
               {"RequireAnyClientCert", WEB_CLIENT_REQUIRE_ANY},
               {"VerifyClientCertIfGiven", WEB_CLIENT_VERIFY_IF_GIVEN},
               {"RequireAndVerifyClientCert", WEB_CLIENT_REQUIRE_VERIFY}};
  for (const auto& n : NAMES) {
    if (strcmp(text, n.name) == 0) {
      *out = n.value;
      return true;
    }
  }
  return false;
}

// Loads the TLS files and checks that GnuTLS takes them as they will be used.
bool load_tls(const char* path, const tls_files& f, web_config* out, char* error, size_t size) {
  if (f.cert == nullptr || f.key == nullptr) {
    return fail(error, size, "tls_server_config needs both cert_file and key_file");
  }
  if (f.client_auth != nullptr && !parse_client_auth(f.client_auth, &out->client_auth)) {
    return fail(error, size, "tls_server_config: client_auth_type '%s' is none of NoClientCert, "
                "RequestClientCert, RequireAnyClientCert, VerifyClientCertIfGiven, "
                "RequireAndVerifyClientCert", f.client_auth);
  }
  if (out->client_auth != WEB_CLIENT_NONE && f.client_ca == nullptr) {
    return fail(error, size, "tls_server_config: client_auth_type %s needs client_ca_file", f.client_auth);
  }
  if ((out->cert_pem = read_named(path, f.cert, error, size)) == nullptr ||
      (out->key_pem = read_named(path, f.key, error, size)) == nullptr) {
    return false;
  }
  if (f.client_ca != nullptr && (out->client_ca_pem = read_named(path, f.client_ca, error, size)) == nullptr) {
    return false;
  }
  gnutls_certificate_credentials_t cred;
  if (gnutls_certificate_allocate_credentials(&cred) < 0) return fail(error, size, "out of memory");
  gnutls_datum_t cert = {reinterpret_cast<unsigned char*>(out->cert_pem),
                         static_cast<unsigned>(strlen(out->cert_pem))};
  gnutls_datum_t key = {reinterpret_cast<unsigned char*>(out->key_pem),
                        static_cast<unsigned>(strlen(out->key_pem))};
  int rc = gnutls_certificate_set_x509_key_mem(cred, &cert, &key, GNUTLS_X509_FMT_PEM);
  bool ok = rc >= 0 || fail(error, size, "%s and %s: %s", f.cert, f.key, gnutls_strerror(rc));
  if (ok && out->client_ca_pem != nullptr) {
    gnutls_datum_t ca = {reinterpret_cast<unsigned char*>(out->client_ca_pem),
                         static_cast<unsigned>(strlen(out->client_ca_pem))};
    rc = gnutls_certificate_set_x509_trust_mem(cred, &ca, GNUTLS_X509_FMT_PEM);
    if (rc <= 0) ok = fail(error, size, "%s: %s", f.client_ca, rc < 0 ? gnutls_strerror(rc) : "no certificate");
  }
  gnutls_certificate_free_credentials(cred);
  return ok;
}

bool add_user(web_config* out, const char* name, const char* hash, char* error, size_t size) {
  for (size_t i = 0; i < out->user_count; ++i) {
    if (strcmp(out->users[i].name, name) == 0) return fail(error, size, "basic_auth_users: %s given twice", name);
  }
  if (out->user_count == WEB_CONFIG_MAX_USERS) {
    return fail(error, size, "basic_auth_users: more than %zu users", WEB_CONFIG_MAX_USERS);
  }
  if (name[0] == '\0' || strchr(name, ':') != nullptr) {
    return fail(error, size, "basic_auth_users: a user name must be given and hold no ':'");
  }
  if (!web_bcrypt_form(hash)) {
    return fail(error, size, "basic_auth_users: the password of %s is not a bcrypt hash ($2y$...)", name);
  }
  web_user* grown = static_cast<web_user*>(realloc(out->users, (out->user_count + 1) * sizeof *grown));
  if (grown == nullptr) return fail(error, size, "out of memory");
  out->users = grown;
  web_user& u = out->users[out->user_count];
  u.name = strdup(name);
  u.hash = strdup(hash);
  ++out->user_count;
  return (u.name != nullptr && u.hash != nullptr) || fail(error, size, "out of memory");
}

bool parse(reader* r, const char* path, web_config* out, tls_files* tls) {
  yaml_event_t e;
  if (!next(r, &e)) return false;  // the stream's start
  yaml_event_delete(&e);
  if (!next(r, &e)) return false;
  if (e.type == YAML_STREAM_END_EVENT) {
    yaml_event_delete(&e);
    return fail(r->error, r->error_size, "holds no settings");
  }
  yaml_event_delete(&e);  // the document's start
  if (!next(r, &e)) return false;
  const bool mapping = e.type == YAML_MAPPING_START_EVENT;
  yaml_event_delete(&e);
  if (!mapping) return fail(r->error, r->error_size, "not a mapping of tls_server_config and basic_auth_users");
  bool have_tls = false, have_users = false;
  for (;;) {
    if (!next(r, &e)) return false;
    if (e.type == YAML_MAPPING_END_EVENT) {
      yaml_event_delete(&e);
      break;
    }
    char key[32] = "";
    if (e.type == YAML_SCALAR_EVENT) snprintf(key, sizeof key, "%s", reinterpret_cast<char*>(e.data.scalar.value));
    const size_t line = e.start_mark.line + 1;
    yaml_event_delete(&e);
    bool ok;
    if (strcmp(key, "tls_server_config") == 0 && !have_tls) {
      have_tls = true;
      ok = read_section(r, key, [&](const char* k, const char* v) {
        if (strcmp(k, "cert_file") == 0) return set_once(&tls->cert, k, v, r->error, r->error_size);
        if (strcmp(k, "key_file") == 0) return set_once(&tls->key, k, v, r->error, r->error_size);
        if (strcmp(k, "client_ca_file") == 0) return set_once(&tls->client_ca, k, v, r->error, r->error_size);
        if (strcmp(k, "client_auth_type") == 0) return set_once(&tls->client_auth, k, v, r->error, r->error_size);
        return fail(r->error, r->error_size, "tls_server_config: unitmon does not know '%.40s'", k);
      });
    } else if (strcmp(key, "basic_auth_users") == 0 && !have_users) {
      have_users = true;
      ok = read_section(r, key, [&](const char* k, const char* v) {
        return add_user(out, k, v, r->error, r->error_size);
      });
    } else {
      if (key[0] == '\0') return fail(r->error, r->error_size, "line %zu: a key must be a name", line);
      return fail(r->error, r->error_size, "line %zu: unitmon does not know '%s'%s", line, key,
                  have_tls || have_users ? " (or it is given twice)" : "");
    }
    if (!ok) return false;
  }
  if (!next(r, &e)) return false;  // the document's end
  yaml_event_delete(&e);
  if (!next(r, &e)) return false;
  const bool end = e.type == YAML_STREAM_END_EVENT;
  yaml_event_delete(&e);
  if (!end) return fail(r->error, r->error_size, "holds more than one document");
  if (have_tls && tls->cert == nullptr && tls->key == nullptr && tls->client_ca == nullptr &&
      tls->client_auth == nullptr) {
    return fail(r->error, r->error_size, "tls_server_config is empty");
  }
  return !have_tls || load_tls(path, *tls, out, r->error, r->error_size);
}

}  // namespace

bool web_bcrypt_form(const char* hash) {
  // $2y$NN$ then 53 characters of bcrypt's base64.
  if (strlen(hash) != 60 || hash[0] != '$' || hash[1] != '2' || strchr("aby", hash[2]) == nullptr ||
      hash[2] == '\0' || hash[3] != '$' || hash[6] != '$') {
    return false;
  }
  if (hash[4] < '0' || hash[4] > '3' || hash[5] < '0' || hash[5] > '9') return false;
  const int cost = (hash[4] - '0') * 10 + (hash[5] - '0');
  if (cost < 4 || cost > 31) return false;
  static const char ALPHABET[] = "./ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  for (size_t i = 7; i < 60; ++i) {
    if (strchr(ALPHABET, hash[i]) == nullptr) return false;
  }
  return true;
}

bool web_config_load(const char* path, web_config* out, char* error, size_t error_size) {
  memset(out, 0, sizeof *out);
  char* text = read_file(path, WEB_CONFIG_MAX_BYTES, error, error_size);
  if (text == nullptr) return false;
  reader r;
  r.error = error;
  r.error_size = error_size;
  tls_files tls = {};
  bool ok = yaml_parser_initialize(&r.parser) != 0;
  if (!ok) {
    fail(error, error_size, "out of memory");
  } else {
    yaml_parser_set_input_string(&r.parser, reinterpret_cast<const unsigned char*>(text), strlen(text));
    char inner[256];
    r.error = inner;
    r.error_size = sizeof inner;
    ok = parse(&r, path, out, &tls);
    if (!ok) fail(error, error_size, "%s: %s", path, inner);
    yaml_parser_delete(&r.parser);
  }
  free(tls.cert);
  free(tls.key);
  free(tls.client_ca);
  free(tls.client_auth);
  free(text);
  if (!ok) web_config_free(out);
  return ok;
}

void web_config_free(web_config* c) {
  free(c->cert_pem);
  free(c->key_pem);
  free(c->client_ca_pem);
  for (size_t i = 0; i < c->user_count; ++i) {
    free(c->users[i].name);
    free(c->users[i].hash);
  }
  free(c->users);
  memset(c, 0, sizeof *c);
}

#include "exporter.h"

#include <errno.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#if UNITMON_GZIP
#include "web_encode.h"
#endif
#if UNITMON_WEB_CONFIG
#include <gnutls/gnutls.h>

#include "monotonic_clock.h"
#include "web_auth.h"
#include "web_config.h"
#endif

namespace {

constexpr unsigned CONNECTIONS_MAX = 32;
constexpr unsigned CONNECTIONS_PER_CLIENT = 8;
constexpr unsigned IDLE_S = 10;
constexpr size_t CONNECTION_MEMORY = 64 * 1024;  // a request larger than this is refused

const char CONTENT_TYPE[] = "text/plain; version=0.0.4; charset=utf-8";
const char PAGE_TYPE[] = "text/html; charset=utf-8";

MHD_Response* text_response(const char* text) {
  MHD_Response* response =
      MHD_create_response_from_buffer(strlen(text), const_cast<char*>(text), MHD_RESPMEM_PERSISTENT);
  if (response != nullptr) MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "text/plain; charset=utf-8");
  return response;
}

MHD_Result answer_text(MHD_Connection* connection, unsigned status, const char* text) {
  MHD_Response* response = text_response(text);
  if (response == nullptr) return MHD_NO;
  if (status == MHD_HTTP_METHOD_NOT_ALLOWED) MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
  const MHD_Result r = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return r;
}

}  // namespace

struct exporter {
  MHD_Daemon* daemon;
  int epoll_fd;
  exporter_render render;
  void* context;
  const web_config* web;
#if UNITMON_WEB_CONFIG
  web_auth_cache passwords;
#endif
};

namespace {

#if UNITMON_WEB_CONFIG
// The client certificate as the configuration asks; nullptr when it passes,
// otherwise why not.
const char* client_refused(const web_config* web, MHD_Connection* connection) {
  if (web->client_auth == WEB_CLIENT_NONE || web->client_auth == WEB_CLIENT_REQUEST) return nullptr;
  const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_GNUTLS_SESSION);
  if (info == nullptr) return "no TLS session\n";
  gnutls_session_t session = static_cast<gnutls_session_t>(info->tls_session);
  unsigned count = 0;
  const bool given = gnutls_certificate_get_peers(session, &count) != nullptr && count != 0;
  if (!given) {
    return web->client_auth == WEB_CLIENT_VERIFY_IF_GIVEN ? nullptr : "a client certificate is required\n";
  }
  if (web->client_auth == WEB_CLIENT_REQUIRE_ANY) return nullptr;
  unsigned status = 0;
  if (gnutls_certificate_verify_peers2(session, &status) < 0 || status != 0) {
    return "the client certificate is not signed by the configured authority\n";
  }
  return nullptr;
}

// True when the request may go on; otherwise the answer is queued in *r.
bool admitted(exporter* e, MHD_Connection* connection, MHD_Result* r) {
  if (e->web == nullptr) return true;
  if (const char* why = client_refused(e->web, connection)) {
    *r = answer_text(connection, MHD_HTTP_FORBIDDEN, why);
    return false;
  }
  if (e->web->user_count == 0) return true;
  char* password = nullptr;
  char* user = MHD_basic_auth_get_username_password(connection, &password);
  const bool ok = user != nullptr && password != nullptr &&
                  web_auth_check(&e->passwords, e->web, user, password, monotonic_ms());
  if (password != nullptr) {
    memset(password, 0, strlen(password));
    MHD_free(password);
  }
  if (user != nullptr) MHD_free(user);
  if (ok) return true;
  MHD_Response* response = text_response("a user and password are required\n");
  *r = response != nullptr ? MHD_queue_basic_auth_fail_response(connection, "unitmon", response) : MHD_NO;
  if (response != nullptr) MHD_destroy_response(response);
  return false;
}
#else
bool admitted(exporter*, MHD_Connection*, MHD_Result*) { return true; }
#endif

MHD_Result on_request(void* cls, MHD_Connection* connection, const char* url, const char* method,
                      const char*, const char*, size_t* upload_size, void** request) {
  exporter* e = static_cast<exporter*>(cls);
  // The first call comes with the headers; answering only once the whole
  // request is in (a body is read and dropped) lets the connection be kept.
  static int seen;
  if (*request == nullptr) {
    *request = &seen;
    return MHD_YES;
  }
  if (*upload_size != 0) {
    *upload_size = 0;
    return MHD_YES;
  }
  if (strcmp(method, MHD_HTTP_METHOD_GET) != 0 && strcmp(method, MHD_HTTP_METHOD_HEAD) != 0) {
    return answer_text(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "only GET and HEAD\n");
  }
  const bool page = strcmp(url, "/") == 0;
  if (!page && strcmp(url, "/metrics") != 0) {
    return answer_text(connection, MHD_HTTP_NOT_FOUND, "the metrics are at /metrics, the fleet at /\n");
  }
  MHD_Result refused;
  if (!admitted(e, connection, &refused)) return refused;
  text_buffer text = {nullptr, 0, 0, false};
  e->render(e->context, page ? EXPORTER_PAGE : EXPORTER_METRICS, &text);
  if (text.failed) {
    free(text.data);
    return answer_text(connection, MHD_HTTP_INTERNAL_SERVER_ERROR, "out of memory\n");
  }
  bool gzipped = false;
#if UNITMON_GZIP
  if (web_accepts_gzip(MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_ACCEPT_ENCODING))) {
    text_buffer packed;
    if (web_gzip(text.data, text.len, &packed)) {
      free(text.data);
      text = packed;
      gzipped = true;
    }
  }
#endif
  MHD_Response* response = MHD_create_response_from_buffer(text.len, text.data, MHD_RESPMEM_MUST_FREE);
  if (response == nullptr) {
    free(text.data);
    return MHD_NO;
  }
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, page ? PAGE_TYPE : CONTENT_TYPE);
  MHD_add_response_header(response, MHD_HTTP_HEADER_VARY, MHD_HTTP_HEADER_ACCEPT_ENCODING);
  if (gzipped) MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_ENCODING, "gzip");
  const MHD_Result r = MHD_queue_response(connection, MHD_HTTP_OK, response);
  MHD_destroy_response(response);
  return r;
}

// A listening socket on the address; -1 with errno.
int listen_on(const sockaddr* address, socklen_t address_len) {
  const int fd = socket(address->sa_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  int one = 1, zero = 0;
  // Both families on one socket where the system allows.
  if (address->sa_family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
      bind(fd, address, address_len) != 0 || listen(fd, 64) != 0) {
    const int saved = errno;
    close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

}  // namespace

exporter* exporter_start(const sockaddr* address, socklen_t address_len, const web_config* web,
                         exporter_render render, void* context) {
  int fd = listen_on(address, address_len);
  if (fd < 0 && errno == EAFNOSUPPORT && address->sa_family == AF_INET6 &&
      memcmp(&reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, &in6addr_any, sizeof in6addr_any) == 0) {
    sockaddr_in any = {};
    any.sin_family = AF_INET;
    any.sin_port = reinterpret_cast<const sockaddr_in6*>(address)->sin6_port;
    fd = listen_on(reinterpret_cast<const sockaddr*>(&any), sizeof any);
  }
  if (fd < 0) return nullptr;
  exporter* e = static_cast<exporter*>(calloc(1, sizeof *e));
  if (e == nullptr) {
    close(fd);
    errno = ENOMEM;
    return nullptr;
  }
  e->render = render;
  e->context = context;
  e->web = web;
  MHD_OptionItem options[12] = {
      {MHD_OPTION_LISTEN_SOCKET, fd, nullptr},
      {MHD_OPTION_CONNECTION_LIMIT, CONNECTIONS_MAX, nullptr},
      {MHD_OPTION_PER_IP_CONNECTION_LIMIT, CONNECTIONS_PER_CLIENT, nullptr},
      {MHD_OPTION_CONNECTION_TIMEOUT, IDLE_S, nullptr},
      {MHD_OPTION_CONNECTION_MEMORY_LIMIT, CONNECTION_MEMORY, nullptr},
  };
  size_t n = 5;
  unsigned flags = MHD_USE_EPOLL;
#if UNITMON_WEB_CONFIG
  if (web != nullptr && web->cert_pem != nullptr) {
    flags |= MHD_USE_TLS;
    options[n++] = {MHD_OPTION_HTTPS_MEM_CERT, 0, web->cert_pem};
    options[n++] = {MHD_OPTION_HTTPS_MEM_KEY, 0, web->key_pem};
    // TLS 1.2 and 1.3 only, as the other exporters.
    options[n++] = {MHD_OPTION_HTTPS_PRIORITIES, 0, const_cast<char*>("NORMAL:-VERS-TLS1.1:-VERS-TLS1.0")};
    if (web->client_ca_pem != nullptr) options[n++] = {MHD_OPTION_HTTPS_MEM_TRUST, 0, web->client_ca_pem};
  }
#endif
  options[n] = {MHD_OPTION_END, 0, nullptr};
  e->daemon = MHD_start_daemon(flags, 0, nullptr, nullptr, on_request, e, MHD_OPTION_ARRAY, options,
                               MHD_OPTION_END);
  const MHD_DaemonInfo* info =
      e->daemon != nullptr ? MHD_get_daemon_info(e->daemon, MHD_DAEMON_INFO_EPOLL_FD) : nullptr;
  if (info == nullptr) {
    if (e->daemon != nullptr) {
      MHD_stop_daemon(e->daemon);  // closes the socket too
    } else {
      close(fd);
    }
    free(e);
    errno = 0;
    return nullptr;
  }
  e->epoll_fd = info->epoll_fd;
  return e;
}

int exporter_fd(const exporter* e) { return e->epoll_fd; }

int64_t exporter_timeout_ms(exporter* e) {
  MHD_UNSIGNED_LONG_LONG ms = 0;
  if (MHD_get_timeout(e->daemon, &ms) != MHD_YES) return -1;
  return ms > INT64_MAX ? INT64_MAX : static_cast<int64_t>(ms);
}

void exporter_run(exporter* e) { MHD_run(e->daemon); }

void exporter_stop(exporter* e) {
  MHD_stop_daemon(e->daemon);  // closes the listening socket
  free(e);
}

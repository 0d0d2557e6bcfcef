#include "exporter.h"

#include <errno.h>
#include <fcntl.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "monotonic_clock.h"
#if UNITMON_GZIP
#include "web_encode.h"
#endif
#if UNITMON_WEB_CONFIG
#include <gnutls/gnutls.h>

#include "web_auth.h"
#include "web_config.h"
#endif

namespace {

constexpr unsigned CONNECTIONS_MAX = 32;
constexpr unsigned CONNECTIONS_PER_CLIENT = 8;
constexpr uint64_t REQUEST_WITHIN_MS = 3000;     // from the connection, or the last answer
constexpr uint64_t ANSWER_WITHIN_MS = 30000;     // a client that reads too slowly is ended
constexpr unsigned IDLE_S = 10;                  // no byte either way for this long ends it
constexpr size_t CONNECTION_MEMORY = 64 * 1024;  // a request larger than this is refused
constexpr uint64_t DOCUMENT_FOR_MS = 1000;       // a document serves this long
constexpr int GUARD_EVERY_MS = 100;
constexpr int SERVER_NICENESS = 10;

const char* const CONTENT_TYPES[] = {"text/plain; version=0.0.4; charset=utf-8", "text/html; charset=utf-8"};

// A connection handed to libmicrohttpd; fd -1 when the slot is free.
struct slot {
  int fd;
  sockaddr_storage peer;
  uint64_t waiting_since_ms;  // 0 while a request is being answered
  uint64_t answering_since_ms;
};

// A rendered document's text, shared by the responses made of it: freed
// with the last of them. Only the server thread touches it.
struct shared_text {
  unsigned refs;
  size_t len;
  char* data;
};

void text_release(void* cls) {
  shared_text* t = static_cast<shared_text*>(cls);
  if (--t->refs != 0) return;
  free(t->data);
  free(t);
}

// A document of the last second: its text, and the responses made of it
// so far (plain, and gzipped once a client took it).
struct document {
  shared_text* text;
  MHD_Response* plain;
  MHD_Response* gzipped;
  uint64_t rendered_ms;
};

void document_drop(document* d) {
  // Connections still sending the old responses hold their own reference.
  if (d->plain != nullptr) MHD_destroy_response(d->plain);
  if (d->gzipped != nullptr) MHD_destroy_response(d->gzipped);
  if (d->text != nullptr) text_release(d->text);
  *d = document{};
}

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

bool same_host(const sockaddr_storage* a, const sockaddr_storage* b) {
  if (a->ss_family != b->ss_family) return false;
  if (a->ss_family == AF_INET) {
    return reinterpret_cast<const sockaddr_in*>(a)->sin_addr.s_addr ==
           reinterpret_cast<const sockaddr_in*>(b)->sin_addr.s_addr;
  }
  if (a->ss_family == AF_INET6) {
    return memcmp(&reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr,
                  &reinterpret_cast<const sockaddr_in6*>(b)->sin6_addr, sizeof(in6_addr)) == 0;
  }
  return false;
}

int connection_fd(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
  return info != nullptr ? info->connect_fd : -1;
}

}  // namespace

struct exporter {
  MHD_Daemon* daemon;
  int listen_fd;
  int epoll_fd;                // libmicrohttpd's
  int wake[2];                 // written to stop the server thread
  pthread_t thread;
  snapshot_source source;
  exporter_render render;
  void* context;
  const web_config* web;
  // The rest belongs to the server thread: libmicrohttpd runs in it, and
  // the connections are accepted there.
  slot slots[CONNECTIONS_MAX];
  document documents[2];       // by exporter_document
#if UNITMON_WEB_CONFIG
  web_auth_cache passwords;
#endif
};

namespace {

slot* find_slot(exporter* e, int fd) {
  for (slot& s : e->slots) {
    if (s.fd == fd && fd >= 0) return &s;
  }
  return nullptr;
}

// Ends a connection behind libmicrohttpd's back: it sees the socket shut
// and closes it.
void displace(slot* s) {
  shutdown(s->fd, SHUT_RDWR);
  s->fd = -1;
}

// Connections whose request has not arrived in time, or whose answer is
// taken too slowly, are ended.
void end_late_requests(exporter* e, uint64_t now) {
  for (slot& s : e->slots) {
    if (s.fd < 0) continue;
    if (s.waiting_since_ms != 0 ? now - s.waiting_since_ms > REQUEST_WITHIN_MS
                                : now - s.answering_since_ms > ANSWER_WITHIN_MS) {
      displace(&s);
    }
  }
}

// A slot for a new connection from `peer`: a free one, else the one that
// has waited longest for its request; nullptr when the client holds its
// share or every connection is being answered.
slot* slot_for(exporter* e, const sockaddr_storage* peer) {
  slot* free_slot = nullptr;
  slot* oldest = nullptr;
  unsigned same = 0;
  for (slot& s : e->slots) {
    if (s.fd < 0) {
      if (free_slot == nullptr) free_slot = &s;
      continue;
    }
    if (same_host(&s.peer, peer)) ++same;
    if (s.waiting_since_ms != 0 && (oldest == nullptr || s.waiting_since_ms < oldest->waiting_since_ms)) oldest = &s;
  }
  if (same >= CONNECTIONS_PER_CLIENT) return nullptr;
  if (free_slot != nullptr) return free_slot;
  if (oldest != nullptr) displace(oldest);
  return oldest;
}

void accept_connections(exporter* e) {
  for (;;) {
    sockaddr_storage peer;
    socklen_t peer_len = sizeof peer;
    const int fd = accept4(e->listen_fd, reinterpret_cast<sockaddr*>(&peer), &peer_len, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return;  // EAGAIN, or out of descriptors: the guard comes back
    }
    const uint64_t now = monotonic_ms();
    end_late_requests(e, now);
    slot* s = slot_for(e, &peer);
    if (s == nullptr) {
      close(fd);
      continue;
    }
    s->fd = fd;
    s->peer = peer;
    s->waiting_since_ms = now;
    if (MHD_add_connection(e->daemon, fd, reinterpret_cast<sockaddr*>(&peer), peer_len) != MHD_YES) {
      s->fd = -1;  // libmicrohttpd closed it
    }
  }
}

void* serve(void* arg) {
  exporter* e = static_cast<exporter*>(arg);
  // Reception comes first when the CPU is short: this thread yields to it.
  // Where that is refused (a sandbox), it runs as it is.
  setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), SERVER_NICENESS);
  for (;;) {
    int wait_ms = GUARD_EVERY_MS;
    MHD_UNSIGNED_LONG_LONG due = 0;
    if (MHD_get_timeout(e->daemon, &due) == MHD_YES && due < static_cast<MHD_UNSIGNED_LONG_LONG>(wait_ms)) {
      wait_ms = static_cast<int>(due);
    }
    pollfd pfd[3] = {{e->listen_fd, POLLIN, 0}, {e->epoll_fd, POLLIN, 0}, {e->wake[0], POLLIN, 0}};
    if (poll(pfd, 3, wait_ms) < 0 && errno != EINTR) break;
    if (pfd[2].revents != 0) break;
    if (pfd[0].revents != 0) accept_connections(e);
    MHD_run(e->daemon);
    end_late_requests(e, monotonic_ms());
  }
  return nullptr;
}

void set_waiting(exporter* e, MHD_Connection* connection, uint64_t since_ms) {
  slot* s = find_slot(e, connection_fd(connection));
  if (s == nullptr) return;
  if (since_ms == 0 && s->waiting_since_ms != 0) s->answering_since_ms = monotonic_ms();
  s->waiting_since_ms = since_ms;
}

void on_completed(void* cls, MHD_Connection* connection, void**, MHD_RequestTerminationCode) {
  set_waiting(static_cast<exporter*>(cls), connection, monotonic_ms());  // the next request on it
}

void on_connection(void* cls, MHD_Connection* connection, void**, MHD_ConnectionNotificationCode code) {
  if (code != MHD_CONNECTION_NOTIFY_CLOSED) return;
  slot* s = find_slot(static_cast<exporter*>(cls), connection_fd(connection));
  if (s != nullptr) s->fd = -1;
}

// The document of the last second, rebuilt when older, in the form the
// client takes; nullptr when memory ran out.
MHD_Response* document_response(exporter* e, exporter_document which, bool gzip) {
  document* d = &e->documents[which];
  const uint64_t now = monotonic_ms();
  if (d->text == nullptr || now - d->rendered_ms >= DOCUMENT_FOR_MS) {
    document_drop(d);
    fleet_snapshot snapshot;
    if (!e->source(e->context, &snapshot)) return nullptr;
    text_buffer text = {nullptr, 0, 0, false};
    e->render(e->context, which, &snapshot, &text);
    snapshot_free(&snapshot);
    shared_text* t = text.failed ? nullptr : static_cast<shared_text*>(malloc(sizeof *t));
    if (t == nullptr) {
      free(text.data);
      return nullptr;
    }
    *t = {1, text.len, text.data};
    d->text = t;
    d->rendered_ms = now;
  }
#if UNITMON_GZIP
  if (gzip && d->gzipped == nullptr) {
    text_buffer packed;
    if (web_gzip(d->text->data, d->text->len, &packed)) {
      d->gzipped = MHD_create_response_from_buffer(packed.len, packed.data, MHD_RESPMEM_MUST_FREE);
      if (d->gzipped == nullptr) {
        free(packed.data);
      } else {
        MHD_add_response_header(d->gzipped, MHD_HTTP_HEADER_CONTENT_TYPE, CONTENT_TYPES[which]);
        MHD_add_response_header(d->gzipped, MHD_HTTP_HEADER_VARY, MHD_HTTP_HEADER_ACCEPT_ENCODING);
        MHD_add_response_header(d->gzipped, MHD_HTTP_HEADER_CONTENT_ENCODING, "gzip");
      }
    }
  }
  if (gzip && d->gzipped != nullptr) return d->gzipped;
#else
  (void)gzip;
#endif
  if (d->plain == nullptr) {
    d->plain = MHD_create_response_from_buffer_with_free_callback_cls(d->text->len, d->text->data,
                                                                     text_release, d->text);
    if (d->plain == nullptr) return nullptr;
    ++d->text->refs;
    MHD_add_response_header(d->plain, MHD_HTTP_HEADER_CONTENT_TYPE, CONTENT_TYPES[which]);
    MHD_add_response_header(d->plain, MHD_HTTP_HEADER_VARY, MHD_HTTP_HEADER_ACCEPT_ENCODING);
  }
  return d->plain;
}

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
    set_waiting(e, connection, 0);
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
  bool gzip = false;
#if UNITMON_GZIP
  gzip = web_accepts_gzip(MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_ACCEPT_ENCODING));
#endif
  MHD_Response* response = document_response(e, page ? EXPORTER_PAGE : EXPORTER_METRICS, gzip);
  if (response == nullptr) return answer_text(connection, MHD_HTTP_INTERNAL_SERVER_ERROR, "out of memory\n");
  return MHD_queue_response(connection, MHD_HTTP_OK, response);
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
                         snapshot_source source, exporter_render render, void* context) {
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
  if (e == nullptr || pipe2(e->wake, O_CLOEXEC) != 0) {
    const int saved = e == nullptr ? ENOMEM : errno;
    free(e);
    close(fd);
    errno = saved;
    return nullptr;
  }
  e->listen_fd = fd;
  e->source = source;
  e->render = render;
  e->context = context;
  e->web = web;
  for (slot& s : e->slots) s.fd = -1;
  // Displaced connections linger until libmicrohttpd sees them shut: room
  // for them beyond the limit.
  MHD_OptionItem options[12] = {
      {MHD_OPTION_CONNECTION_LIMIT, 4 * CONNECTIONS_MAX, nullptr},
      {MHD_OPTION_CONNECTION_TIMEOUT, IDLE_S, nullptr},
      {MHD_OPTION_CONNECTION_MEMORY_LIMIT, CONNECTION_MEMORY, nullptr},
  };
  size_t n = 3;
  unsigned flags = MHD_USE_EPOLL | MHD_USE_NO_LISTEN_SOCKET;
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
                               MHD_OPTION_NOTIFY_COMPLETED, on_completed, e,
                               MHD_OPTION_NOTIFY_CONNECTION, on_connection, e, MHD_OPTION_END);
  const MHD_DaemonInfo* info =
      e->daemon != nullptr ? MHD_get_daemon_info(e->daemon, MHD_DAEMON_INFO_EPOLL_FD) : nullptr;
  if (info != nullptr) e->epoll_fd = info->epoll_fd;
  if (info == nullptr || pthread_create(&e->thread, nullptr, serve, e) != 0) {
    if (e->daemon != nullptr) MHD_stop_daemon(e->daemon);
    close(fd);
    close(e->wake[0]);
    close(e->wake[1]);
    free(e);
    errno = 0;
    return nullptr;
  }
  return e;
}

void exporter_stop(exporter* e) {
  const char stop = 1;
  if (write(e->wake[1], &stop, 1) != 1) shutdown(e->listen_fd, SHUT_RDWR);
  pthread_join(e->thread, nullptr);
  MHD_stop_daemon(e->daemon);  // ends the connections it holds
  for (document& d : e->documents) document_drop(&d);
  close(e->listen_fd);
  close(e->wake[0]);
  close(e->wake[1]);
  free(e);
}

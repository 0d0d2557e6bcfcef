#include "exporter.h"

#include <errno.h>
#include <fcntl.h>
#include <microhttpd.h>
#include <poll.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "monotonic_clock.h"

namespace {

constexpr unsigned CONNECTIONS_MAX = 32;
constexpr unsigned CONNECTIONS_PER_CLIENT = 8;
constexpr uint64_t REQUEST_WITHIN_MS = 3000;     // from the connection, or the last answer
constexpr uint64_t ANSWER_WITHIN_MS = 30000;     // a client that reads too slowly is ended
constexpr unsigned IDLE_S = 10;                  // no byte either way for this long ends it
constexpr size_t CONNECTION_MEMORY = 16 * 1024;  // a request larger than this is refused
constexpr uint64_t EXPOSITION_FOR_MS = 1000;     // an exposition serves this long
constexpr int GUARD_EVERY_MS = 100;
constexpr int SERVER_NICENESS = 10;

const char CONTENT_TYPE[] = "text/plain; version=0.0.4; charset=utf-8";

// A connection handed to libmicrohttpd; fd -1 when the slot is free.
struct slot {
  int fd;
  sockaddr_storage peer;
  uint64_t waiting_since_ms;  // 0 while a request is being answered
  uint64_t answering_since_ms;
};

MHD_Result answer_text(MHD_Connection* connection, unsigned status, const char* text) {
  MHD_Response* response =
      MHD_create_response_from_buffer(strlen(text), const_cast<char*>(text), MHD_RESPMEM_PERSISTENT);
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "text/plain; charset=utf-8");
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
  void* context;
  // The rest belongs to the server thread: libmicrohttpd runs in it, and
  // the connections are accepted there.
  slot slots[CONNECTIONS_MAX];
  MHD_Response* exposition;
  uint64_t rendered_ms;
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

// The exposition of the last second, rebuilt when older; nullptr when
// memory ran out.
MHD_Response* exposition(exporter* e) {
  const uint64_t now = monotonic_ms();
  if (e->exposition != nullptr && now - e->rendered_ms < EXPOSITION_FOR_MS) return e->exposition;
  fleet_snapshot snapshot;
  if (!e->source(e->context, &snapshot)) return nullptr;
  text_buffer text = {nullptr, 0, 0, false};
  metrics_render(&text, &snapshot);
  snapshot_free(&snapshot);
  if (text.failed) {
    free(text.data);
    return nullptr;
  }
  MHD_Response* response = MHD_create_response_from_buffer(text.len, text.data, MHD_RESPMEM_MUST_FREE);
  if (response == nullptr) {
    free(text.data);
    return nullptr;
  }
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, CONTENT_TYPE);
  // Connections still sending the old one hold their own reference.
  if (e->exposition != nullptr) MHD_destroy_response(e->exposition);
  e->exposition = response;
  e->rendered_ms = now;
  return response;
}

MHD_Result on_request(void* cls, MHD_Connection* connection, const char* url, const char* method,
                      const char*, const char*, size_t*, void**) {
  exporter* e = static_cast<exporter*>(cls);
  set_waiting(e, connection, 0);
  if (strcmp(method, MHD_HTTP_METHOD_GET) != 0 && strcmp(method, MHD_HTTP_METHOD_HEAD) != 0) {
    return answer_text(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "only GET and HEAD\n");
  }
  if (strcmp(url, "/metrics") != 0) {
    return answer_text(connection, MHD_HTTP_NOT_FOUND, "the metrics are at /metrics\n");
  }
  MHD_Response* response = exposition(e);
  if (response == nullptr) return answer_text(connection, MHD_HTTP_INTERNAL_SERVER_ERROR, "out of memory\n");
  return MHD_queue_response(connection, MHD_HTTP_OK, response);
}

}  // namespace

exporter* exporter_start(const sockaddr_in* address, snapshot_source source, void* context) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return nullptr;
  int one = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
      bind(fd, reinterpret_cast<const sockaddr*>(address), sizeof *address) != 0 ||
      listen(fd, 128) != 0) {
    const int saved = errno;
    close(fd);
    errno = saved;
    return nullptr;
  }
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
  e->context = context;
  for (slot& s : e->slots) s.fd = -1;
  // Displaced connections linger until libmicrohttpd sees them shut: room
  // for them beyond the limit.
  e->daemon = MHD_start_daemon(
      MHD_USE_EPOLL | MHD_USE_NO_LISTEN_SOCKET, 0, nullptr, nullptr, on_request, e,
      MHD_OPTION_CONNECTION_LIMIT, 4 * CONNECTIONS_MAX,
      MHD_OPTION_CONNECTION_TIMEOUT, IDLE_S,
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, CONNECTION_MEMORY,
      MHD_OPTION_NOTIFY_COMPLETED, on_completed, e,
      MHD_OPTION_NOTIFY_CONNECTION, on_connection, e,
      MHD_OPTION_END);
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
  if (e->exposition != nullptr) MHD_destroy_response(e->exposition);
  close(e->listen_fd);
  close(e->wake[0]);
  close(e->wake[1]);
  free(e);
}

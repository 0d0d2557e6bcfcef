#include "exporter.h"

#include <errno.h>
#include <microhttpd.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr unsigned CONNECTIONS_MAX = 32;
constexpr unsigned CONNECTIONS_PER_CLIENT = 8;
constexpr unsigned IDLE_S = 10;
constexpr size_t CONNECTION_MEMORY = 16 * 1024;  // a request larger than this is refused

const char CONTENT_TYPE[] = "text/plain; version=0.0.4; charset=utf-8";

MHD_Result answer_text(MHD_Connection* connection, unsigned status, const char* text) {
  MHD_Response* response =
      MHD_create_response_from_buffer(strlen(text), const_cast<char*>(text), MHD_RESPMEM_PERSISTENT);
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "text/plain; charset=utf-8");
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
};

namespace {

MHD_Result on_request(void* cls, MHD_Connection* connection, const char* url, const char* method,
                      const char*, const char*, size_t*, void**) {
  exporter* e = static_cast<exporter*>(cls);
  if (strcmp(method, MHD_HTTP_METHOD_GET) != 0 && strcmp(method, MHD_HTTP_METHOD_HEAD) != 0) {
    return answer_text(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "only GET and HEAD\n");
  }
  if (strcmp(url, "/metrics") != 0) {
    return answer_text(connection, MHD_HTTP_NOT_FOUND, "the metrics are at /metrics\n");
  }
  text_buffer text = {nullptr, 0, 0, false};
  e->render(e->context, &text);
  if (text.failed) {
    free(text.data);
    return answer_text(connection, MHD_HTTP_INTERNAL_SERVER_ERROR, "out of memory\n");
  }
  MHD_Response* response = MHD_create_response_from_buffer(text.len, text.data, MHD_RESPMEM_MUST_FREE);
  if (response == nullptr) {
    free(text.data);
    return MHD_NO;
  }
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, CONTENT_TYPE);
  const MHD_Result r = MHD_queue_response(connection, MHD_HTTP_OK, response);
  MHD_destroy_response(response);
  return r;
}

}  // namespace

exporter* exporter_start(const sockaddr_in* address, exporter_render render, void* context) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return nullptr;
  int one = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
      bind(fd, reinterpret_cast<const sockaddr*>(address), sizeof *address) != 0 ||
      listen(fd, 64) != 0) {
    const int saved = errno;
    close(fd);
    errno = saved;
    return nullptr;
  }
  exporter* e = static_cast<exporter*>(calloc(1, sizeof *e));
  if (e == nullptr) {
    close(fd);
    errno = ENOMEM;
    return nullptr;
  }
  e->render = render;
  e->context = context;
  e->daemon = MHD_start_daemon(
      MHD_USE_EPOLL, 0, nullptr, nullptr, on_request, e,
      MHD_OPTION_LISTEN_SOCKET, fd,
      MHD_OPTION_CONNECTION_LIMIT, CONNECTIONS_MAX,
      MHD_OPTION_PER_IP_CONNECTION_LIMIT, CONNECTIONS_PER_CLIENT,
      MHD_OPTION_CONNECTION_TIMEOUT, IDLE_S,
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, CONNECTION_MEMORY,
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

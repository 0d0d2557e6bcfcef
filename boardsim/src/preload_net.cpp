// The network: datagrams to other hosts are captured, not sent (to
// <dir>/datagrams, and as pcap to <dir>/datagrams.pcap); with net.mode=real
// they are sent, but only from a network namespace of their own. The
// resolver may be told to fail.
#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cinttypes>
#include <string>

#include "netns.h"
#include "pcap.h"
#include "preload.h"

namespace boardsim::preload {
namespace {

using sendto_t = ssize_t (*)(int, const void*, size_t, int, const struct sockaddr*, socklen_t);
using gethostbyname_t = struct hostent* (*)(const char*);

REAL(sendto, sendto_t)
REAL(gethostbyname, gethostbyname_t)

bool loopback(const struct sockaddr* a, socklen_t len) {
  if (a->sa_family == AF_INET && len >= sizeof(sockaddr_in)) {
    sockaddr_in in;
    memcpy(&in, a, sizeof in);
    return (ntohl(in.sin_addr.s_addr) >> 24) == 127;
  }
  if (a->sa_family == AF_INET6 && len >= sizeof(sockaddr_in6)) {
    sockaddr_in6 in6;
    memcpy(&in6, a, sizeof in6);
    return IN6_IS_ADDR_LOOPBACK(&in6.sin6_addr) ||
           (IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr) && in6.sin6_addr.s6_addr[12] == 127);
  }
  return true;  // not an internet address (unix sockets and the like)
}

std::string describe(const struct sockaddr* a) {
  char buf[INET6_ADDRSTRLEN + 16] = "?";
  if (a->sa_family == AF_INET) {
    sockaddr_in in;
    memcpy(&in, a, sizeof in);
    char ip[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &in.sin_addr, ip, sizeof ip);
    snprintf(buf, sizeof buf, "%s:%u", ip, static_cast<unsigned>(ntohs(in.sin_port)));
  } else if (a->sa_family == AF_INET6) {
    sockaddr_in6 in6;
    memcpy(&in6, a, sizeof in6);
    char ip[INET6_ADDRSTRLEN];
    inet_ntop(AF_INET6, &in6.sin6_addr, ip, sizeof ip);
    snprintf(buf, sizeof buf, "[%s]:%u", ip, static_cast<unsigned>(ntohs(in6.sin6_port)));
  }
  return buf;
}

}  // namespace

namespace {

// net.mode=real: sends only from a network namespace other than the
// machine's. 1: send, 0: capture (the machine's own namespace), -1: cannot
// tell, refused.
int real_send_allowed(SimBoard* b) {
  const std::string self = netns_link("/proc/self/ns/net");
  const std::string ref = board_reference_netns(b->dir, b->lock);
  if (self.empty() || ref == "unknown") return -1;
  return self != ref ? 1 : 0;
}

// Said once per process: why net.mode=real sends nothing.
void say_real_refused(SimBoard* b) {
  static bool said = false;
  if (said) return;
  said = true;
  const std::string line = "boardsim: net.mode=real refused: the board's first process could not tell its "
                           "network namespace from the machine's (" + b->path("net.reference") +
                           "); datagrams are neither sent nor captured\n";
  const ssize_t w = write(STDERR_FILENO, line.data(), line.size());
  (void)w;
}

}  // namespace
}  // namespace boardsim::preload

using namespace boardsim;
using namespace boardsim::preload;

extern "C" {

EXPORT ssize_t sendto(int fd, const void* buf, size_t n, int flags, const struct sockaddr* to,
                      socklen_t tolen) {
  if (in_sim) return real_sendto()(fd, buf, n, flags, to, tolen);
  Inside inside;
  sockaddr_storage peer;
  const struct sockaddr* dest = to;
  socklen_t dlen = tolen;
  if (!dest) {
    socklen_t plen = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &plen) == 0) {
      dest = reinterpret_cast<sockaddr*>(&peer);
      dlen = plen;
    }
  }
  if (!dest || loopback(dest, dlen)) return real_sendto()(fd, buf, n, flags, to, tolen);
  SimBoard* b = current_board();
  if (!b && board_refusal() != 0) return fail(board_refusal());  // never off the machine
  if (b && b->state.get_int("net.send_fail", 0) != 0) return fail(ENETUNREACH);
  if (b && b->state.get("net.mode") == "real") {
    const int allowed = real_send_allowed(b);
    if (allowed > 0) return real_sendto()(fd, buf, n, flags, to, tolen);
    if (allowed < 0) {
      say_real_refused(b);
      return fail(EPERM);
    }
  }
  if (b) {
    char head[64];
    snprintf(head, sizeof head, "D %020" PRIu64 " %ld ", monotonic_ns(), my_pid());
    append_line(b->path("datagrams"),
                head + describe(dest) + " " +
                    to_hex(static_cast<const uint8_t*>(buf), n) + "\n");
    pcap_append_datagram(b->path("datagrams.pcap"), fd, dest, dlen, buf, n);
    ++b->captured;
    long long stop = b->state.get_int("net.stop_after", 0);
    if (stop > 0 && b->captured == static_cast<uint64_t>(stop)) {
      wind_up();
      raise(SIGTERM);
    }
  }
  return static_cast<ssize_t>(n);
}

EXPORT struct hostent* gethostbyname(const char* name) {
  if (!in_sim) {
    Inside inside;
    SimBoard* b = current_board();
    if (b && b->state.get_int("net.resolve_fail", 0) != 0) {
      h_errno = HOST_NOT_FOUND;
      return nullptr;
    }
  }
  return real_gethostbyname()(name);
}

}  // extern "C"

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

std::string ns_link(const char* path) {
  char buf[256];
  ssize_t n = readlink(path, buf, sizeof buf - 1);
  if (n <= 0) return "";
  return std::string(buf, static_cast<size_t>(n));
}

pid_t parent_of(pid_t pid) {
  std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  size_t close = stat.rfind(')');  // the command name may hold anything
  if (close == std::string::npos || close + 4 >= stat.size()) return 0;
  return static_cast<pid_t>(atol(stat.c_str() + close + 4));  // ") S <ppid>"
}

// The namespace that real sends must not come from: PID 1's. Where PID 1 is
// hidden from us, the outermost ancestor's that we may see.
std::string reference_netns() {
  std::string ref = ns_link("/proc/1/ns/net");
  if (!ref.empty()) return ref;
  pid_t pid = getppid();
  for (int depth = 0; pid > 1 && depth < 64; ++depth) {
    std::string l = ns_link(("/proc/" + std::to_string(pid) + "/ns/net").c_str());
    if (!l.empty()) ref = l;
    pid = parent_of(pid);
  }
  return ref;
}

// Real sends only from a network namespace other than the machine's own.
bool private_netns() {
  std::string self = ns_link("/proc/self/ns/net");
  std::string ref = reference_netns();
  return !self.empty() && !ref.empty() && self != ref;
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
  if (b && b->state.get_int("net.send_fail", 0) != 0) return fail(ENETUNREACH);
  if (b && b->state.get("net.mode") == "real" && private_netns())
    return real_sendto()(fd, buf, n, flags, to, tolen);
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

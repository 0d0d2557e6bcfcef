#include "pcap.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <vector>

namespace boardsim {
namespace {

constexpr uint32_t LINKTYPE_RAW = 101;
constexpr size_t IP_HEADER = 20;
constexpr size_t UDP_HEADER = 8;

// Header fields of the capture file are in the writer's byte order (readers
// tell it from the magic); the packet itself is in network order.
void put_host32(std::vector<uint8_t>& out, uint32_t v) {
  uint8_t b[4];
  memcpy(b, &v, 4);
  out.insert(out.end(), b, b + 4);
}
void put_host16(std::vector<uint8_t>& out, uint16_t v) {
  uint8_t b[2];
  memcpy(b, &v, 2);
  out.insert(out.end(), b, b + 2);
}
void put_be16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}
void put_be32(std::vector<uint8_t>& out, uint32_t v) {
  put_be16(out, static_cast<uint16_t>(v >> 16));
  put_be16(out, static_cast<uint16_t>(v));
}

bool write_all(int fd, const std::vector<uint8_t>& data) {
  return write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
}

// Creates the file with its global header, atomically: the header is written
// to a private file that is then linked into place, so no reader or writer
// ever sees the file without it.
void create_with_header(const std::string& path) {
  if (access(path.c_str(), F_OK) == 0) return;
  std::vector<uint8_t> header;
  put_host32(header, 0xA1B2C3D4u);
  put_host16(header, 2);
  put_host16(header, 4);
  put_host32(header, 0);  // time zone
  put_host32(header, 0);  // accuracy
  put_host32(header, 65535);
  put_host32(header, LINKTYPE_RAW);
  const std::string tmp = path + "." + std::to_string(getpid()) + ".new";
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return;
  const bool ok = write_all(fd, header);
  close(fd);
  if (ok) link(tmp.c_str(), path.c_str());  // EEXIST: another writer was first
  unlink(tmp.c_str());
}

uint16_t ip_checksum(const uint8_t* p, size_t len) {
  uint32_t sum = 0;
  for (size_t i = 0; i + 1 < len; i += 2) sum += static_cast<uint32_t>((p[i] << 8) | p[i + 1]);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

}  // namespace

void pcap_append_datagram(const std::string& path, int fd, const struct sockaddr* dest,
                          socklen_t dest_len, const void* payload, size_t len) {
  if (dest->sa_family != AF_INET || dest_len < static_cast<socklen_t>(sizeof(sockaddr_in))) return;
  if (len > 65535 - IP_HEADER - UDP_HEADER) return;
  sockaddr_in to;
  memcpy(&to, dest, sizeof to);
  sockaddr_in from;
  socklen_t from_len = sizeof from;
  memset(&from, 0, sizeof from);
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&from), &from_len) != 0 ||
      from.sin_family != AF_INET) {
    from.sin_addr.s_addr = 0;
    from.sin_port = 0;
  }
  const uint32_t src = from.sin_addr.s_addr != 0 ? ntohl(from.sin_addr.s_addr) : 0x7F000001u;
  // An unbound socket has no port yet: one per process stands in for it.
  const uint16_t sport =
      from.sin_port != 0 ? ntohs(from.sin_port) : static_cast<uint16_t>(49152 + getpid() % 16384);

  const size_t ip_len = IP_HEADER + UDP_HEADER + len;
  std::vector<uint8_t> rec;
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  put_host32(rec, static_cast<uint32_t>(now.tv_sec));
  put_host32(rec, static_cast<uint32_t>(now.tv_nsec / 1000));
  put_host32(rec, static_cast<uint32_t>(ip_len));
  put_host32(rec, static_cast<uint32_t>(ip_len));
  const size_t ip_at = rec.size();
  rec.push_back(0x45);  // IPv4, 20-byte header
  rec.push_back(0);
  put_be16(rec, static_cast<uint16_t>(ip_len));
  put_be16(rec, 0);       // identification
  put_be16(rec, 0x4000);  // don't fragment
  rec.push_back(64);      // TTL
  rec.push_back(17);      // UDP
  put_be16(rec, 0);       // checksum, below
  put_be32(rec, src);
  put_be32(rec, ntohl(to.sin_addr.s_addr));
  const uint16_t sum = ip_checksum(rec.data() + ip_at, IP_HEADER);
  rec[ip_at + 10] = static_cast<uint8_t>(sum >> 8);
  rec[ip_at + 11] = static_cast<uint8_t>(sum);
  put_be16(rec, sport);
  put_be16(rec, ntohs(to.sin_port));
  put_be16(rec, static_cast<uint16_t>(UDP_HEADER + len));
  put_be16(rec, 0);  // no UDP checksum
  const uint8_t* p = static_cast<const uint8_t*>(payload);
  rec.insert(rec.end(), p, p + len);

  create_with_header(path);
  int out = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (out < 0) return;
  write_all(out, rec);
  close(out);
}

}  // namespace boardsim

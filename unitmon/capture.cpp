#include "capture.h"

#include <pcap/pcap.h>
#include <stdio.h>
#include <string.h>

namespace {

constexpr uint16_t ETHERTYPE_IPV4 = 0x0800;
constexpr uint16_t ETHERTYPE_VLAN = 0x8100;

uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
uint32_t be32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

// Offset of the IPv4 header in a frame of this link type, or -1.
long ipv4_offset(int linktype, const uint8_t* frame, size_t len) {
  switch (linktype) {
    case DLT_RAW:
    case DLT_IPV4:
      return 0;
    case DLT_EN10MB: {
      if (len < 14) return -1;
      uint16_t ethertype = be16(frame + 12);
      if (ethertype == ETHERTYPE_VLAN) {
        if (len < 18) return -1;
        return be16(frame + 16) == ETHERTYPE_IPV4 ? 18 : -1;
      }
      return ethertype == ETHERTYPE_IPV4 ? 14 : -1;
    }
    case DLT_LINUX_SLL:
      return len >= 16 && be16(frame + 14) == ETHERTYPE_IPV4 ? 16 : -1;
    case DLT_LINUX_SLL2:
      return len >= 20 && be16(frame) == ETHERTYPE_IPV4 ? 20 : -1;
    default:
      return -1;
  }
}

// The UDP payload of an unfragmented IPv4 packet to `port`; false otherwise.
bool udp_payload(const uint8_t* ip, size_t len, uint16_t port, capture_datagram* out) {
  if (len < 20 || (ip[0] >> 4) != 4) return false;
  const size_t header = static_cast<size_t>(ip[0] & 0x0F) * 4;
  size_t total = be16(ip + 2);
  if (header < 20 || total < header + 8) return false;
  if (total > len) total = len;  // cut short by the snapshot length
  if (total < header + 8) return false;
  if ((be16(ip + 6) & 0x3FFF) != 0) return false;  // a fragment
  if (ip[9] != 17) return false;                   // not UDP
  const uint8_t* udp = ip + header;
  if (be16(udp + 2) != port) return false;
  size_t udp_len = be16(udp + 4);
  if (udp_len < 8) return false;
  size_t payload = udp_len - 8;
  if (payload > total - header - 8) payload = total - header - 8;
  out->source = be32(ip + 12);
  out->data = udp + 8;
  out->len = payload;
  return true;
}

}  // namespace

bool capture_frame(int linktype, const uint8_t* frame, size_t len, uint16_t port,
                   capture_datagram* out) {
  const long at = ipv4_offset(linktype, frame, len);
  return at >= 0 && udp_payload(frame + at, len - static_cast<size_t>(at), port, out);
}

capture_status capture_open(capture_reader* reader, const char* path) {
  char error[PCAP_ERRBUF_SIZE] = "";
  reader->error[0] = '\0';
  reader->handle = pcap_open_offline_with_tstamp_precision(path, PCAP_TSTAMP_PRECISION_MICRO, error);
  if (reader->handle == nullptr) {
    snprintf(reader->error, sizeof reader->error, "%s", error);
    return CAPTURE_BAD_FILE;
  }
  reader->linktype = pcap_datalink(reader->handle);
  switch (reader->linktype) {
    case DLT_EN10MB:
    case DLT_RAW:
    case DLT_IPV4:
    case DLT_LINUX_SLL:
    case DLT_LINUX_SLL2:
      return CAPTURE_PACKET;
    default:
      return CAPTURE_BAD_LINKTYPE;
  }
}

capture_status capture_next(capture_reader* reader, uint16_t port, capture_datagram* out) {
  for (;;) {
    pcap_pkthdr* header;
    const u_char* frame;
    const int got = pcap_next_ex(reader->handle, &header, &frame);
    if (got == PCAP_ERROR_BREAK) return CAPTURE_END;
    if (got != 1) {
      snprintf(reader->error, sizeof reader->error, "%s", pcap_geterr(reader->handle));
      return CAPTURE_BAD_FILE;
    }
    if (!capture_frame(reader->linktype, frame, header->caplen, port, out)) continue;
    out->seconds = static_cast<uint32_t>(header->ts.tv_sec);
    out->microseconds = static_cast<uint32_t>(header->ts.tv_usec);
    return CAPTURE_PACKET;
  }
}

void capture_close(capture_reader* reader) {
  if (reader->handle != nullptr) pcap_close(reader->handle);
  reader->handle = nullptr;
}

#include "pcap_reader.h"

namespace {

constexpr uint32_t MAGIC_MICRO = 0xA1B2C3D4u;
constexpr uint32_t MAGIC_NANO = 0xA1B23C4Du;
constexpr uint32_t LINKTYPE_ETHERNET = 1;
constexpr uint32_t LINKTYPE_RAW = 101;
constexpr uint32_t LINKTYPE_LINUX_SLL = 113;
constexpr uint32_t LINKTYPE_IPV4 = 228;
constexpr uint32_t LINKTYPE_LINUX_SLL2 = 276;
constexpr uint16_t ETHERTYPE_IPV4 = 0x0800;
constexpr uint16_t ETHERTYPE_VLAN = 0x8100;

uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
uint32_t be32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}
uint32_t le32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[3]) << 24) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[1]) << 8) | p[0];
}
// The header fields are in the writer's byte order, told by the magic.
uint32_t field32(const pcap_reader* r, const uint8_t* p) { return r->swapped ? le32(p) : be32(p); }

// Offset of the IPv4 header in a frame of this link type, or -1.
long ipv4_offset(uint32_t linktype, const uint8_t* frame, size_t len) {
  switch (linktype) {
    case LINKTYPE_RAW:
    case LINKTYPE_IPV4:
      return 0;
    case LINKTYPE_ETHERNET: {
      if (len < 14) return -1;
      uint16_t ethertype = be16(frame + 12);
      if (ethertype == ETHERTYPE_VLAN) {
        if (len < 18) return -1;
        return be16(frame + 16) == ETHERTYPE_IPV4 ? 18 : -1;
      }
      return ethertype == ETHERTYPE_IPV4 ? 14 : -1;
    }
    case LINKTYPE_LINUX_SLL:
      return len >= 16 && be16(frame + 14) == ETHERTYPE_IPV4 ? 16 : -1;
    case LINKTYPE_LINUX_SLL2:
      return len >= 20 && be16(frame) == ETHERTYPE_IPV4 ? 20 : -1;
    default:
      return -1;
  }
}

// The UDP payload of an unfragmented IPv4 packet to `port`; false otherwise.
bool udp_payload(const uint8_t* ip, size_t len, uint16_t port, pcap_datagram* out) {
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

pcap_status pcap_open(pcap_reader* reader, FILE* file) {
  uint8_t header[24];
  reader->file = file;
  size_t n = fread(header, 1, sizeof header, file);
  if (n != sizeof header) return ferror(file) ? PCAP_READ_ERROR : PCAP_NOT_PCAP;
  const uint32_t magic_be = be32(header);
  const uint32_t magic_le = le32(header);
  if (magic_be == MAGIC_MICRO || magic_be == MAGIC_NANO) {
    reader->swapped = false;
    reader->nanosecond = magic_be == MAGIC_NANO;
  } else if (magic_le == MAGIC_MICRO || magic_le == MAGIC_NANO) {
    reader->swapped = true;
    reader->nanosecond = magic_le == MAGIC_NANO;
  } else {
    return PCAP_NOT_PCAP;
  }
  reader->linktype = field32(reader, header + 20) & 0x0FFFFFFFu;  // low 28 bits
  switch (reader->linktype) {
    case LINKTYPE_ETHERNET:
    case LINKTYPE_RAW:
    case LINKTYPE_LINUX_SLL:
    case LINKTYPE_IPV4:
    case LINKTYPE_LINUX_SLL2:
      return PCAP_PACKET;
    default:
      return PCAP_BAD_LINKTYPE;
  }
}

pcap_status pcap_next(pcap_reader* reader, uint16_t port, uint8_t* buffer, pcap_datagram* out) {
  for (;;) {
    uint8_t rec[16];
    size_t n = fread(rec, 1, sizeof rec, reader->file);
    if (n == 0 && !ferror(reader->file)) return PCAP_END;
    if (n != sizeof rec) return ferror(reader->file) ? PCAP_READ_ERROR : PCAP_TRUNCATED;
    const uint32_t incl = field32(reader, rec + 8);
    if (incl > PCAP_MAX_RECORD) {
      // Too large for a telemetry datagram: step over it.
      if (fseek(reader->file, static_cast<long>(incl), SEEK_CUR) != 0) return PCAP_READ_ERROR;
      continue;
    }
    n = fread(buffer, 1, incl, reader->file);
    if (n != incl) return ferror(reader->file) ? PCAP_READ_ERROR : PCAP_TRUNCATED;
    const long at = ipv4_offset(reader->linktype, buffer, incl);
    if (at < 0) continue;
    if (!udp_payload(buffer + at, incl - static_cast<size_t>(at), port, out)) continue;
    const uint32_t fraction = field32(reader, rec + 4);
    out->seconds = field32(reader, rec);
    out->microseconds = reader->nanosecond ? fraction / 1000 : fraction;
    return PCAP_PACKET;
  }
}

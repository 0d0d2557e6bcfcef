// Reads UDP datagrams to the telemetry port out of a capture file through
// libpcap: pcap and pcapng, as tcpdump, dumpcap and tshark write them. Link
// types: Ethernet (with or without one VLAN tag), raw IPv4, Linux cooked
// (SLL and SLL2). Only unfragmented IPv4/UDP packets to the port are
// returned.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum capture_status {
  CAPTURE_PACKET,        // *out holds a datagram to the port
  CAPTURE_END,           // clean end of the capture
  CAPTURE_BAD_FILE,      // cannot be opened, not a capture, or broken: error[] says
  CAPTURE_BAD_LINKTYPE,  // a link type this reader does not know
};

struct capture_reader {
  struct pcap* handle;
  int linktype;
  char error[256];   // libpcap's words for what went wrong
};

struct capture_datagram {
  uint32_t source;      // IPv4 source address, host value (a.b.c.d = a << 24 ...)
  uint32_t seconds;     // capture time
  uint32_t microseconds;
  const uint8_t* data;  // UDP payload, inside libpcap's buffer until the next read
  size_t len;
};

// Opens a capture file. A read blocked on a FIFO ends early with
// CAPTURE_BAD_FILE when a signal arrives (handlers without SA_RESTART).
capture_status capture_open(capture_reader* reader, const char* path);

// Reads records until one holds a datagram to `port`.
capture_status capture_next(capture_reader* reader, uint16_t port, capture_datagram* out);

void capture_close(capture_reader* reader);

// The datagram to `port` in one frame of a libpcap link type (DLT_*); false
// when the frame holds none.
bool capture_frame(int linktype, const uint8_t* frame, size_t len, uint16_t port,
                   capture_datagram* out);

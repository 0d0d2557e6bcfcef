// Reads UDP datagrams to the telemetry port out of a classic libpcap capture
// (either byte order, microsecond or nanosecond timestamps). Link types:
// Ethernet (with or without one VLAN tag), raw IPv4, Linux cooked (SLL and
// SLL2). Only unfragmented IPv4/UDP packets to the port are returned.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

constexpr size_t PCAP_MAX_RECORD = 65600;

enum pcap_status {
  PCAP_PACKET,         // *out holds a datagram to the port
  PCAP_END,            // clean end of the capture
  PCAP_TRUNCATED,      // the capture ends inside a record
  PCAP_NOT_PCAP,       // no classic pcap header
  PCAP_BAD_LINKTYPE,   // a link type this reader does not know
  PCAP_READ_ERROR,     // errno tells
};

struct pcap_reader {
  FILE* file;
  bool swapped;     // the file's byte order is not the one read natively
  bool nanosecond;  // timestamps carry nanoseconds
  uint32_t linktype;
};

struct pcap_datagram {
  uint32_t source;      // IPv4 source address, host value (a.b.c.d = a << 24 ...)
  uint32_t seconds;     // capture time
  uint32_t microseconds;
  const uint8_t* data;  // UDP payload, inside the caller's buffer
  size_t len;
};

// Reads the global header. PCAP_PACKET means the capture can be read.
pcap_status pcap_open(pcap_reader* reader, FILE* file);

// Reads records until one holds a datagram to `port`; `buffer` holds
// PCAP_MAX_RECORD bytes and keeps the record that out->data points into.
pcap_status pcap_next(pcap_reader* reader, uint16_t port, uint8_t* buffer, pcap_datagram* out);

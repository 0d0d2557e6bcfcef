// The telemetry service: run without an option, unitctl broadcasts the
// unit's status, version and identity over UDP once a second.
#pragma once

#include <netinet/in.h>
#include <stddef.h>
#include <stdint.h>

#define TELEMETRY_BROADCAST_ADDRESS "192.168.1.255"
#define TELEMETRY_PORT 2013

enum { TELEMETRY_STATUS = 0, TELEMETRY_VERSION = 1, TELEMETRY_IDENTITY = 2 };

// The port lives in the destination address; the record keeps no copy.
struct udp_endpoint {
  int socket;
  struct sockaddr_in* destination;
};

udp_endpoint* udp_endpoint_open(udp_endpoint* endpoint, int port);
void udp_endpoint_send(udp_endpoint* endpoint, const uint8_t* data, size_t len);
void udp_endpoint_close(udp_endpoint* endpoint);

[[noreturn]] void run_telemetry(void);

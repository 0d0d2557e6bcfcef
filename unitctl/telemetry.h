// The telemetry service: run without an option, unitctl broadcasts the
// unit's status, version and identity over UDP once a second.
#pragma once

#include <netinet/in.h>
#include <stddef.h>
#include <stdint.h>

#include "spi_link.h"
#include "telemetry_wire.h"

#define TELEMETRY_BROADCAST_ADDRESS "192.168.1.255"

// Each round of reads waits for the bus at most this long in all.
constexpr int64_t TELEMETRY_LOCK_WAIT_MS = 500;

// The port lives in the destination address; the record keeps no copy.
struct udp_endpoint {
  int socket;
  struct sockaddr_in* destination;
};

// Why the service stopped: a perror-style message and the error behind it,
// or `reason` in place of the system's error text.
struct telemetry_failure {
  const char* what;
  int error;
  const char* reason;
};

// 0, or 1 with *failure filled and nothing left open.
int udp_endpoint_open(udp_endpoint* endpoint, int port, telemetry_failure* failure);
int udp_endpoint_send(udp_endpoint* endpoint, const uint8_t* data, size_t len,
                      telemetry_failure* failure);
void udp_endpoint_close(udp_endpoint* endpoint);

// The service on the opened link. Returns only when it cannot go on: a UDP
// set-up or send failure (*failure), or the link's set-up failed
// (link->setup).
void run_telemetry(spi_link* link, telemetry_failure* failure);

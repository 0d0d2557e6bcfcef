// The telemetry service: run without an option, unitctl broadcasts the
// unit's status, version and identity over UDP once a second, or sends them
// to the site's collector that TELEMETRY_DESTINATION names.
#pragma once

#include <netinet/in.h>
#include <stddef.h>
#include <stdint.h>

#include "spi_link.h"
#include "telemetry_wire.h"

#define TELEMETRY_BROADCAST_ADDRESS "192.168.1.255"
// "host" or "host:port", exactly as written: four decimal numbers 0-255
// without leading zeros, or a name the resolver knows (never one made only
// of digits, dots and x), and one decimal port 1-65535; unset or empty, the
// broadcast address and TELEMETRY_PORT.
#define TELEMETRY_DESTINATION_VARIABLE "TELEMETRY_DESTINATION"

// Each round of reads waits for the bus at most this long in all.
constexpr int64_t TELEMETRY_LOCK_WAIT_MS = 500;

// The port lives in the destination address; the record keeps no copy.
struct udp_endpoint {
  int socket;
  struct sockaddr_in* destination;
  bool chosen;  // TELEMETRY_DESTINATION named it (not the default broadcast)
};

// Why the service stopped: a perror-style message and the error behind it,
// or `reason` in place of the system's error text; `value`, when set, is
// the destination that was refused.
struct telemetry_failure {
  const char* what;
  int error;
  const char* reason;
  const char* value;
};

// Opens the socket for `destination` (TELEMETRY_DESTINATION's value; null
// or empty: the broadcast address with `port`). 0, or 1 with *failure
// filled and nothing left open.
int udp_endpoint_open(udp_endpoint* endpoint, const char* destination, int port,
                      telemetry_failure* failure);
int udp_endpoint_send(udp_endpoint* endpoint, const uint8_t* data, size_t len,
                      telemetry_failure* failure);
void udp_endpoint_close(udp_endpoint* endpoint);

// The service on the opened link, sending to `destination` (as for
// udp_endpoint_open). Returns only when it cannot go on: a refused
// destination, a UDP set-up or send failure (*failure), or the link's
// set-up failed (link->setup).
void run_telemetry(spi_link* link, const char* destination, telemetry_failure* failure);

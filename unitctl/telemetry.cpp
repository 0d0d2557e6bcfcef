// The telemetry service: once a second the battery level and charging
// status, the local version and the unit's identity go out as three UDP
// datagrams to the broadcast address of the unit's network.
#include "telemetry.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "local_version.h"
#include "mcu.h"
#include "spi_link.h"

namespace {

constexpr size_t STATUS_LEN = 4;
constexpr size_t VERSION_LEN = 6;
constexpr size_t IDENTITY_LEN = 29;
constexpr int TELEMETRY_LOCK_WAIT_MS = 500;

// Every multi-byte value on the wire is big-endian, whatever the host's order.
void put_u16_be(uint8_t* out, uint16_t value) {
  out[0] = static_cast<uint8_t>(value >> 8);
  out[1] = static_cast<uint8_t>(value & 0xFFu);
}

}  // namespace

udp_endpoint* udp_endpoint_open(udp_endpoint* endpoint, int port) {
  sockaddr_in* destination = static_cast<sockaddr_in*>(calloc(1, sizeof(sockaddr_in)));
  if (destination == nullptr) {
    perror("Cannot allocate memory for server address");
    exit(1);
  }

  // A numeric address: the resolver converts it without asking a name
  // service. A result that is not one IPv4 address is a failure too, so
  // that nothing is ever copied past the address field.
  hostent* host = gethostbyname(TELEMETRY_BROADCAST_ADDRESS);
  if (host == nullptr || host->h_addrtype != AF_INET || host->h_length <= 0 ||
      static_cast<size_t>(host->h_length) > sizeof(destination->sin_addr) ||
      host->h_addr_list == nullptr || host->h_addr_list[0] == nullptr) {
    fprintf(stderr, "Cannot resolve broadcast address %s: %s\n", TELEMETRY_BROADCAST_ADDRESS,
            host == nullptr ? hstrerror(h_errno) : "not an IPv4 address");
    free(destination);
    exit(1);
  }
  destination->sin_family = static_cast<sa_family_t>(host->h_addrtype);
  memcpy(&destination->sin_addr, host->h_addr_list[0], static_cast<size_t>(host->h_length));
  destination->sin_port = htons(static_cast<uint16_t>(port));

  int sock = socket(AF_INET, SOCK_DGRAM, 0);
  if (sock < 0) {
    perror("Cannot open socket");
    free(destination);
    exit(1);
  }

  int broadcast = 1;
  if (setsockopt(sock, SOL_SOCKET, SO_BROADCAST, &broadcast, sizeof(broadcast)) == -1) {
    perror("setsockopt (SO_BROADCAST)");
    close(sock);
    free(destination);
    exit(1);
  }

  endpoint->socket = sock;
  endpoint->destination = destination;
  return endpoint;
}

void udp_endpoint_send(udp_endpoint* endpoint, const uint8_t* data, size_t len) {
  ssize_t sent = sendto(endpoint->socket, data, len, 0,
                        reinterpret_cast<const sockaddr*>(endpoint->destination),
                        sizeof(sockaddr_in));
  if (sent < 0) {
    perror("cannot send data");
    udp_endpoint_close(endpoint);
    exit(1);
  }
}

void udp_endpoint_close(udp_endpoint* endpoint) {
  if (endpoint->socket >= 0) close(endpoint->socket);
  endpoint->socket = -1;
  free(endpoint->destination);
  endpoint->destination = nullptr;
}

void run_telemetry(void) {
  // Each round of reads waits for the bus at most half a second in all; a
  // read that cannot have it counts as failed, so the datagrams keep their
  // rhythm while another program holds the bus.
  spi_link_set_lock_wait(TELEMETRY_LOCK_WAIT_MS);
  const int fd = spi_open();

  // What cannot be read at start goes out as zeros for the whole run.
  version_info version = {};  // stays 0.0.0 when the file cannot be read
  read_local_version(&version);

  char serial[SERIAL_LEN + 1];
  if (mcu_get_serial_number(fd, serial) != 0) memset(serial, 0, sizeof(serial));

  uint8_t uuid[UUID_LEN];
  if (mcu_get_uuid(fd, uuid) != 0) memset(uuid, 0, sizeof(uuid));

  udp_endpoint endpoint;
  udp_endpoint_open(&endpoint, TELEMETRY_PORT);

  uint8_t status[STATUS_LEN] = {};
  put_u16_be(status, TELEMETRY_STATUS);

  uint8_t version_datagram[VERSION_LEN] = {};
  put_u16_be(version_datagram, TELEMETRY_VERSION);
  version_datagram[2] = version.major;
  version_datagram[3] = version.minor;
  put_u16_be(version_datagram + 4, version.patch);

  uint8_t identity[IDENTITY_LEN] = {};
  put_u16_be(identity, TELEMETRY_IDENTITY);
  memcpy(identity + 2, serial, SERIAL_LEN);
  identity[2 + SERIAL_LEN] = 0;
  memcpy(identity + 2 + SERIAL_LEN + 1, uuid, UUID_LEN);

  printf("Broadcasting on UDP:%d\n", TELEMETRY_PORT);
  // The service runs until it is killed: its one line must not wait in a
  // pipe's buffer.
  fflush(stdout);

  for (;;) {
    spi_link_set_lock_wait(TELEMETRY_LOCK_WAIT_MS);
    // A failed read keeps the last good value in the datagram.
    uint8_t value = 0;
    if (mcu_get_battery_level(fd, &value) == 0) status[2] = value;
    if (mcu_get_charging_status(fd, &value) == 0) status[3] = value;

    udp_endpoint_send(&endpoint, status, sizeof(status));
    udp_endpoint_send(&endpoint, version_datagram, sizeof(version_datagram));
    udp_endpoint_send(&endpoint, identity, sizeof(identity));

    sleep(1);
  }
}

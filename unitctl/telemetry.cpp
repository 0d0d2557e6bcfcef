// The telemetry service: once a second the battery level and charging
// status, the local version and the unit's identity go out as three UDP
// datagrams to the broadcast address of the unit's network.
#include "telemetry.h"

#include <arpa/inet.h>
#include <errno.h>
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

static_assert(TELEMETRY_SERIAL_LEN == SERIAL_LEN && TELEMETRY_UUID_LEN == UUID_LEN);

namespace {

// Every multi-byte value on the wire is big-endian, whatever the host's order.
void put_u16_be(uint8_t* out, uint16_t value) {
  out[0] = static_cast<uint8_t>(value >> 8);
  out[1] = static_cast<uint8_t>(value & 0xFFu);
}

int fail(telemetry_failure* failure, const char* what, const char* reason = nullptr) {
  failure->what = what;
  failure->error = errno;
  failure->reason = reason;
  return 1;
}

}  // namespace

int udp_endpoint_open(udp_endpoint* endpoint, int port, telemetry_failure* failure) {
  sockaddr_in* destination = static_cast<sockaddr_in*>(calloc(1, sizeof(sockaddr_in)));
  if (destination == nullptr) return fail(failure, "Cannot allocate memory for server address");

  // A numeric address: the resolver converts it without asking a name
  // service. A result that is not one IPv4 address is a failure too, so
  // that nothing is ever copied past the address field.
  hostent* host = gethostbyname(TELEMETRY_BROADCAST_ADDRESS);
  if (host == nullptr || host->h_addrtype != AF_INET || host->h_length <= 0 ||
      static_cast<size_t>(host->h_length) > sizeof(destination->sin_addr) ||
      host->h_addr_list == nullptr || host->h_addr_list[0] == nullptr) {
    free(destination);
    return fail(failure, "Cannot resolve broadcast address " TELEMETRY_BROADCAST_ADDRESS,
                host == nullptr ? hstrerror(h_errno) : "not an IPv4 address");
  }
  destination->sin_family = static_cast<sa_family_t>(host->h_addrtype);
  memcpy(&destination->sin_addr, host->h_addr_list[0], static_cast<size_t>(host->h_length));
  destination->sin_port = htons(static_cast<uint16_t>(port));

  int sock = socket(AF_INET, SOCK_DGRAM, 0);
  if (sock < 0) {
    fail(failure, "Cannot open socket");
    free(destination);
    return 1;
  }

  int broadcast = 1;
  if (setsockopt(sock, SOL_SOCKET, SO_BROADCAST, &broadcast, sizeof(broadcast)) == -1) {
    fail(failure, "setsockopt (SO_BROADCAST)");
    close(sock);
    free(destination);
    return 1;
  }

  endpoint->socket = sock;
  endpoint->destination = destination;
  return 0;
}

int udp_endpoint_send(udp_endpoint* endpoint, const uint8_t* data, size_t len,
                      telemetry_failure* failure) {
  ssize_t sent = sendto(endpoint->socket, data, len, 0,
                        reinterpret_cast<const sockaddr*>(endpoint->destination),
                        sizeof(sockaddr_in));
  if (sent < 0) {
    fail(failure, "cannot send data");
    udp_endpoint_close(endpoint);
    return 1;
  }
  return 0;
}

void udp_endpoint_close(udp_endpoint* endpoint) {
  if (endpoint->socket >= 0) close(endpoint->socket);
  endpoint->socket = -1;
  free(endpoint->destination);
  endpoint->destination = nullptr;
}

void run_telemetry(spi_link* link, telemetry_failure* failure) {
  // A read that cannot have the bus within the round's wait counts as
  // failed, so the datagrams keep their rhythm while another program holds
  // the bus.
  // What cannot be read at start goes out as zeros for the whole run.
  version_info version = {};  // stays 0.0.0 when the file cannot be read
  read_local_version(&version);

  char serial[SERIAL_LEN + 1];
  if (mcu_get_serial_number(link, serial) != 0) memset(serial, 0, sizeof(serial));

  uint8_t uuid[UUID_LEN];
  if (mcu_get_uuid(link, uuid) != 0) memset(uuid, 0, sizeof(uuid));
  if (link->setup.what != nullptr) return;

  udp_endpoint endpoint;
  if (udp_endpoint_open(&endpoint, TELEMETRY_PORT, failure) != 0) return;

  uint8_t status[TELEMETRY_STATUS_LEN] = {};
  put_u16_be(status, TELEMETRY_STATUS);

  uint8_t version_datagram[TELEMETRY_VERSION_LEN] = {};
  put_u16_be(version_datagram, TELEMETRY_VERSION);
  version_datagram[TELEMETRY_VERSION_MAJOR] = version.major;
  version_datagram[TELEMETRY_VERSION_MINOR] = version.minor;
  put_u16_be(version_datagram + TELEMETRY_VERSION_PATCH, version.patch);

  uint8_t identity[TELEMETRY_IDENTITY_LEN] = {};
  put_u16_be(identity, TELEMETRY_IDENTITY);
  memcpy(identity + TELEMETRY_IDENTITY_SERIAL, serial, SERIAL_LEN);
  identity[TELEMETRY_IDENTITY_SERIAL + SERIAL_LEN] = 0;
  memcpy(identity + TELEMETRY_IDENTITY_UUID, uuid, UUID_LEN);

  printf("Broadcasting on UDP:%d\n", TELEMETRY_PORT);
  // The service runs until it is killed: its one line must not wait in a
  // pipe's buffer.
  fflush(stdout);

  for (;;) {
    link->lock_wait_ms = TELEMETRY_LOCK_WAIT_MS;
    // A failed read keeps the last good value in the datagram.
    uint8_t value = 0;
    if (mcu_get_battery_level(link, &value) == 0) status[TELEMETRY_STATUS_BATTERY] = value;
    if (mcu_get_charging_status(link, &value) == 0) status[TELEMETRY_STATUS_CHARGING] = value;
    if (link->setup.what != nullptr) return;

    if (udp_endpoint_send(&endpoint, status, sizeof(status), failure) != 0 ||
        udp_endpoint_send(&endpoint, version_datagram, sizeof(version_datagram), failure) != 0 ||
        udp_endpoint_send(&endpoint, identity, sizeof(identity), failure) != 0)
      return;

    sleep(1);
  }
}

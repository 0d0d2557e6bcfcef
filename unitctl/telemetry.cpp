// The telemetry service: once a second the battery level and charging
// status, the local version and the unit's identity go out as three UDP
// datagrams to the broadcast address of the unit's network, or to the
// site's collector.
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

// The serial number and its zero byte, and the UUID, are read in place.
static_assert(TELEMETRY_SERIAL_LEN == SERIAL_LEN && TELEMETRY_UUID_LEN == UUID_LEN);
static_assert(TELEMETRY_IDENTITY_UUID - TELEMETRY_IDENTITY_SERIAL >= SERIAL_LEN + 1);

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
  failure->value = nullptr;
  return 1;
}

int refuse(telemetry_failure* failure, const char* destination, const char* reason) {
  fail(failure, TELEMETRY_DESTINATION_VARIABLE, reason);
  failure->value = destination;
  return 1;
}

// Host names are at most 253 characters.
constexpr size_t HOST_MAX = 255;

// Splits "host" or "host:port" into host (HOST_MAX + 1 bytes) and *port
// (left as it is without one): null, or why the value is refused. Nothing
// is guessed: the port is one decimal number 1-65535, without leading
// zeros, after the one colon.
const char* split_destination(const char* text, char* host, int* port) {
  size_t length = 0;
  for (; text[length] != '\0' && text[length] != ':'; ++length) {
    if (length == HOST_MAX) return "host name too long";
    host[length] = text[length];
  }
  host[length] = '\0';
  if (text[length] == ':') {
    const char* digits = text + length + 1;
    in_addr unused;
    // A second colon after something that is not an IPv4 address: IPv6.
    if (strchr(digits, ':') != nullptr && inet_aton(host, &unused) == 0) return "IPv6 is not supported";
    long value = 0;
    const char* d = digits;
    while (*d >= '0' && *d <= '9' && value <= 65535) value = value * 10 + (*d++ - '0');
    if (*d != '\0' || value < 1 || value > 65535 || digits[0] == '0') return "port must be 1 to 65535";
    *port = static_cast<int>(value);
  }
  if (length == 0) return "no host";
  return nullptr;
}

// The address `name` stands for, into *address, when it is one: null, or
// why it is refused. A host name has letters, digits, '.', '-' and '_'
// only (no blanks, quotes or comments). An address is four decimal numbers
// 0-255 without leading zeros, exactly as it prints; anything else that
// inet_aton or a resolver would read as one (octal, hex, fewer parts), or
// that is made of digits, dots and x alone, is refused rather than guessed
// at. Other names are left to the resolver (*numeric false).
const char* numeric_address(const char* name, uint8_t* address, bool* numeric) {
  bool digits_dots_x = true;
  for (const char* p = name; *p != '\0'; ++p) {
    const char c = *p;
    const char lower = static_cast<char>(c | 0x20);
    const bool digit = c >= '0' && c <= '9';
    if (!digit && c != '.' && lower != 'x') digits_dots_x = false;
    if (!digit && c != '.' && c != '-' && c != '_' && !(lower >= 'a' && lower <= 'z')) return "not a host name";
  }
  in_addr parsed;
  *numeric = inet_aton(name, &parsed) != 0;
  if (*numeric) {
    memcpy(address, &parsed, sizeof parsed);
    char written[16];
    snprintf(written, sizeof written, "%u.%u.%u.%u", address[0], address[1], address[2], address[3]);
    if (strcmp(written, name) == 0) return nullptr;
  } else if (!digits_dots_x) {
    return nullptr;
  }
  return "not an IPv4 address";
}

}  // namespace

int udp_endpoint_open(udp_endpoint* endpoint, const char* chosen, int port,
                      telemetry_failure* failure) {
  if (chosen != nullptr && chosen[0] == '\0') chosen = nullptr;
  const char* name = TELEMETRY_BROADCAST_ADDRESS;
  char host_name[HOST_MAX + 1];
  if (chosen != nullptr) {
    const char* refused = split_destination(chosen, host_name, &port);
    if (refused != nullptr) return refuse(failure, chosen, refused);
    name = host_name;
  }

  sockaddr_in* destination = static_cast<sockaddr_in*>(calloc(1, sizeof(sockaddr_in)));
  if (destination == nullptr) return fail(failure, "Cannot allocate memory for server address");
  uint8_t* address = reinterpret_cast<uint8_t*>(&destination->sin_addr);

  // A numeric address is taken as written, never handed to the resolver.
  // A result that is not one IPv4 address is a failure too, so that nothing
  // is ever copied past the address field.
  bool numeric = false;
  const char* refused = numeric_address(name, address, &numeric);
  if (refused != nullptr) {
    free(destination);
    return refuse(failure, chosen, refused);
  }
  if (!numeric) {
    hostent* host = gethostbyname(name);
    if (host == nullptr || host->h_addrtype != AF_INET ||
        host->h_length != static_cast<int>(sizeof(destination->sin_addr)) ||
        host->h_addr_list == nullptr || host->h_addr_list[0] == nullptr) {
      free(destination);
      return refuse(failure, chosen, host == nullptr ? hstrerror(h_errno) : "not an IPv4 address");
    }
    memcpy(address, host->h_addr_list[0], sizeof(destination->sin_addr));
  }
  if ((address[0] | address[1] | address[2] | address[3]) == 0) {
    free(destination);
    return refuse(failure, chosen, "0.0.0.0 is no destination");
  }
  destination->sin_family = AF_INET;
  put_u16_be(reinterpret_cast<uint8_t*>(&destination->sin_port), static_cast<uint16_t>(port));

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
  endpoint->chosen = chosen != nullptr;
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

void run_telemetry(spi_link* link, const char* destination, telemetry_failure* failure) {
  // A read that cannot have the bus within the round's wait counts as
  // failed, so the datagrams keep their rhythm while another program holds
  // the bus.
  version_info version = {};  // stays 0.0.0 when the file cannot be read
  read_local_version(&version);

  // The serial number (10 characters and a zero byte) and the UUID are read
  // straight into the identity datagram, which keeps zeros where a read
  // fails; one that fails at start is asked for again in every later round
  // until the MCU gives it.
  uint8_t identity[TELEMETRY_IDENTITY_LEN] = {};
  put_u16_be(identity, TELEMETRY_IDENTITY);
  char* serial = reinterpret_cast<char*>(identity + TELEMETRY_IDENTITY_SERIAL);
  uint8_t* uuid = identity + TELEMETRY_IDENTITY_UUID;
  bool have_serial = mcu_get_serial_number(link, serial) == 0;
  bool have_uuid = mcu_get_uuid(link, uuid) == 0;
  if (link->setup.what != nullptr) return;

  udp_endpoint endpoint;
  if (udp_endpoint_open(&endpoint, destination, TELEMETRY_PORT, failure) != 0) return;

  uint8_t status[TELEMETRY_STATUS_LEN] = {};
  put_u16_be(status, TELEMETRY_STATUS);

  uint8_t version_datagram[TELEMETRY_VERSION_LEN] = {};
  put_u16_be(version_datagram, TELEMETRY_VERSION);
  version_datagram[TELEMETRY_VERSION_MAJOR] = version.major;
  version_datagram[TELEMETRY_VERSION_MINOR] = version.minor;
  put_u16_be(version_datagram + TELEMETRY_VERSION_PATCH, version.patch);

  // The default broadcast keeps its line; a destination of the site's own
  // is named.
  const uint8_t* port = reinterpret_cast<const uint8_t*>(&endpoint.destination->sin_port);
  const uint8_t* to = reinterpret_cast<const uint8_t*>(&endpoint.destination->sin_addr);
  if (endpoint.chosen)
    printf("Sending to %u.%u.%u.%u:%d\n", to[0], to[1], to[2], to[3], (port[0] << 8) | port[1]);
  else
    printf("Broadcasting on UDP:%d\n", (port[0] << 8) | port[1]);
  // The service runs until it is killed: its one line must not wait in a
  // pipe's buffer.
  fflush(stdout);

  for (;;) {
    link->lock_wait_ms = TELEMETRY_LOCK_WAIT_MS;
    if (!have_serial) have_serial = mcu_get_serial_number(link, serial) == 0;
    if (!have_uuid) have_uuid = mcu_get_uuid(link, uuid) == 0;
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

/* Sends the telemetry of many simulated units to one listener, for the
 * unitmon benchmark (scripts/bench-unitmon.sh runs it in a network
 * namespace of its own). Unit i sends from 10.0.0.0 + 65536 + i + 1
 * (10.1.0.1 on), an address of the local 10.0.0.0/8 on lo, its three
 * datagrams in a row: status, version, identity (serial "BENCH%05u"). The
 * units take turns evenly over each second. The datagrams are built from
 * the wire format's one header, common/telemetry_wire.h.
 *
 *   telemetry_flood UNITS RATE SECONDS [DESTINATION]
 *
 * RATE is datagrams per second (three per unit and second at the units'
 * real rate). Prints the number of datagrams sent. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "telemetry_wire.h"

#define BATCH 64

static uint64_t now_ns(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

/* Datagram k of unit `unit` (k = 0 status, 1 version, 2 identity). */
static size_t datagram(unsigned unit, unsigned k, unsigned round, uint8_t *out) {
  memset(out, 0, TELEMETRY_IDENTITY_LEN);
  const uint16_t type = k == 0 ? TELEMETRY_STATUS : k == 1 ? TELEMETRY_VERSION : TELEMETRY_IDENTITY;
  out[0] = (uint8_t)(type >> 8);
  out[1] = (uint8_t)type;
  if (type == TELEMETRY_STATUS) {
    out[TELEMETRY_STATUS_BATTERY] = (uint8_t)((unit + round) % 101);
    out[TELEMETRY_STATUS_CHARGING] = (uint8_t)(unit % 2);
    return TELEMETRY_STATUS_LEN;
  }
  if (type == TELEMETRY_VERSION) {
    out[TELEMETRY_VERSION_MAJOR] = 1;
    out[TELEMETRY_VERSION_MINOR] = 4;
    out[TELEMETRY_VERSION_PATCH + 1] = 2;
    return TELEMETRY_VERSION_LEN;
  }
  char serial[TELEMETRY_SERIAL_LEN + 2];
  snprintf(serial, sizeof serial, "BENCH%05u", unit % 100000);
  memcpy(out + TELEMETRY_IDENTITY_SERIAL, serial, TELEMETRY_SERIAL_LEN);
  for (size_t i = 0; i < TELEMETRY_UUID_LEN; ++i) out[TELEMETRY_IDENTITY_UUID + i] = (uint8_t)(unit >> (8 * (i % 4)));
  return TELEMETRY_IDENTITY_LEN;
}

int main(int argc, char **argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: %s UNITS RATE SECONDS [DESTINATION]\n", argv[0]);
    return 2;
  }
  const unsigned units = (unsigned)strtoul(argv[1], NULL, 10);
  const double rate = strtod(argv[2], NULL);
  const double seconds = strtod(argv[3], NULL);
  const char *destination = argc > 4 ? argv[4] : "127.0.0.1";
  if (units == 0 || units > 1000000 || rate <= 0 || seconds <= 0) return 2;

  const int s = socket(AF_INET, SOCK_DGRAM, 0);
  struct sockaddr_in to = {};
  to.sin_family = AF_INET;
  to.sin_port = htons(TELEMETRY_PORT);
  inet_pton(AF_INET, destination, &to.sin_addr);
  int big = 4 << 20;
  setsockopt(s, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);

  static uint8_t payload[BATCH][TELEMETRY_IDENTITY_LEN];
  static char control[BATCH][CMSG_SPACE(sizeof(struct in_pktinfo))];
  struct mmsghdr msgs[BATCH];
  struct iovec iov[BATCH];
  const uint64_t total = (uint64_t)(rate * seconds);
  const uint64_t start = now_ns();
  uint64_t sent = 0, failed = 0;
  while (sent + failed < total) {
    /* Due by now: the datagrams of the rate since the start. */
    const uint64_t due = (uint64_t)((double)(now_ns() - start) * rate / 1e9);
    if (due <= sent + failed) {
      struct timespec pause = {0, 200000};
      nanosleep(&pause, NULL);
      continue;
    }
    unsigned n = 0;
    while (n < BATCH && sent + failed + n < due && sent + failed + n < total) {
      const uint64_t seq = sent + failed + n;
      const unsigned unit = (unsigned)((seq / 3) % units), k = (unsigned)(seq % 3);
      const unsigned round = (unsigned)(seq / 3 / units);
      iov[n].iov_base = payload[n];
      iov[n].iov_len = datagram(unit, k, round, payload[n]);
      memset(&msgs[n], 0, sizeof msgs[n]);
      msgs[n].msg_hdr.msg_name = &to;
      msgs[n].msg_hdr.msg_namelen = sizeof to;
      msgs[n].msg_hdr.msg_iov = &iov[n];
      msgs[n].msg_hdr.msg_iovlen = 1;
      msgs[n].msg_hdr.msg_control = control[n];
      msgs[n].msg_hdr.msg_controllen = sizeof control[n];
      struct cmsghdr *c = CMSG_FIRSTHDR(&msgs[n].msg_hdr);
      c->cmsg_level = IPPROTO_IP;
      c->cmsg_type = IP_PKTINFO;
      c->cmsg_len = CMSG_LEN(sizeof(struct in_pktinfo));
      struct in_pktinfo info = {};
      info.ipi_spec_dst.s_addr = htonl(0x0A010000u + unit + 1);  // 10.1.0.1 on
      memcpy(CMSG_DATA(c), &info, sizeof info);
      ++n;
    }
    const int done = sendmmsg(s, msgs, n, 0);
    if (done < 0) {
      failed += n;
    } else {
      sent += (unsigned)done;
      failed += n - (unsigned)done;
    }
  }
  const double took = (double)(now_ns() - start) / 1e9;
  printf("sent %llu failed %llu in %.2f s (%.0f/s)\n", (unsigned long long)sent,
         (unsigned long long)failed, took, (double)sent / took);
  return failed == 0 ? 0 : 1;
}

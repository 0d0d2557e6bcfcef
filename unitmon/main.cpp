// unitmon: listens for the units' telemetry on UDP port 2013 (or reads it
// from a pcap capture) and shows each unit's latest readings. This file
// alone decides what is printed on failure and how the run ends.
#include <arpa/inet.h>
#include <errno.h>
#include <getopt.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "pcap_reader.h"
#include "report.h"
#include "telemetry_decode.h"
#include "units.h"

namespace {

const char USAGE[] =
    "Usage: %s [OPTIONS]\n"
    "Shows the telemetry of the units broadcasting on UDP port 2013.\n"
    "  -j, --json         print one JSON object per datagram, one line each\n"
    "  -n, --count N      end after N good datagrams\n"
    "  -t, --timeout S    end after S seconds\n"
    "  -r, --read FILE    decode a pcap capture instead of listening\n"
    "  -h, --help         print this help and exit\n"
    "Exit status 0 when N good datagrams (without -n: one) were received, 1 otherwise.\n";

constexpr unsigned long MAX_COUNT = 4000000000ul;
constexpr unsigned long MAX_TIMEOUT_S = 31536000ul;  // a year
constexpr uint64_t REDRAW_MIN_MS = 250;
constexpr uint64_t REDRAW_EVERY_MS = 1000;

volatile sig_atomic_t stop_signal = 0;

void on_stop_signal(int sig) { stop_signal = sig; }

struct options {
  bool json;
  unsigned long count;      // 0: no limit
  unsigned long timeout_s;  // 0: none
  const char* read_path;    // nullptr: listen
};

struct monitor {
  options opt;
  bool terminal;            // a table on a terminal: redrawn in place
  unsigned long good;
  unsigned long malformed;
  bool full_reported;
  bool dirty;
  uint64_t drawn_ms;
  unit_table table;
};

uint64_t monotonic_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

bool parse_number(const char* text, unsigned long max, unsigned long* out) {
  if (text[0] < '0' || text[0] > '9') return false;
  char* end = nullptr;
  errno = 0;
  unsigned long v = strtoul(text, &end, 10);
  if (errno != 0 || *end != '\0' || v == 0 || v > max) return false;
  *out = v;
  return true;
}

// 0 when the options were read, otherwise the exit status.
int parse_options(int argc, char** argv, options* opt, bool* help) {
  static const option LONG[] = {{"json", no_argument, nullptr, 'j'},
                                {"count", required_argument, nullptr, 'n'},
                                {"timeout", required_argument, nullptr, 't'},
                                {"read", required_argument, nullptr, 'r'},
                                {"help", no_argument, nullptr, 'h'},
                                {nullptr, 0, nullptr, 0}};
  int c;
  while ((c = getopt_long(argc, argv, "+jn:t:r:h", LONG, nullptr)) != -1) {
    switch (c) {
      case 'j': opt->json = true; break;
      case 'n':
        if (!parse_number(optarg, MAX_COUNT, &opt->count)) {
          fprintf(stderr, "unitmon: --count wants a whole number from 1 up, not '%s'\n", optarg);
          return 1;
        }
        break;
      case 't':
        if (!parse_number(optarg, MAX_TIMEOUT_S, &opt->timeout_s)) {
          fprintf(stderr, "unitmon: --timeout wants whole seconds from 1 up, not '%s'\n", optarg);
          return 1;
        }
        break;
      case 'r': opt->read_path = optarg; break;
      case 'h': *help = true; return 0;
      default: fprintf(stderr, USAGE, argv[0]); return 1;
    }
  }
  if (optind < argc) {
    fprintf(stderr, "unitmon: unexpected argument '%s'\n", argv[optind]);
    fprintf(stderr, USAGE, argv[0]);
    return 1;
  }
  return 0;
}

void redraw(monitor* m, uint64_t now_ms) {
  fputs("\033[H\033[2J", stdout);
  report_header(stdout);
  for (size_t i = 0; i < m->table.count; ++i) report_row(stdout, &m->table.units[i], now_ms);
  if (m->table.untracked != 0) {
    printf("(%u datagrams of units beyond the first %u not shown)\n",
           static_cast<unsigned>(m->table.untracked), static_cast<unsigned>(UNITS_MAX));
  }
  m->dirty = false;
  m->drawn_ms = now_ms;
}

void report_malformed(uint32_t source, telemetry_result result, const telemetry_record* r,
                      size_t len) {
  char address[16];
  report_address(source, address);
  if (result == TELEMETRY_TOO_SHORT) {
    fprintf(stderr, "unitmon: %s: ignored a datagram of %u bytes (too short for a type)\n", address,
            static_cast<unsigned>(len));
  } else if (result == TELEMETRY_UNKNOWN_TYPE) {
    fprintf(stderr, "unitmon: %s: ignored a datagram of unknown type %u (%u bytes)\n", address,
            r->type, static_cast<unsigned>(len));
  } else {
    fprintf(stderr, "unitmon: %s: ignored a datagram of type %u with %u bytes (expected %u)\n",
            address, r->type, static_cast<unsigned>(len),
            static_cast<unsigned>(telemetry_expected_length(r->type)));
  }
}

// One datagram from `source`, received at the wall-clock time given and at
// now_ms on the clock that ages are counted in.
void handle_datagram(monitor* m, uint32_t source, const uint8_t* data, size_t len, uint32_t seconds,
                     uint32_t microseconds, uint64_t now_ms) {
  telemetry_record record;
  const telemetry_result result = telemetry_decode(data, len, &record);
  unit_record* unit = units_find_or_add(&m->table, source);
  if (unit == nullptr && !m->full_reported) {
    fprintf(stderr, "unitmon: unit table full (%u units): further units are not kept\n",
            static_cast<unsigned>(UNITS_MAX));
    m->full_reported = true;
  }
  if (result != TELEMETRY_OK) {
    ++m->malformed;
    if (unit != nullptr && !unit->malformed_reported) {
      report_malformed(source, result, &record, len);
      unit->malformed_reported = true;
    }
    return;
  }
  ++m->good;
  if (unit != nullptr) units_update(unit, &record, now_ms);
  if (m->opt.json) {
    report_json(stdout, source, seconds, microseconds, &record);
  } else if (m->terminal) {
    m->dirty = true;
  } else if (unit != nullptr) {
    report_row(stdout, unit, now_ms);
  }
}

bool wanted_all(const monitor* m) { return m->opt.count != 0 && m->good >= m->opt.count; }

// Ends the output; false when standard output could not take it.
bool flush_output() {
  if (fflush(stdout) == 0 && !ferror(stdout)) return true;
  fprintf(stderr, "unitmon: cannot write to standard output: %s\n", strerror(errno));
  return false;
}

int read_capture(monitor* m) {
  FILE* f = fopen(m->opt.read_path, "rb");
  if (f == nullptr) {
    fprintf(stderr, "unitmon: %s: %s\n", m->opt.read_path, strerror(errno));
    return 1;
  }
  pcap_reader reader;
  pcap_status st = pcap_open(&reader, f);
  static uint8_t buffer[PCAP_MAX_RECORD];
  uint64_t last_ms = 0;
  while (st == PCAP_PACKET && !stop_signal && !wanted_all(m)) {
    pcap_datagram d;
    st = pcap_next(&reader, TELEMETRY_PORT, buffer, &d);
    if (st != PCAP_PACKET) break;
    last_ms = static_cast<uint64_t>(d.seconds) * 1000u + d.microseconds / 1000u;
    handle_datagram(m, d.source, d.data, d.len, d.seconds, d.microseconds, last_ms);
    if (!m->terminal && ferror(stdout)) break;
  }
  const int saved = errno;
  fclose(f);
  if (m->terminal) {
    report_header(stdout);
    for (size_t i = 0; i < m->table.count; ++i) report_row(stdout, &m->table.units[i], last_ms);
  }
  if (!flush_output()) return 1;
  switch (st) {
    case PCAP_NOT_PCAP:
      fprintf(stderr, "unitmon: %s: not a pcap capture\n", m->opt.read_path);
      return 1;
    case PCAP_BAD_LINKTYPE:
      fprintf(stderr, "unitmon: %s: link type %u is not Ethernet, raw IPv4 or Linux cooked\n",
              m->opt.read_path, static_cast<unsigned>(reader.linktype));
      return 1;
    case PCAP_READ_ERROR:
      fprintf(stderr, "unitmon: %s: %s\n", m->opt.read_path, strerror(saved));
      return 1;
    case PCAP_TRUNCATED:
      fprintf(stderr, "unitmon: %s: the capture ends inside a record\n", m->opt.read_path);
      break;
    default:
      break;
  }
  return 0;
}

int listen_udp(monitor* m) {
  const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0) {
    fprintf(stderr, "unitmon: cannot open a UDP socket: %s\n", strerror(errno));
    return 1;
  }
  int one = 1;
  sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_port = htons(TELEMETRY_PORT);
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  if (setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
      bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    fprintf(stderr, "unitmon: cannot listen on UDP port %u: %s\n", TELEMETRY_PORT, strerror(errno));
    close(sock);
    return 1;
  }
  const uint64_t start = monotonic_ms();
  const uint64_t deadline = m->opt.timeout_s ? start + static_cast<uint64_t>(m->opt.timeout_s) * 1000u : 0;
  if (m->terminal) redraw(m, start);
  bool output_ok = flush_output();
  sigset_t none;
  sigemptyset(&none);
  while (output_ok && !stop_signal && !wanted_all(m)) {
    uint64_t now = monotonic_ms();
    if (deadline != 0 && now >= deadline) break;
    uint64_t wait_ms = deadline != 0 ? deadline - now : UINT64_MAX;
    if (m->terminal) {
      const uint64_t next = m->drawn_ms + (m->dirty ? REDRAW_MIN_MS : REDRAW_EVERY_MS);
      wait_ms = next > now ? (next - now < wait_ms ? next - now : wait_ms) : 0;
    }
    timespec ts = {static_cast<time_t>(wait_ms / 1000), static_cast<long>(wait_ms % 1000) * 1000000};
    pollfd pfd = {sock, POLLIN, 0};
    // The stop signals are blocked outside this wait, so none is missed.
    const int ready = ppoll(&pfd, 1, wait_ms == UINT64_MAX ? nullptr : &ts, &none);
    if (ready < 0 && errno != EINTR) {
      fprintf(stderr, "unitmon: waiting for datagrams: %s\n", strerror(errno));
      close(sock);
      return 1;
    }
    for (int i = 0; ready > 0 && i < 64 && !wanted_all(m); ++i) {
      uint8_t buf[512];
      sockaddr_in from;
      socklen_t from_len = sizeof from;
      const ssize_t n = recvfrom(sock, buf, sizeof buf, MSG_DONTWAIT | MSG_TRUNC,
                                 reinterpret_cast<sockaddr*>(&from), &from_len);
      if (n < 0) break;
      timespec wall;
      clock_gettime(CLOCK_REALTIME, &wall);
      handle_datagram(m, ntohl(from.sin_addr.s_addr), buf, static_cast<size_t>(n),
                      static_cast<uint32_t>(wall.tv_sec), static_cast<uint32_t>(wall.tv_nsec / 1000),
                      monotonic_ms());
    }
    now = monotonic_ms();
    if (m->terminal && now >= m->drawn_ms + (m->dirty ? REDRAW_MIN_MS : REDRAW_EVERY_MS)) {
      redraw(m, now);
    }
    output_ok = flush_output();
  }
  if (output_ok && m->terminal) {
    redraw(m, monotonic_ms());
    output_ok = flush_output();
  }
  close(sock);
  return output_ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  static monitor m;  // the unit table is large for a stack
  bool help = false;
  const int bad = parse_options(argc, argv, &m.opt, &help);
  if (bad != 0) return bad;
  if (help) {
    printf(USAGE, argv[0]);
    return flush_output() ? 0 : 1;
  }
  m.terminal = !m.opt.json && isatty(STDOUT_FILENO) != 0;

  // A reader that went away ends the run through the failed write, not SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  sigprocmask(SIG_BLOCK, &stops, nullptr);
  if (m.opt.read_path != nullptr) sigprocmask(SIG_UNBLOCK, &stops, nullptr);

  const int failed = m.opt.read_path != nullptr ? read_capture(&m) : listen_udp(&m);
  if (m.malformed != 0) {
    fprintf(stderr, "unitmon: %lu malformed datagrams ignored\n", m.malformed);
  }
  if (failed != 0) return 1;
  const unsigned long wanted = m.opt.count != 0 ? m.opt.count : 1;
  return m.good >= wanted ? 0 : 1;
}

// unitmon: listens for the units' telemetry on UDP port 2013 (or reads it
// from a capture file) and shows each unit's latest readings, or serves
// them to Prometheus. This file alone decides what is printed on failure
// and how the run ends.
#include <arpa/inet.h>
#include <errno.h>
#include <getopt.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#if UNITMON_PCAP
#include "capture.h"
#endif
#if UNITMON_METRICS
#include "exporter.h"
#include "fleet_page.h"
#include "state.h"
#endif
#if UNITMON_WEB_CONFIG
#include "web_config.h"
#endif
#include "metrics.h"
#include "monotonic_clock.h"
#include "program_version.h"
#include "report.h"
#include "telemetry_decode.h"
#include "units.h"

struct web_config;

namespace {

#if UNITMON_METRICS
#if UNITMON_WEB_CONFIG
#define WEB_CONFIG_USAGE \
  "      --web-config FILE  with --metrics: TLS and passwords from the exporters'\n" \
  "                     web configuration file (tls_server_config, basic_auth_users)\n"
#else
#define WEB_CONFIG_USAGE "  (--web-config: this build has no TLS or passwords)\n"
#endif
#define METRICS_USAGE                                                                  \
  "  -m, --metrics [ADDR]:PORT  also serve Prometheus metrics at /metrics and the\n"   \
  "                     fleet's page at / (ADDR: IPv4, or IPv6 in brackets;\n"       \
  "                     default all addresses; e.g. 9102 or [::1]:9102)\n"           \
  WEB_CONFIG_USAGE                                                                     \
  "  -q, --quiet        with --metrics: no table, no JSON\n"                            \
  "  -S, --state FILE   keep the unit table in FILE across restarts\n"
#define METRICS_STATUS "with --metrics, 0 also when stopped by SIGINT or SIGTERM.\n"
#else
#define METRICS_STATUS ""
#define METRICS_USAGE \
  "  (--metrics, --quiet, --state, --web-config: this build has no Prometheus\n" \
  "   exporter, no fleet page, no TLS and no passwords)\n"
#endif
#if UNITMON_PCAP
#define READ_USAGE "  -r, --read FILE    decode a pcap or pcapng capture instead of listening\n"
#else
#define READ_USAGE "  (--read: this build reads no captures)\n"
#endif

const char USAGE[] =
    "Usage: %s [OPTIONS]\n"
    "Shows the telemetry of the units broadcasting on UDP port 2013.\n"
    "  -j, --json         print one JSON object per datagram, one line each\n"
    "  -n, --count N      end after N good datagrams\n"
    "  -t, --timeout S    end after S seconds\n"
    READ_USAGE
    METRICS_USAGE
    "  -s, --stale S      mark a unit stale after S silent seconds (default 10)\n"
    "  -f, --forget S     forget a unit after S silent seconds (default 3600)\n"
    "  -u, --max-units N  keep at most N units (default 10000)\n"
    "  -h, --help         print this help and exit\n"
    "  -V, --version      print unitmon's version and exit\n"
    "Exit status 0 when N good datagrams (without -n: one) were received, 1 otherwise.\n"
    METRICS_STATUS;

constexpr unsigned long MAX_COUNT = 4000000000ul;
constexpr unsigned long MAX_TIMEOUT_S = 31536000ul;  // a year
constexpr uint64_t REDRAW_MIN_MS = 250;
constexpr uint64_t REDRAW_EVERY_MS = 1000;
constexpr uint64_t SWEEP_EVERY_MS = 1000;
constexpr int SOCKET_BUFFER = 8 * 1024 * 1024;  // asked for; the kernel may give less
constexpr unsigned RECEIVE_BATCH = 64;           // datagrams per read, handled under one lock
constexpr unsigned RECEIVE_PASS = 1024;          // datagrams between looks at the clock
constexpr uint64_t STATE_EVERY_MS = 5000;

volatile sig_atomic_t stop_signal = 0;
volatile sig_atomic_t timed_out = 0;

void on_stop_signal(int sig) { stop_signal = sig; }
void on_alarm(int) { timed_out = 1; }

struct options {
  bool json;
  unsigned long count;      // 0: no limit
  unsigned long timeout_s;  // 0: none
  const char* read_path;    // nullptr: listen
  bool metrics;
  sockaddr_storage metrics_address;
  socklen_t metrics_address_len;
  const char* metrics_text;
  const char* web_config_path;  // nullptr: plain HTTP, no passwords
  bool quiet;
  unsigned long stale_s;
  unsigned long forget_s;
  unsigned long max_units;
  const char* state_path;   // nullptr: none
  bool version;
};

struct monitor {
  options opt;
  bool terminal;            // a table on a terminal: redrawn in place
  unsigned long good;
  bool full_reported;
  bool dirty;
  uint64_t drawn_ms;
  uint64_t swept_ms;
  // Changed by this thread alone, under the lock; others read them through
  // a snapshot taken under it.
  pthread_mutex_t lock;
  listener_counts counts;
  unit_table table;
  uint64_t changes;         // for the state keeper: anything new to save
  bool stranger_reported;   // a bad datagram from an address of no unit was said
  uint32_t kernel_drops;    // the socket's drop count, last seen
  uint32_t started_s;       // wall clock
};

bool parse_number(const char* text, unsigned long max, unsigned long* out) {
  if (text[0] < '0' || text[0] > '9') return false;
  char* end = nullptr;
  errno = 0;
  unsigned long v = strtoul(text, &end, 10);
  if (errno != 0 || *end != '\0' || v == 0 || v > max) return false;
  *out = v;
  return true;
}

// [ADDR]:PORT, ADDR a dotted IPv4 address or an IPv6 address in brackets;
// all addresses (IPv6's, taking IPv4 too) without it.
bool parse_listen_address(const char* text, sockaddr_storage* out, socklen_t* out_len) {
  memset(out, 0, sizeof *out);
  sockaddr_in6* v6 = reinterpret_cast<sockaddr_in6*>(out);
  sockaddr_in* v4 = reinterpret_cast<sockaddr_in*>(out);
  v6->sin6_family = AF_INET6;
  v6->sin6_addr = in6addr_any;
  *out_len = sizeof *v6;
  const char* colon = strrchr(text, ':');
  const char* port_text = text;
  if (colon != nullptr) {
    char host[64];
    const size_t len = static_cast<size_t>(colon - text);
    if (len >= sizeof host) return false;
    memcpy(host, text, len);
    host[len] = '\0';
    if (len >= 2 && host[0] == '[' && host[len - 1] == ']') {
      host[len - 1] = '\0';
      if (inet_pton(AF_INET6, host + 1, &v6->sin6_addr) != 1) return false;
    } else if (len != 0) {
      v4->sin_family = AF_INET;
      *out_len = sizeof *v4;
      if (inet_pton(AF_INET, host, &v4->sin_addr) != 1) return false;
    }
    port_text = colon + 1;
  }
  unsigned long port;
  if (!parse_number(port_text, 65535, &port)) return false;
  if (out->ss_family == AF_INET) {
    v4->sin_port = htons(static_cast<uint16_t>(port));
  } else {
    v6->sin6_port = htons(static_cast<uint16_t>(port));
  }
  return true;
}

bool parse_seconds(const char* name, const char* text, unsigned long* out) {
  if (parse_number(text, MAX_TIMEOUT_S, out)) return true;
  fprintf(stderr, "unitmon: %s wants whole seconds from 1 up, not '%s'\n", name, text);
  return false;
}

// The options that the build leaves out.
bool missing_feature(int c) {
#if !UNITMON_METRICS
  if (c == 'm' || c == 'q' || c == 'S' || c == 'W') {
    fprintf(stderr, "unitmon: this build has no Prometheus exporter (--metrics, --quiet, --state, --web-config)\n");
    return true;
  }
#elif !UNITMON_WEB_CONFIG
  if (c == 'W') {
    fprintf(stderr, "unitmon: this build has no TLS and no passwords (--web-config)\n");
    return true;
  }
#endif
#if !UNITMON_PCAP
  if (c == 'r') {
    fprintf(stderr, "unitmon: this build reads no captures (--read)\n");
    return true;
  }
#endif
  (void)c;
  return false;
}

// Options that make no sense together; true when they are refused.
bool refused_together(const options* opt) {
  const char* clash = nullptr;
  if (opt->metrics && opt->read_path != nullptr) clash = "--metrics and --read do not go together";
  if (opt->quiet && !opt->metrics) clash = "--quiet only goes with --metrics";
  if (opt->web_config_path != nullptr && !opt->metrics) clash = "--web-config only goes with --metrics";
  if (opt->quiet && opt->json) clash = "--quiet and --json do not go together";
  if (opt->state_path != nullptr && opt->read_path != nullptr) clash = "--state and --read do not go together";
  if (clash == nullptr) return false;
  fprintf(stderr, "unitmon: %s\n", clash);
  return true;
}

// 0 when the options were read, otherwise the exit status.
int parse_options(int argc, char** argv, options* opt, bool* help) {
  static const option LONG[] = {{"json", no_argument, nullptr, 'j'},
                                {"count", required_argument, nullptr, 'n'},
                                {"timeout", required_argument, nullptr, 't'},
                                {"read", required_argument, nullptr, 'r'},
                                {"metrics", required_argument, nullptr, 'm'},
                                {"quiet", no_argument, nullptr, 'q'},
                                {"web-config", required_argument, nullptr, 'W'},
                                {"stale", required_argument, nullptr, 's'},
                                {"forget", required_argument, nullptr, 'f'},
                                {"max-units", required_argument, nullptr, 'u'},
                                {"state", required_argument, nullptr, 'S'},
                                {"help", no_argument, nullptr, 'h'},
                                {"version", no_argument, nullptr, 'V'},
                                {nullptr, 0, nullptr, 0}};
  opt->stale_s = 10;
  opt->forget_s = 3600;
  opt->max_units = UNITS_DEFAULT_MAX;
  int c;
  while ((c = getopt_long(argc, argv, "+jn:t:r:m:qs:f:u:S:hV", LONG, nullptr)) != -1) {
    if (missing_feature(c)) return 1;
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
      case 'm':
        if (!parse_listen_address(optarg, &opt->metrics_address, &opt->metrics_address_len)) {
          fprintf(stderr, "unitmon: --metrics wants [ADDR]:PORT, ADDR an IPv4 address or an IPv6 "
                  "address in brackets, not '%s'\n", optarg);
          return 1;
        }
        opt->metrics = true;
        opt->metrics_text = optarg;
        break;
      case 'q': opt->quiet = true; break;
      case 'S': opt->state_path = optarg; break;
      case 'W': opt->web_config_path = optarg; break;
      case 's':
        if (!parse_seconds("--stale", optarg, &opt->stale_s)) return 1;
        break;
      case 'f':
        if (!parse_seconds("--forget", optarg, &opt->forget_s)) return 1;
        break;
      case 'u':
        if (!parse_number(optarg, UNITS_LIMIT, &opt->max_units)) {
          fprintf(stderr, "unitmon: --max-units wants a whole number from 1 to %zu, not '%s'\n",
                  UNITS_LIMIT, optarg);
          return 1;
        }
        break;
      case 'h': *help = true; return 0;
      case 'V': opt->version = true; return 0;
      default: fprintf(stderr, USAGE, argv[0]); return 1;
    }
  }
  if (optind < argc) {
    fprintf(stderr, "unitmon: unexpected argument '%s'\n", argv[optind]);
    fprintf(stderr, USAGE, argv[0]);
    return 1;
  }
  return refused_together(opt) ? 1 : 0;
}

void redraw(monitor* m, uint64_t now_ms) {
  fputs("\033[H\033[2J", stdout);
  report_header(stdout);
  for (size_t i = 0; i < m->table.count; ++i) report_row(stdout, m->table.units[i], now_ms);
  if (m->table.dropped != 0) {
    printf("(%llu datagrams of units beyond the first %zu not shown)\n",
           static_cast<unsigned long long>(m->table.dropped), m->table.max);
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

// Marks the units silent for longer than --stale and forgets those silent
// for longer than --forget, once a second of the clock that ages are
// counted in.
void sweep(monitor* m, uint64_t now_ms, uint32_t seconds, uint32_t microseconds) {
  if (now_ms < m->swept_ms + SWEEP_EVERY_MS) return;
  m->swept_ms = now_ms;
  const uint64_t stale_ms = static_cast<uint64_t>(m->opt.stale_s) * 1000u;
  const uint64_t forget_ms = static_cast<uint64_t>(m->opt.forget_s) * 1000u;
  for (size_t i = 0; i < m->table.count; ++i) {
    unit_record* u = m->table.units[i];
    if (u->stale || now_ms - u->seen_ms <= stale_ms) continue;
    u->stale = true;
    if (m->opt.quiet) continue;
    if (m->opt.json) {
      report_json_stale(stdout, seconds, microseconds, u);
    } else if (m->terminal) {
      m->dirty = true;
    } else {
      report_row(stdout, u, now_ms);
    }
  }
  if (now_ms > forget_ms) {
    pthread_mutex_lock(&m->lock);
    const size_t gone = units_forget(&m->table, now_ms - forget_ms);
    m->counts.forgotten += gone;
    m->changes += gone;
    pthread_mutex_unlock(&m->lock);
    if (gone != 0) m->dirty = true;
  }
}

// One datagram from `source`, received at the wall-clock time given and at
// now_ms on the clock that ages are counted in.
void handle_datagram(monitor* m, uint32_t source, const uint8_t* data, size_t len, uint32_t seconds,
                     uint32_t microseconds, uint64_t now_ms) {
  telemetry_record record;
  const telemetry_result result = telemetry_decode(data, len, &record);
  // Only a good datagram makes a unit.
  unit_record* unit = result == TELEMETRY_OK
                          ? units_update(&m->table, source, &record, now_ms, seconds, microseconds)
                          : units_find(&m->table, source);
  if (result == TELEMETRY_OK && unit == nullptr && m->table.count == m->table.max && !m->full_reported) {
    fprintf(stderr, "unitmon: unit table full (%zu units): further units are not kept\n",
            m->table.max);
    m->full_reported = true;
  }
  if (result != TELEMETRY_OK) {
    ++m->counts.malformed;
    // Said once per unit, and once for all senders that are no unit.
    bool* reported = unit != nullptr ? &unit->malformed_reported : &m->stranger_reported;
    if (!*reported) {
      report_malformed(source, result, &record, len);
      *reported = true;
    }
    return;
  }
  ++m->changes;
  ++m->good;
  ++m->counts.received[record.type];
  if (m->opt.quiet) return;
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

#if UNITMON_PCAP
int read_capture(monitor* m) {
  // A read that blocks (a FIFO fed slowly) ends at the timeout or a stop
  // signal: the handlers interrupt it.
  if (m->opt.timeout_s != 0) alarm(static_cast<unsigned>(m->opt.timeout_s));
  capture_reader reader;
  capture_status st = capture_open(&reader, m->opt.read_path);
  uint64_t last_ms = 0;
  while (st == CAPTURE_PACKET && !stop_signal && !timed_out && !wanted_all(m)) {
    capture_datagram d;
    st = capture_next(&reader, TELEMETRY_PORT, &d);
    if (st != CAPTURE_PACKET) break;
    last_ms = static_cast<uint64_t>(d.seconds) * 1000u + d.microseconds / 1000u;
    sweep(m, last_ms, d.seconds, d.microseconds);
    handle_datagram(m, d.source, d.data, d.len, d.seconds, d.microseconds, last_ms);
    if (!m->terminal && ferror(stdout)) break;
  }
  alarm(0);
  capture_close(&reader);
  if (m->terminal) {
    report_header(stdout);
    for (size_t i = 0; i < m->table.count; ++i) report_row(stdout, m->table.units[i], last_ms);
  }
  if (!flush_output()) return 1;
  if (stop_signal || timed_out) return 0;  // the count decides
  if (st == CAPTURE_BAD_FILE) {
    fprintf(stderr, "unitmon: %s: %s\n", m->opt.read_path, reader.error);
    return 1;
  }
  if (st == CAPTURE_BAD_LINKTYPE) {
    fprintf(stderr, "unitmon: %s: link type %d is not Ethernet, raw IPv4 or Linux cooked\n",
            m->opt.read_path, reader.linktype);
    return 1;
  }
  return 0;
}
#endif

#if UNITMON_METRICS
// A copy of the table and counts for a reader in another thread.
bool take_snapshot(void* context, fleet_snapshot* out) {
  monitor* m = static_cast<monitor*>(context);
  pthread_mutex_lock(&m->lock);
  const bool ok = snapshot_take(out, &m->table, &m->counts);
  pthread_mutex_unlock(&m->lock);
  return ok;
}

void render(void* context, exporter_document document, const fleet_snapshot* snapshot, text_buffer* out) {
  const monitor* m = static_cast<const monitor*>(context);
  if (document == EXPORTER_METRICS) {
    metrics_render(out, snapshot);
    return;
  }
  timespec wall;
  clock_gettime(CLOCK_REALTIME, &wall);
  const fleet_page_info info = {static_cast<uint64_t>(wall.tv_sec) * 1000u + static_cast<uint64_t>(wall.tv_nsec) / 1000000u,
                                m->started_s, m->opt.stale_s, 30};
  fleet_page_render(out, snapshot, &info);
}
#endif

// Reads what waits on the socket, a batch at a time and a bounded number
// in all, each batch handled under the table's lock.
void receive_datagrams(monitor* m, int sock) {
  struct datagram {
    uint8_t data[512];
    sockaddr_in from;
    char control[CMSG_SPACE(sizeof(uint32_t))];
    iovec iov;
  };
  static datagram in[RECEIVE_BATCH];
  static mmsghdr msgs[RECEIVE_BATCH];
  for (unsigned done = 0; done < RECEIVE_PASS && !wanted_all(m);) {
    for (unsigned i = 0; i < RECEIVE_BATCH; ++i) {
      in[i].iov = {in[i].data, sizeof in[i].data};
      msgs[i].msg_hdr = {&in[i].from, sizeof in[i].from, &in[i].iov, 1, in[i].control, sizeof in[i].control, 0};
    }
    // MSG_TRUNC gives the real length: a datagram longer than the buffer is
    // judged by it, and no known type is that long.
    const int n = recvmmsg(sock, msgs, RECEIVE_BATCH, MSG_DONTWAIT | MSG_TRUNC, nullptr);
    if (n <= 0) break;
    done += static_cast<unsigned>(n);
    timespec wall;
    clock_gettime(CLOCK_REALTIME, &wall);
    const uint64_t now = monotonic_ms();
    pthread_mutex_lock(&m->lock);
    for (int i = 0; i < n && !wanted_all(m); ++i) {
      for (cmsghdr* c = CMSG_FIRSTHDR(&msgs[i].msg_hdr); c != nullptr; c = CMSG_NXTHDR(&msgs[i].msg_hdr, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SO_RXQ_OVFL) continue;
        uint32_t drops;
        memcpy(&drops, CMSG_DATA(c), sizeof drops);
        m->counts.receive_drops += static_cast<uint32_t>(drops - m->kernel_drops);  // it wraps at 2^32
        m->kernel_drops = drops;
      }
      handle_datagram(m, ntohl(in[i].from.sin_addr.s_addr), in[i].data, msgs[i].msg_len,
                      static_cast<uint32_t>(wall.tv_sec), static_cast<uint32_t>(wall.tv_nsec / 1000), now);
    }
    pthread_mutex_unlock(&m->lock);
    if (static_cast<unsigned>(n) < RECEIVE_BATCH) break;
  }
}

#if UNITMON_METRICS
// Writes the table to --state every few seconds when it changed, from a
// thread of its own: a slow disk never holds up reception.
struct state_keeper {
  monitor* m;
  pthread_t thread;
  pthread_mutex_t lock;
  pthread_cond_t wake;
  bool stop;
  bool failed;              // said on standard error
  uint64_t saved_changes;
};

// Saves a snapshot; the errno of a failure, or 0.
int save_state(monitor* m, uint64_t* saved_changes) {
  fleet_snapshot snapshot;
  pthread_mutex_lock(&m->lock);
  const uint64_t changes = m->changes;
  const bool ok = snapshot_take(&snapshot, &m->table, &m->counts);
  pthread_mutex_unlock(&m->lock);
  if (!ok) return ENOMEM;
  const int error = state_save(m->opt.state_path, snapshot.units, snapshot.count);
  snapshot_free(&snapshot);
  if (error == 0) *saved_changes = changes;
  return error;
}

void report_state_failure(state_keeper* k, int error) {
  if (error == 0 || k->failed) return;
  fprintf(stderr, "unitmon: cannot save the unit table to %s: %s\n", k->m->opt.state_path, strerror(error));
  k->failed = true;
}

void* keep_state(void* arg) {
  state_keeper* k = static_cast<state_keeper*>(arg);
  pthread_mutex_lock(&k->lock);
  while (!k->stop) {
    timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += static_cast<time_t>(STATE_EVERY_MS / 1000);
    while (!k->stop && pthread_cond_timedwait(&k->wake, &k->lock, &until) != ETIMEDOUT) {
    }
    if (k->stop) break;
    pthread_mutex_lock(&k->m->lock);
    const bool changed = k->m->changes != k->saved_changes;
    pthread_mutex_unlock(&k->m->lock);
    if (changed) report_state_failure(k, save_state(k->m, &k->saved_changes));
  }
  pthread_mutex_unlock(&k->lock);
  return nullptr;
}

bool start_state_keeper(state_keeper* k, monitor* m) {
  k->m = m;
  k->stop = k->failed = false;
  k->saved_changes = m->changes;
  pthread_mutex_init(&k->lock, nullptr);
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  pthread_cond_init(&k->wake, &attr);
  pthread_condattr_destroy(&attr);
  return pthread_create(&k->thread, nullptr, keep_state, k) == 0;
}

// Ends the keeper and saves what it had not.
void stop_state_keeper(state_keeper* k) {
  pthread_mutex_lock(&k->lock);
  k->stop = true;
  pthread_cond_signal(&k->wake);
  pthread_mutex_unlock(&k->lock);
  pthread_join(k->thread, nullptr);
  if (k->m->changes != k->saved_changes) report_state_failure(k, save_state(k->m, &k->saved_changes));
  pthread_cond_destroy(&k->wake);
  pthread_mutex_destroy(&k->lock);
}

// Loads --state into the table; false when the state is not to be kept
// (said on standard error). Units older than --forget stay forgotten.
bool load_state(monitor* m) {
  const char* path = m->opt.state_path;
  state_contents st;
  const state_result r = state_load(path, &st);
  if (r == STATE_UNUSABLE) {
    fprintf(stderr, "unitmon: %s: %s%s%s; the unit table is not kept\n", path, st.reason,
            st.error != 0 ? ": " : "", st.error != 0 ? strerror(st.error) : "");
    return false;
  }
  if (r == STATE_NOT_MOVED) {
    fprintf(stderr, "unitmon: %s: %s, and it cannot be moved aside: %s; the unit table is not kept\n", path,
            st.reason, strerror(st.error));
    return false;
  }
  if (r == STATE_MOVED) {
    fprintf(stderr, "unitmon: %s: %s; moved aside to %s, the table starts empty\n", path, st.reason, st.aside);
  }
  timespec wall;
  clock_gettime(CLOCK_REALTIME, &wall);
  const uint64_t now = monotonic_ms();
  const uint64_t wall_ms = static_cast<uint64_t>(wall.tv_sec) * 1000u + static_cast<uint64_t>(wall.tv_nsec) / 1000000u;
  for (size_t i = 0; i < st.count; ++i) {
    const unit_view& v = st.units[i];
    const uint64_t seen = static_cast<uint64_t>(v.seen_s) * 1000u + v.seen_us / 1000u;
    const uint64_t age = wall_ms > seen ? wall_ms - seen : 0;
    if (age > static_cast<uint64_t>(m->opt.forget_s) * 1000u) continue;
    units_restore(&m->table, &v, now > age ? now - age : 0);
  }
  free(st.units);
  // A first save now tells at once whether the file can be written.
  uint64_t saved;
  const int error = save_state(m, &saved);
  if (error != 0) {
    fprintf(stderr, "unitmon: cannot save the unit table to %s: %s; it is not kept\n", path, strerror(error));
    return false;
  }
  return true;
}
#endif

int listen_udp(monitor* m, const web_config* web_settings) {
#if !UNITMON_METRICS
  (void)web_settings;
#endif
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
  // Room for bursts (capped by net.core.rmem_max), and the kernel's count
  // of what it dropped for want of room with every datagram.
  int buffer = SOCKET_BUFFER;
  setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  setsockopt(sock, SOL_SOCKET, SO_RXQ_OVFL, &one, sizeof one);
  socklen_t buffer_len = sizeof buffer;
  if (getsockopt(sock, SOL_SOCKET, SO_RCVBUF, &buffer, &buffer_len) == 0) {
    // The kernel reports twice what it granted (room for its bookkeeping).
    const int granted = buffer / 2;
    m->counts.receive_buffer_bytes = static_cast<uint64_t>(granted);
    if (granted < SOCKET_BUFFER) {
      fprintf(stderr,
              "unitmon: the kernel granted a receive buffer of %d bytes, not the %d asked for: "
              "bursts may be lost (raise net.core.rmem_max)\n",
              granted, SOCKET_BUFFER);
    }
  }
#if UNITMON_METRICS
  state_keeper keeper;
  bool keeping = false;
  if (m->opt.state_path != nullptr && load_state(m)) keeping = start_state_keeper(&keeper, m);
  exporter* web = nullptr;
  if (m->opt.metrics) {
    web = exporter_start(reinterpret_cast<const sockaddr*>(&m->opt.metrics_address),
                         m->opt.metrics_address_len, web_settings, take_snapshot, render, m);
    if (web == nullptr) {
      fprintf(stderr, "unitmon: cannot serve metrics on TCP %s: %s\n", m->opt.metrics_text,
              errno != 0 ? strerror(errno) : "the HTTP server did not start");
      if (keeping) stop_state_keeper(&keeper);
      close(sock);
      return 1;
    }
  }
#endif
  const uint64_t start = monotonic_ms();
  const uint64_t deadline = m->opt.timeout_s ? start + static_cast<uint64_t>(m->opt.timeout_s) * 1000u : 0;
  m->swept_ms = start;
  if (m->terminal) redraw(m, start);
  bool output_ok = flush_output();
  int failed = 0;
  sigset_t none;
  sigemptyset(&none);
  while (output_ok && !stop_signal && !wanted_all(m)) {
    uint64_t now = monotonic_ms();
    if (deadline != 0 && now >= deadline) break;
    uint64_t due = m->swept_ms + SWEEP_EVERY_MS;
    if (deadline != 0 && deadline < due) due = deadline;
    if (m->terminal) {
      const uint64_t next = m->drawn_ms + (m->dirty ? REDRAW_MIN_MS : REDRAW_EVERY_MS);
      if (next < due) due = next;
    }
    uint64_t wait_ms = due > now ? due - now : 0;
    pollfd pfd[1] = {{sock, POLLIN, 0}};
    timespec ts = {static_cast<time_t>(wait_ms / 1000), static_cast<long>(wait_ms % 1000) * 1000000};
    // The stop signals are blocked outside this wait, so none is missed.
    const int ready = ppoll(pfd, 1, &ts, &none);
    if (ready < 0 && errno != EINTR) {
      fprintf(stderr, "unitmon: waiting for datagrams: %s\n", strerror(errno));
      failed = 1;
      break;
    }
    if (ready > 0 && pfd[0].revents != 0) receive_datagrams(m, sock);
    now = monotonic_ms();
    timespec wall;
    clock_gettime(CLOCK_REALTIME, &wall);
    sweep(m, now, static_cast<uint32_t>(wall.tv_sec), static_cast<uint32_t>(wall.tv_nsec / 1000));
    if (m->terminal && now >= m->drawn_ms + (m->dirty ? REDRAW_MIN_MS : REDRAW_EVERY_MS)) {
      redraw(m, now);
    }
    output_ok = flush_output();
  }
  if (!failed && output_ok && m->terminal) {
    redraw(m, monotonic_ms());
    output_ok = flush_output();
  }
#if UNITMON_METRICS
  if (web != nullptr) exporter_stop(web);
  if (keeping) stop_state_keeper(&keeper);
#endif
  close(sock);
  return failed || !output_ok ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  static monitor m;
  bool help = false;
  const int bad = parse_options(argc, argv, &m.opt, &help);
  if (bad != 0) return bad;
  if (help) {
    printf(USAGE, argv[0]);
    return flush_output() ? 0 : 1;
  }
  if (m.opt.version) {
    print_program_version("unitmon");
    return flush_output() ? 0 : 1;
  }
  m.terminal = !m.opt.json && !m.opt.quiet && isatty(STDOUT_FILENO) != 0;
  m.started_s = static_cast<uint32_t>(time(nullptr));
  const web_config* web_settings = nullptr;
#if UNITMON_WEB_CONFIG
  static web_config web;
  if (m.opt.web_config_path != nullptr) {
    char error[512];
    if (!web_config_load(m.opt.web_config_path, &web, error, sizeof error)) {
      fprintf(stderr, "unitmon: --web-config %s\n", error);
      return 1;
    }
    web_settings = &web;
  }
#endif
  units_init(&m.table, m.opt.max_units);
  pthread_mutex_init(&m.lock, nullptr);

  // A reader that went away ends the run through the failed write, not SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
  // No SA_RESTART: a signal also ends a blocked read of a capture.
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sa.sa_handler = on_alarm;
  sigaction(SIGALRM, &sa, nullptr);
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  sigprocmask(SIG_BLOCK, &stops, nullptr);
#if UNITMON_PCAP
  if (m.opt.read_path != nullptr) sigprocmask(SIG_UNBLOCK, &stops, nullptr);
  const int failed = m.opt.read_path != nullptr ? read_capture(&m) : listen_udp(&m, web_settings);
#else
  const int failed = listen_udp(&m, web_settings);
#endif
#if UNITMON_WEB_CONFIG
  web_config_free(&web);
#endif
  if (m.counts.malformed != 0) {
    fprintf(stderr, "unitmon: %llu malformed datagrams ignored\n",
            static_cast<unsigned long long>(m.counts.malformed));
  }
  units_free(&m.table);
  if (failed != 0) return 1;
  if (m.opt.metrics && stop_signal) return 0;  // a service that was stopped
  const unsigned long wanted = m.opt.count != 0 ? m.opt.count : 1;
  return m.good >= wanted ? 0 : 1;
}

#include "fleet_page.h"

#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "board_version.h"
#include "escape.h"
#include "report.h"

void fleet_page_escape(const uint8_t* bytes, size_t len, char* out) {
  char* p = out;
  for (size_t i = 0; i < len; ++i) {
    const uint8_t b = bytes[i];
    const char* ref = b == '&' ? "&amp;" : b == '<' ? "&lt;" : b == '>' ? "&gt;" : b == '"' ? "&quot;"
                      : b == '\'' ? "&#39;" : nullptr;
    if (ref != nullptr) {
      p = stpcpy(p, ref);
    } else if (b >= 0x80) {
      *p++ = static_cast<char>(0xC0 | (b >> 6));
      *p++ = static_cast<char>(0x80 | (b & 0x3F));
    } else if (b < 0x20 || b == 0x7F) {
      const unsigned picture = b == 0x7F ? 0x2421u : 0x2400u + b;
      *p++ = static_cast<char>(0xE0 | (picture >> 12));
      *p++ = static_cast<char>(0x80 | ((picture >> 6) & 0x3F));
      *p++ = static_cast<char>(0x80 | (picture & 0x3F));
    } else {
      *p++ = static_cast<char>(b);
    }
  }
  *p = '\0';
}

namespace {

const char STYLE[] =
    "body{font:14px system-ui,sans-serif;margin:1em}"
    "table{border-collapse:collapse}th,td{padding:2px 8px;text-align:left;border-bottom:1px solid #ddd}"
    "td.n{text-align:right}code{font-size:12px}meter{width:6em}"
    "tr.stale{background:#fdd;font-weight:bold}tr.stale td:last-child{color:#b00}";

// 3d 4h, 2h 5m, 4m 10s, 7s
void age_text(uint64_t ms, char* out, size_t size) {
  const uint64_t s = ms / 1000;
  if (s >= 86400) {
    snprintf(out, size, "%" PRIu64 "d %" PRIu64 "h", s / 86400, s % 86400 / 3600);
  } else if (s >= 3600) {
    snprintf(out, size, "%" PRIu64 "h %" PRIu64 "m", s / 3600, s % 3600 / 60);
  } else if (s >= 60) {
    snprintf(out, size, "%" PRIu64 "m %" PRIu64 "s", s / 60, s % 60);
  } else {
    snprintf(out, size, "%" PRIu64 "s", s);
  }
}

struct sort_context {
  uint64_t now_ms, stale_ms;
};

uint64_t seen_ms(const unit_view* u) { return static_cast<uint64_t>(u->seen_s) * 1000u + u->seen_us / 1000u; }

uint64_t age_ms(const unit_view* u, uint64_t now_ms) {
  const uint64_t seen = seen_ms(u);
  return now_ms > seen ? now_ms - seen : 0;
}

bool is_stale(const unit_view* u, const sort_context& c) { return age_ms(u, c.now_ms) > c.stale_ms; }

int battery_of(const unit_view* u) { return u->has_status && u->battery_valid ? u->battery : 1000; }

int compare_units(const void* a, const void* b, void* context) {
  const sort_context& sorting = *static_cast<const sort_context*>(context);
  const unit_view* x = *static_cast<const unit_view* const*>(a);
  const unit_view* y = *static_cast<const unit_view* const*>(b);
  const bool xs = is_stale(x, sorting), ys = is_stale(y, sorting);
  if (xs != ys) return xs ? -1 : 1;
  if (xs && seen_ms(x) != seen_ms(y)) return seen_ms(x) < seen_ms(y) ? -1 : 1;
  const int bx = battery_of(x), by = battery_of(y);
  if (bx != by) return bx < by ? -1 : 1;
  return x < y ? -1 : x > y;
}

void row(text_buffer* b, const unit_view* u, const fleet_page_info* info, bool stale) {
  char serial[8 * TELEMETRY_SERIAL_LEN + 1] = "<i>not yet known</i>";
  char uuid[2 * TELEMETRY_UUID_LEN + 1] = "";
  if (u->has_identity) {
    fleet_page_escape(u->serial, u->serial_len, serial);
    text_uuid(u->uuid, uuid);
  }
  char address[16];
  report_address(u->address, address);
  char version[20] = "&ndash;";
  if (u->has_version) snprintf(version, sizeof version, "%u.%u.%u", u->major, u->minor, u->patch);
  char battery[120] = "&ndash;";
  if (u->has_status && u->battery_valid) {
    snprintf(battery, sizeof battery,
             "<meter min=0 max=100 low=20 high=50 optimum=100 value=%u></meter> %u&nbsp;%%", u->battery,
             u->battery);
  }
  const char* charging = "&ndash;";
  if (u->has_status && u->charging_valid) charging = u->charging == 1 ? "yes" : u->charging == 0 ? "no" : "error";
  char age[32];
  age_text(age_ms(u, info->now_ms), age, sizeof age);
  text_append(b, "<tr%s><td>%s<td><code>%s</code><td>%s<td>%s<td>%s<td>%s<td>%s ago%s</tr>\n",
              stale ? " class=stale" : "", serial, uuid, address, version, battery, charging, age,
              stale ? " &#9888; silent" : "");
}

}  // namespace

void fleet_page_render(text_buffer* b, const fleet_snapshot* t, const fleet_page_info* info) {
  const listener_counts* c = &t->counts;
  sort_context sorting = {info->now_ms, static_cast<uint64_t>(info->stale_s) * 1000u};
  const unit_view** units = static_cast<const unit_view**>(malloc((t->count + 1) * sizeof *units));
  if (units == nullptr) {
    b->failed = true;
    return;
  }
  size_t silent = 0;
  for (size_t i = 0; i < t->count; ++i) {
    units[i] = &t->units[i];
    if (is_stale(units[i], sorting)) ++silent;
  }
  qsort_r(units, t->count, sizeof *units, compare_units, &sorting);

  char host[65] = "";
  gethostname(host, sizeof host - 1);
  char host_html[8 * sizeof host + 1];
  fleet_page_escape(reinterpret_cast<const uint8_t*>(host), strlen(host), host_html);
  char since[32] = "";
  const time_t started = static_cast<time_t>(info->started_s);
  tm utc;
  if (gmtime_r(&started, &utc) != nullptr) strftime(since, sizeof since, "%Y-%m-%d %H:%M:%S UTC", &utc);
  char running[32];
  const uint64_t started_ms = static_cast<uint64_t>(info->started_s) * 1000u;
  age_text(info->now_ms > started_ms ? info->now_ms - started_ms : 0, running, sizeof running);
  const uint64_t received = c->received[0] + c->received[1] + c->received[2];

  text_append(b, "<!DOCTYPE html>\n<html lang=en><head><meta charset=utf-8>\n");
  if (info->refresh_s != 0) text_append(b, "<meta http-equiv=refresh content=%u>\n", info->refresh_s);
  text_append(b,
              "<meta name=viewport content=\"width=device-width\">\n<title>%s: %zu units, %zu silent</title>\n"
              "<style>%s</style></head><body>\n<h1>Units heard on %s</h1>\n"
              "<p id=about>unitmon %s%s%s on %s, listening since %s (%s). "
              "<b>%zu units</b>, <b>%zu silent</b> for more than %lu s.\n"
              "<p id=datagrams>Datagrams received: %" PRIu64 " good, %" PRIu64 " malformed; lost: %" PRIu64
              " dropped by the kernel, %" PRIu64 " of units beyond the table's %zu. <a href=\"/metrics\">Metrics for Prometheus</a>\n"
              "<table><thead><tr><th>Serial number<th>UUID<th>Address<th>Version<th>Battery"
              "<th>Charging<th>Last contact</tr></thead>\n<tbody>\n",
              host_html, t->count, silent, STYLE, host_html, BOARD_VERSION,
              BOARD_REVISION[0] != '\0' ? " " : "", BOARD_REVISION, host_html, since, running, t->count,
              silent, info->stale_s, received, c->malformed, c->receive_drops, t->dropped, t->max);
  for (size_t i = 0; i < t->count; ++i) row(b, units[i], info, i < silent);
  text_append(b, "</tbody></table>\n</body></html>\n");
  free(units);
}

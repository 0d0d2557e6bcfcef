// The fleet page's order and marks: silent units first, the longest silent
// at the top, then by battery, lowest first. What a browser makes of the
// page is for web_test.sh.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <regex>
#include <string>
#include <vector>

#include "fleet_page.h"
#include "snapshot.h"
#include "units.h"

namespace {

struct Unit {
  const char* serial;
  int battery;       // -1: no status received
  unsigned silent_s; // before the page is rendered
};

// "SERIAL" per row in page order, "!" after a row marked silent.
std::string rows(const std::vector<Unit>& units) {
  const uint64_t now_ms = 1000000;
  const uint32_t now_s = 1700001000;
  unit_table table;
  units_init(&table, 100);
  uint32_t address = 0x0A000001;
  for (const Unit& u : units) {
    const uint64_t at = now_ms - u.silent_s * 1000u;
    telemetry_record r = {};
    r.type = TELEMETRY_IDENTITY;
    r.serial_len = static_cast<uint8_t>(strlen(u.serial));
    memcpy(r.serial, u.serial, r.serial_len);
    units_update(&table, address, &r, at, now_s - u.silent_s, 0);
    if (u.battery >= 0) {
      r = {};
      r.type = TELEMETRY_STATUS;
      r.battery = static_cast<uint8_t>(u.battery);
      r.battery_valid = true;
      units_update(&table, address, &r, at, now_s - u.silent_s, 0);
    }
    ++address;
  }
  listener_counts counts = {};
  text_buffer text = {nullptr, 0, 0, false};
  const fleet_page_info info = {uint64_t{now_s} * 1000u, 1700000000, 10, 0};
  fleet_snapshot snapshot;
  EXPECT_TRUE(snapshot_take(&snapshot, &table, &counts));
  fleet_page_render(&text, &snapshot, &info);
  snapshot_free(&snapshot);
  units_free(&table);
  const std::string page(text.data, text.len);
  free(text.data);
  std::string out;
  static const std::regex ROW("<tr( class=stale)?><td>([^<]*)<td>[^\n]*");
  for (std::sregex_iterator i(page.begin(), page.end(), ROW), end; i != end; ++i) {
    const bool marked = (*i)[1].matched, says = (*i)[0].str().find("silent") != std::string::npos;
    EXPECT_EQ(marked, says) << (*i)[0];
    out += (out.empty() ? "" : " ") + (*i)[2].str() + (marked ? "!" : "");
  }
  return out;
}

TEST(FleetPage, Order) {
  const struct {
    const char* what;
    std::vector<Unit> units;
    const char* rows;
  } CASES[] = {
      {"all heard: by battery, none last", {{"A", 50, 1}, {"B", 10, 2}, {"C", -1, 0}, {"D", 0, 9}}, "D B A C"},
      {"silent first, longest silent at the top",
       {{"A", 90, 20}, {"B", 5, 0}, {"C", 50, 60}, {"D", 1, 11}}, "C! A! D! B"},
      {"silent for exactly --stale is not yet silent", {{"A", 90, 10}, {"B", 80, 0}}, "B A"},
      {"markup in a serial number is text", {{"<b>&", 5, 0}}, "&lt;b&gt;&amp;"},
  };
  for (const auto& c : CASES) EXPECT_EQ(rows(c.units), c.rows) << c.what;
}

}  // namespace

// The exposition at the level of its text: per-unit samples with their
// labels escaped, and units leaving it once forgotten. Whether Prometheus
// itself takes the text is for prometheus_test.sh.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <sstream>
#include <string>
#include <vector>

#include "metrics.h"
#include "units.h"

namespace {

struct Datagram {
  uint32_t address;
  std::vector<uint8_t> bytes;
  uint64_t at_s;
};

std::vector<uint8_t> identity(const std::vector<uint8_t>& serial) {
  std::vector<uint8_t> d(29, 0);
  d[1] = 2;
  std::copy(serial.begin(), serial.end(), d.begin() + 2);
  d[28] = 0xAB;
  return d;
}

// The unit samples after the datagrams, and after forgetting what was
// silent since before `forget_before_s` (0: nothing).
std::string unit_samples(const std::vector<Datagram>& datagrams, uint64_t forget_before_s) {
  unit_table table;
  units_init(&table, 100);
  for (const Datagram& d : datagrams) {
    telemetry_record r;
    EXPECT_EQ(telemetry_decode(d.bytes.data(), d.bytes.size(), &r), TELEMETRY_OK);
    units_update(&table, d.address, &r, d.at_s * 1000, static_cast<uint32_t>(1700000000 + d.at_s), 5);
  }
  if (forget_before_s != 0) units_forget(&table, forget_before_s * 1000);
  listener_counts counts = {};
  text_buffer text = {nullptr, 0, 0, false};
  fleet_snapshot snapshot;
  EXPECT_TRUE(snapshot_take(&snapshot, &table, &counts));
  metrics_render(&text, &snapshot);
  snapshot_free(&snapshot);
  units_free(&table);
  std::istringstream in(std::string(text.data, text.len));
  free(text.data);
  std::string out, line;
  while (std::getline(in, line)) {
    if (line.rfind("unitmon_unit_", 0) == 0) out += line + "\n";
  }
  return out;
}

const char* const UUID = "000000000000000000000000000000AB";

TEST(Exposition, UnitSamples) {
  const uint32_t A = 0xC0A8010A, B = 0xC0A8010B;
  const std::vector<uint8_t> status = {0, 0, 87, 1}, version = {0, 1, 1, 4, 1, 2};
  struct {
    const char* name;
    std::vector<Datagram> datagrams;
    uint64_t forget_before_s;
    std::string samples;
  } cases[] = {
      {"by address until the identity arrives",
       {{A, status, 1}, {A, version, 1}},
       0,
       "unitmon_unit_battery_ratio{address=\"192.168.1.10\"} 0.87\n"
       "unitmon_unit_charging{address=\"192.168.1.10\"} 1\n"
       "unitmon_unit_last_seen_timestamp_seconds{address=\"192.168.1.10\"} 1700000001.000005\n"
       "unitmon_unit_info{address=\"192.168.1.10\",version=\"1.4.258\"} 1\n"},
      {"hostile serial escaped, out-of-range readings left out",
       {{A, {0, 0, 101, 3}, 2}, {A, identity({'"', '\\', '\n', 0x1B, 0x7F, 0xFF, 0xC3, 'x'}), 2}},
       0,
       "unitmon_unit_last_seen_timestamp_seconds{serial=\"\\\"\\\\\\n␛␡ÿÃx\",uuid=\"" + std::string(UUID) +
           "\"} 1700000002.000005\n"
       "unitmon_unit_info{serial=\"\\\"\\\\\\n␛␡ÿÃx\",uuid=\"" + std::string(UUID) +
           "\",address=\"192.168.1.10\",version=\"\"} 1\n"},
      {"a silent unit forgotten, a recent one kept",
       {{A, status, 1}, {B, {0, 0, 100, 0}, 10}},
       5,
       "unitmon_unit_battery_ratio{address=\"192.168.1.11\"} 1.00\n"
       "unitmon_unit_charging{address=\"192.168.1.11\"} 0\n"
       "unitmon_unit_last_seen_timestamp_seconds{address=\"192.168.1.11\"} 1700000010.000005\n"
       "unitmon_unit_info{address=\"192.168.1.11\",version=\"\"} 1\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(unit_samples(c.datagrams, c.forget_before_s), c.samples);
  }
}

}  // namespace

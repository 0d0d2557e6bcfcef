// The state file: what is saved comes back whole, and whatever else lies
// at its path is either moved aside untouched or left alone, never read
// as units.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "state.h"

namespace {

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

unit_view unit(uint32_t address, const char* serial) {
  unit_view v = {};
  v.address = address;
  v.seen_s = 1700000000u + address;
  v.seen_us = 999999;
  v.has_identity = serial != nullptr;
  if (serial != nullptr) {
    v.serial_len = static_cast<uint8_t>(strlen(serial));
    memcpy(v.serial, serial, v.serial_len);
    for (size_t i = 0; i < TELEMETRY_UUID_LEN; ++i) v.uuid[i] = static_cast<uint8_t>(0xF0 + i);
  }
  v.has_status = v.battery_valid = v.charging_valid = true;
  v.battery = 87;
  v.charging = 2;
  v.has_version = true;
  v.major = 1;
  v.minor = 4;
  v.patch = 0x0102;
  return v;
}

// Each case puts something at the path; what loading makes of it. A saved
// table comes back whole; anything else is moved aside unchanged or left
// where it is.
TEST(State, WhatLiesAtThePath) {
  const unit_view two[] = {unit(0xC0A8010A, "SU01-02003"), unit(0xC0A8010B, nullptr)};
  struct {
    const char* name;
    std::function<void(const std::string&)> make;
    state_result result;
    const char* reason;
  } cases[] = {
      {"nothing", [](const std::string&) {}, STATE_MISSING, nullptr},
      {"a saved table", [&](const std::string& p) { ASSERT_EQ(state_save(p.c_str(), two, 2), 0); }, STATE_LOADED,
       nullptr},
      {"truncated by a byte",
       [&](const std::string& p) {
         ASSERT_EQ(state_save(p.c_str(), two, 2), 0);
         ASSERT_EQ(truncate(p.c_str(), 20 + 2 * 48 - 1), 0);
       },
       STATE_MOVED, "truncated or of the wrong size"},
      {"one bit flipped in a record",
       [&](const std::string& p) {
         ASSERT_EQ(state_save(p.c_str(), two, 2), 0);
         std::string bytes = slurp(p);
         bytes[20 + 48 + 40] ^= 1;  // the second unit's battery
         std::ofstream(p, std::ios::binary) << bytes;
       },
       STATE_MOVED, "damaged (checksum mismatch)"},
      {"a foreign file", [](const std::string& p) { std::ofstream(p) << "units: []\n"; }, STATE_MOVED,
       "not a unitmon state file"},
      {"1 GB", [](const std::string& p) { ASSERT_EQ(truncate((std::ofstream(p), p).c_str(), 1 << 30), 0); },
       STATE_MOVED, "larger than any state file"},
      {"a FIFO", [](const std::string& p) { ASSERT_EQ(mkfifo(p.c_str(), 0600), 0); }, STATE_UNUSABLE,
       "not a regular file"},
      {"a directory", [](const std::string& p) { ASSERT_EQ(mkdir(p.c_str(), 0700), 0); }, STATE_UNUSABLE,
       "not a regular file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    char dir[] = "/tmp/unitmon-state-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/units";
    c.make(path);
    struct stat before = {};
    stat(path.c_str(), &before);
    const std::string bytes = S_ISREG(before.st_mode) && before.st_size < 4096 ? slurp(path) : "";
    state_contents st;
    EXPECT_EQ(state_load(path.c_str(), &st), c.result);
    EXPECT_STREQ(st.reason, c.reason);
    if (c.result == STATE_LOADED) {
      ASSERT_EQ(st.count, 2u);
      EXPECT_EQ(memcmp(st.units, two, sizeof two), 0);
      EXPECT_EQ(access((path + ".new").c_str(), F_OK), -1);
    }
    free(st.units);
    if (c.result == STATE_MOVED) {  // moved, not deleted, not changed
      EXPECT_EQ(access(path.c_str(), F_OK), -1);
      struct stat after = {};
      EXPECT_EQ(stat(st.aside, &after), 0);
      EXPECT_EQ(after.st_size, before.st_size);
      if (!bytes.empty()) {
        EXPECT_EQ(slurp(st.aside), bytes);
      }
    } else if (c.result == STATE_UNUSABLE) {  // left where it was
      struct stat after = {};
      EXPECT_EQ(stat(path.c_str(), &after), 0);
      EXPECT_EQ(after.st_mode, before.st_mode);
    }
    EXPECT_EQ(system(("rm -rf " + std::string(dir)).c_str()), 0);
  }
}

}  // namespace

// The USB-C controller report: the text of every line, the values that have
// no text, and the -U option run through the real program.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "boardsim/board.h"
#include "mcu.h"
#include "usbc_report.h"
#include "test_support.h"

namespace {

using test_support::capture_stdout;

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start) + "<no newline>");
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// The record that the state bytes 6B A6 D0 decode to.
constexpr usbc_state SAMPLE = {1, 2, 5, 1, 2, 1, 3, 3, 1};

const char* const SAMPLE_REPORT =
    "USB-C controller state:\n"
    "Current mode advertised: Medium (1.5A)\n"
    "Current mode determined by UFP: Charge through accessory (500 mA)\n"
    "Attached accessory: Audio with through charge\n"
    "Active cable connected: True\n"
    "Attached state: SNK\n"
    "Cable orientation: CC2\n"
    "Percentage of time advertised as DFP during DRP: 60 %\n"
    "Amount of time voltage is debounced on CC pins: 168 ms\n"
    "Selected mode: UFP (SNK)\n";

const char* const ZERO_REPORT =
    "USB-C controller state:\n"
    "Current mode advertised: Default (500mA/900mA)\n"
    "Current mode determined by UFP: Default\n"
    "Attached accessory: None\n"
    "Active cable connected: False\n"
    "Attached state: Not attached\n"
    "Cable orientation: CC1\n"
    "Percentage of time advertised as DFP during DRP: 30 %\n"
    "Amount of time voltage is debounced on CC pins: 133 ms\n"
    "Selected mode: According to PORT pin selection\n";

TEST(UsbcReport, SampleRecordPrintsEveryLabelAndText) {
  EXPECT_EQ(capture_stdout([] { print_usbc_state(&SAMPLE); }), SAMPLE_REPORT);
}

TEST(UsbcReport, AllZeroRecord) {
  const usbc_state zero = {};
  EXPECT_EQ(capture_stdout([&] { print_usbc_state(&zero); }), ZERO_REPORT);
}

// The nine lines in report order: label and value texts as the controller's
// settings name them (nullptr: no text, "Unknown (n)").
struct Line {
  const char* label;
  std::vector<const char*> texts;
};
const Line LINES[9] = {
    {"Current mode advertised: ", {"Default (500mA/900mA)", "Medium (1.5A)", "High (3A)"}},
    {"Current mode determined by UFP: ",
     {"Default", "Medium", "Charge through accessory (500 mA)", "High"}},
    {"Attached accessory: ",
     {"None", nullptr, nullptr, nullptr, "Audio", "Audio with through charge", "Debug"}},
    {"Active cable connected: ", {}},  // any non-zero value is True
    {"Attached state: ", {"Not attached", "SRC", "SNK", "Attached to an accessory"}},
    {"Cable orientation: ", {"CC1", "CC2"}},
    {"Percentage of time advertised as DFP during DRP: ", {"30 %", "40 %", "50 %", "60 %"}},
    {"Amount of time voltage is debounced on CC pins: ", {"133 ms", "116 ms", "151 ms", "168 ms"}},
    {"Selected mode: ", {"According to PORT pin selection", "UFP (SNK)", "DFP (SRC)", "DRP"}},
};

std::string expected_line(int line, uint32_t value) {
  const Line& l = LINES[line];
  if (line == 3) return std::string(l.label) + (value != 0 ? "True" : "False");
  if (value < l.texts.size() && l.texts[value] != nullptr) return std::string(l.label) + l.texts[value];
  return std::string(l.label) + "Unknown (" + std::to_string(value) + ")";
}

uint32_t* field(usbc_state* s, int line) {
  uint32_t* fields[9] = {&s->current_mode_advertised, &s->current_mode_detected,
                         &s->attached_accessory, nullptr, &s->attached_state,
                         &s->cable_orientation, &s->drp_duty_cycle, &s->cc_debounce,
                         &s->mode_select};
  return fields[line];
}
uint32_t value_of(const usbc_state& s, int line) {
  return line == 3 ? s.active_cable : *field(const_cast<usbc_state*>(&s), line);
}

// Checks the report of each record in order: heading, then the nine lines.
void expect_reports(const std::vector<usbc_state>& records) {
  const std::string out = capture_stdout([&] {
    for (const usbc_state& s : records) print_usbc_state(&s);
  });
  const std::vector<std::string> lines = split_lines(out);
  ASSERT_EQ(lines.size(), records.size() * 10);
  for (size_t r = 0; r < records.size(); ++r) {
    ASSERT_EQ(lines[r * 10], "USB-C controller state:");
    for (int l = 0; l < 9; ++l)
      ASSERT_EQ(lines[r * 10 + 1 + l], expected_line(l, value_of(records[r], l))) << "record " << r;
  }
}

// Every value of the three state bytes: each field stays within its bits,
// the bits that are not decoded change nothing, every combination of field
// values occurs, and each distinct record prints exactly its texts.
TEST(UsbcReport, EveryStateTheControllerCanReport) {
  const uint32_t widths[9] = {2, 2, 3, 1, 2, 1, 2, 2, 2};  // bits per field
  const uint32_t UNDECODED = 0x00190F;  // byte 1 bits 4, 3, 0; byte 2 bits 3-0
  std::vector<bool> seen(1u << 17);
  std::vector<usbc_state> distinct;
  for (uint32_t v = 0; v < (1u << 24); ++v) {
    const uint8_t bytes[3] = {uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
    usbc_state s;
    memset(&s, 0xEE, sizeof s);
    mcu_decode_usbc_state(bytes, &s);
    uint32_t key = 0;
    for (int l = 0; l < 9; ++l) {
      const uint32_t x = value_of(s, l);
      if (x >> widths[l]) FAIL() << "bytes " << std::hex << v << ": line " << l << " value " << x;
      key = (key << widths[l]) | x;
    }
    if (v & UNDECODED) {
      const uint32_t plain = v & ~UNDECODED;
      const uint8_t plain_bytes[3] = {uint8_t(plain >> 16), uint8_t(plain >> 8), uint8_t(plain)};
      usbc_state t;
      memset(&t, 0xEE, sizeof t);
      mcu_decode_usbc_state(plain_bytes, &t);
      if (memcmp(&s, &t, sizeof s) != 0) FAIL() << "undecoded bits count in " << std::hex << v;
    } else if (!seen[key]) {
      seen[key] = true;
      distinct.push_back(s);
    }
  }
  EXPECT_EQ(distinct.size(), seen.size());
  expect_reports(distinct);
}

// Values the decoding never produces still print their texts or Unknown.
class UsbcValueBeyondTheBits : public testing::TestWithParam<std::pair<int, uint32_t>> {};

TEST_P(UsbcValueBeyondTheBits, PrintsUnknownOrTrue) {
  const auto [line, value] = GetParam();
  usbc_state s = {};
  if (line == 3) s.active_cable = static_cast<uint8_t>(value); else *field(&s, line) = value;
  expect_reports({s});
}

INSTANTIATE_TEST_SUITE_P(, UsbcValueBeyondTheBits,
                         testing::Values(std::pair{1, 4u}, std::pair{3, 2u}, std::pair{3, 255u},
                                         std::pair{4, 4u}, std::pair{5, 2u}, std::pair{6, 4u},
                                         std::pair{7, 7u}, std::pair{8, 1000u}));

// -U through the real program: the MCU's state bytes on the bus become the
// report.
struct UsbcRun {
  const char* state_bytes;
  const char* expected;
};

TEST(UsbcOption, ReportsFromTheMcuStateBytes) {
  const std::string unknown_report =
      "USB-C controller state:\n"
      "Current mode advertised: Unknown (3)\n"
      "Current mode determined by UFP: Default\n"
      "Attached accessory: Unknown (7)\n"
      "Active cable connected: False\n"
      "Attached state: Not attached\n"
      "Cable orientation: CC1\n"
      "Percentage of time advertised as DFP during DRP: 30 %\n"
      "Amount of time voltage is debounced on CC pins: 133 ms\n"
      "Selected mode: According to PORT pin selection\n";
  const UsbcRun runs[] = {
      {"6ba6d0", SAMPLE_REPORT},
      {"000000", ZERO_REPORT},
      {"ce0000", unknown_report.c_str()},  // advertised 3, accessory 7
  };
  for (const UsbcRun& r : runs) {
    SCOPED_TRACE(r.state_bytes);
    boardsim::Board board;
    board.set("fw.usbc", r.state_bytes);
    const boardsim::RunResult res = board.run({boardsim::unitctl_path(), "-U"});
    EXPECT_EQ(res.out, r.expected);
    EXPECT_EQ(res.status, 0);
    EXPECT_EQ(res.err, "");
  }
}

TEST(UsbcOption, RefusedStateReadPrintsFailureLine) {
  boardsim::Board board;
  board.set("fw.status.usbc", 0);
  const boardsim::RunResult res = board.run({boardsim::unitctl_path(), "-U"});
  EXPECT_EQ(res.out, "Unable to get USB controller data\n");
  EXPECT_EQ(res.status, 1);
  // The state was really asked for: command word 10 10 went out.
  uint64_t words = 0;
  for (const boardsim::Exchange& e : board.spi_log()) {
    if (e.tx == std::vector<uint8_t>{0x10, 0x10}) words += e.count;
  }
  EXPECT_GE(words, 1u);
}

}  // namespace

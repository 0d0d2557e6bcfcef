// The USB-C controller report: the text of every line, the values that have
// no text, and the -U option run through the real program.
#include <gtest/gtest.h>

#include <stdio.h>
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

// One field set to one value, all others zero: the report line of that field
// (1 to 9, after the heading) must read exactly `line`; every other line
// keeps its zero text.
struct FieldCase {
  int field;  // 1..9 in report order
  uint32_t value;
  const char* line;
};

void set_field(usbc_state* s, int field, uint32_t value) {
  switch (field) {
    case 1: s->current_mode_advertised = value; break;
    case 2: s->current_mode_detected = value; break;
    case 3: s->attached_accessory = value; break;
    case 4: s->active_cable = static_cast<uint8_t>(value); break;
    case 5: s->attached_state = value; break;
    case 6: s->cable_orientation = value; break;
    case 7: s->drp_duty_cycle = value; break;
    case 8: s->cc_debounce = value; break;
    case 9: s->mode_select = value; break;
  }
}

const FieldCase FIELD_CASES[] = {
    {1, 1, "Current mode advertised: Medium (1.5A)"},
    {1, 2, "Current mode advertised: High (3A)"},
    {1, 3, "Current mode advertised: Unknown (3)"},
    {2, 1, "Current mode determined by UFP: Medium"},
    {2, 2, "Current mode determined by UFP: Charge through accessory (500 mA)"},
    {2, 3, "Current mode determined by UFP: High"},
    {2, 4, "Current mode determined by UFP: Unknown (4)"},
    {3, 1, "Attached accessory: Unknown (1)"},
    {3, 2, "Attached accessory: Unknown (2)"},
    {3, 3, "Attached accessory: Unknown (3)"},
    {3, 4, "Attached accessory: Audio"},
    {3, 5, "Attached accessory: Audio with through charge"},
    {3, 6, "Attached accessory: Debug"},
    {3, 7, "Attached accessory: Unknown (7)"},
    {4, 1, "Active cable connected: True"},
    {4, 2, "Active cable connected: True"},
    {4, 255, "Active cable connected: True"},
    {5, 1, "Attached state: SRC"},
    {5, 2, "Attached state: SNK"},
    {5, 3, "Attached state: Attached to an accessory"},
    {5, 4, "Attached state: Unknown (4)"},
    {6, 1, "Cable orientation: CC2"},
    {6, 2, "Cable orientation: Unknown (2)"},
    {6, 3, "Cable orientation: Unknown (3)"},
    {7, 1, "Percentage of time advertised as DFP during DRP: 40 %"},
    {7, 2, "Percentage of time advertised as DFP during DRP: 50 %"},
    {7, 3, "Percentage of time advertised as DFP during DRP: 60 %"},
    {7, 4, "Percentage of time advertised as DFP during DRP: Unknown (4)"},
    {8, 1, "Amount of time voltage is debounced on CC pins: 116 ms"},
    {8, 2, "Amount of time voltage is debounced on CC pins: 151 ms"},
    {8, 3, "Amount of time voltage is debounced on CC pins: 168 ms"},
    {8, 7, "Amount of time voltage is debounced on CC pins: Unknown (7)"},
    {9, 1, "Selected mode: UFP (SNK)"},
    {9, 2, "Selected mode: DFP (SRC)"},
    {9, 3, "Selected mode: DRP"},
    {9, 1000, "Selected mode: Unknown (1000)"},
};

TEST(UsbcReport, EachValueOfEachLine) {
  const std::vector<std::string> zero_lines = split_lines(ZERO_REPORT);
  for (const FieldCase& c : FIELD_CASES) {
    SCOPED_TRACE("field " + std::to_string(c.field) + " value " + std::to_string(c.value));
    usbc_state s = {};
    set_field(&s, c.field, c.value);
    const std::vector<std::string> lines = split_lines(capture_stdout([&] { print_usbc_state(&s); }));
    ASSERT_EQ(lines.size(), 10u);
    for (int i = 0; i < 10; ++i) {
      EXPECT_EQ(lines[i], i == c.field ? std::string(c.line) : zero_lines[i]) << "line " << i;
    }
  }
}

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

// The real unitctl binary against the simulated board: every direct MCU
// option's output and exit status, argument checks, option parsing,
// VERBOSE_OUTPUT, device set-up failures, and the program's run-time
// dependencies.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>

#include <boardsim/board.h>

#include "test_support.h"

#include <map>
#include <sstream>
#include <string>
#include <vector>

using boardsim::Board;
using boardsim::RunResult;

namespace {

using Settings = std::vector<std::pair<std::string, std::string>>;
using Env = std::map<std::string, std::string>;

RunResult unitctl(const Board& board, std::vector<std::string> args, const Env& env = {}) {
  args.insert(args.begin(), boardsim::unitctl_path());
  return board.run(args, env);
}

std::string join(const std::vector<std::string>& v) {
  std::string s;
  for (const auto& x : v) s += (s.empty() ? "" : " ") + x;
  return s;
}

std::string blanks(int n) {
  std::string r;
  for (int i = 0; i < n; ++i) r += "__ ";
  return r;
}

const char CONFIG_LINES[] =
    "SPI config:\n"
    "Mode: 0x0\n"
    "Bits per word: 8\n"
    "Max Speed: 25000000 Hz (25000 KHz)\n"
    "Speed: 100000 Hz (100 KHz)\n";

const char SERIAL_FORMAT_LINES[] =
    "Serial number needs to be exactly 10 characters, and in the following format: SUVV-BBXXX\n"
    "Where VV is board iteration, BB is batch version, and XXX is the production number in said "
    "batch.\n";

std::string usage(const std::string& program) {
  return "Usage: " + program + " [OPTIONS]\n" +
         "OPTIONS:\n"
         "-h\n"
         "    Print this help and exit\n"
         "-V\n"
         "    Print unitctl's version and exit\n"
         "-b\n"
         "    Read the battery level\n"
         "-c\n"
         "    Read the current charging status\n"
         "-t\n"
         "    Turn the status LEDs on or off by passing 1 or 0 as an argument\n"
         "-l\n"
         "    Enable the link LED by passing 1 or 0 as an argument\n"
         "-w\n"
         "    Print the firmware version\n"
         "-v\n"
         "    Print the KRV version\n"
         "-r\n"
         "    Turn reset mode on or off by passing 1 or 0 as an argument\n"
         "-u\n"
         "    Print the surface unit's UUID\n"
         "-f\n"
         "    Compare local version number in XML file and version number on MCU\n"
         "-s\n"
         "    Read serial number flashed in EEPROM\n"
         "-S [number]\n"
         "    Write serial number to EEPROM, needs to be in the following format:\n"
         "    SUVV-BBXXX\n"
         "    Where VV is board iteration, BB is batch version, and XXX is the \n"
         "    production number in said batch.\n"
         "-U\n"
         "    Read and print state of the USB-C controller\n"
         "-m [mode]\n"
         "    Set the mode for the USB-C controller. Valid values are:\n"
         "      0 : Maintain mode according to PORT pin selection (default)\n"
         "      1 : UFP mode (unattached.SNK)\n"
         "      2 : DFP mode (unattached.SRC)\n"
         "      3 : DRP mode (start from unattached.SNK)\n"
         "-M [mode]\n"
         "    Set the current mode advertised for the USB-C controller. Valid values:\n"
         "      0 : Default (500 mA / 900 mA) initial value at startup\n"
         "      1 : Medium (1.5 A)\n"
         "      2 : High (3 A)\n"
         "  No argument\n"
         "    Read data and publish over UDP\n"
         "    (to TELEMETRY_DESTINATION=host[:port] when set)\n"
         "\n";
}

struct Case {
  Settings settings;
  std::vector<std::string> args;
  std::string out;
  int status;
  Settings records = {};  // what the MCU must have been told
};

std::string label(const Case& c) {
  std::string l = join(c.args);
  for (const auto& [k, v] : c.settings) l += " [" + k + "=" + v + "]";
  return l;
}
void PrintTo(const Case& c, std::ostream* os) { *os << label(c); }

// One run of the program per row: its output, its status and what the MCU
// was told.
class CliRun : public testing::TestWithParam<Case> {};

TEST_P(CliRun, OutputStatusAndMcuState) {
  const Case& c = GetParam();
  Board board;
  for (const auto& [k, v] : c.settings) board.set(k, v);
  const RunResult r = unitctl(board, c.args);
  EXPECT_EQ(r.out, c.out);
  EXPECT_EQ(r.status, c.status) << "signal " << r.signal << "\n" << r.err;
  EXPECT_FALSE(r.timed_out);
  for (const auto& [k, v] : c.records) EXPECT_EQ(board.get(k), v) << k;
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(Queries, CliRun, testing::ValuesIn(std::vector<Case>{
    {{}, {"-b"}, "Battery level: 87 %\n", 0},
    {{{"fw.battery", "100"}}, {"-b"}, "Battery level: 100 %\n", 0},
    {{{"fw.battery", "0"}}, {"-b"}, "Battery level: 0 %\n", 0},
    {{{"fw.charging", "0"}}, {"-c"}, "Charging status: OFF\n", 0},
    {{{"fw.charging", "1"}}, {"-c"}, "Charging status: ON\n", 0},
    {{{"fw.charging", "2"}}, {"-c"}, "Charging status: ERROR\n", 0},
    {{}, {"-w"}, "MCU firmware version: 1.4.2\nBuild number: 57\nCommit ID: a1b2c3d\n", 0},
    {{{"fw.major", "255"}, {"fw.minor", "0"}, {"fw.patch", "65535"}, {"fw.build", "256"},
      {"fw.commit", "0f0f0f0"}},
     {"-w"},
     "MCU firmware version: 255.0.65535\nBuild number: 256\nCommit ID: 0f0f0f0\n",
     0},
    {{}, {"-u"}, "UUID: 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F \n", 0},
    {{{"fw.uuid", "fedcba98765432100123456789abcdef"}},
     {"-u"},
     "UUID: FE DC BA 98 76 54 32 10 01 23 45 67 89 AB CD EF \n",
     0},
    {{}, {"-s"}, "Serial number: SU01-02003\n", 0}
}));

INSTANTIATE_TEST_SUITE_P(SetOptions, CliRun, testing::ValuesIn(std::vector<Case>{
    {{}, {"-t", "1"}, "Test mode enabled.\n", 0, {{"fw.test_mode", "1"}}},
    {{}, {"-t", "0"}, "Test mode disabled.\n", 0, {{"fw.test_mode", "0"}}},
    {{}, {"-l", "1"}, "Link led is enabled.\n", 0, {{"fw.link_led", "1"}}},
    {{}, {"-l", "0"}, "Link led is disabled.\n", 0, {{"fw.link_led", "0"}}},
    {{}, {"-r", "1"}, "", 0, {{"fw.reset_mode", "1"}}},
    {{}, {"-r", "0"}, "", 0, {{"fw.reset_mode", "0"}}},
    {{}, {"-S", "SU02-03004"}, "Serial number successfully written\n", 0, {{"fw.serial", "SU02-03004"}}},
    {{}, {"-S", "not a SUVV"}, "Serial number successfully written\n", 0, {{"fw.serial", "not a SUVV"}}},
    {{}, {"-m", "7"}, "Mode successfully set\n", 0, {{"fw.usbc_mode", "7"}}},
    {{}, {"-m", "x"}, "Mode successfully set\n", 0, {{"fw.usbc_mode", "0"}}},
    {{}, {"-m", "3"}, "Mode successfully set\n", 0, {{"fw.usbc_mode", "3"}}},
    {{}, {"-M", "2"}, "Current mode successfully set\n", 0, {{"fw.usbc_current", "2"}}},
    {{}, {"-M", "9"}, "Current mode successfully set\n", 0, {{"fw.usbc_current", "9"}}}
}));

const Settings DEAD_BUS = {{"spi.fail_exchanges", "-1"}};
const Settings DEAD_MCU = {{"fw.silent", "1"}};

INSTANTIATE_TEST_SUITE_P(Failures, CliRun, testing::ValuesIn(std::vector<Case>{
    {{{"fw.battery", "101"}}, {"-b"}, "Unable to read battery level\n", 1},
    {{{"fw.bad_crc", "-1"}}, {"-b"}, "Unable to read battery level\n", 1},
    {DEAD_BUS, {"-b"}, "Unable to read battery level\n", 1},
    {DEAD_MCU, {"-b"}, "Unable to read battery level\n", 1},
    {{{"fw.charging", "3"}}, {"-c"}, "Unable to read charging status\n", 1},
    {DEAD_MCU, {"-c"}, "Unable to read charging status\n", 1},
    {DEAD_BUS, {"-w"}, "Unable to get firmware version\n", 1},
    {DEAD_MCU, {"-w"}, "Unable to get firmware version\n", 1},
    {{{"fw.status.uuid", "0"}}, {"-u"}, "Unable to get UUID\n", 1},
    {{{"fw.status.serial", "0"}}, {"-s"}, "Unable to read serial number from MCU\n", 1},
    {{{"fw.status.set", "0"}}, {"-t", "1"}, "Unable to set test mode\n", 1},
    {{{"fw.status.set", "0"}}, {"-l", "0"}, "Unable to set link led\n", 1},
    {{{"fw.status.set", "0"}}, {"-r", "1"}, "Unable to set reset mode!\n", 1},
    {DEAD_MCU, {"-r", "0"}, "Unable to set reset mode!\n", 1},
    {{{"fw.bad_ack", "-1"}}, {"-S", "SU01-02004"}, "Unable to write serial number\n", 1},
    {{{"fw.ack_refuse", "1"}}, {"-m", "1"}, "Unable to set USB mode\n", 1},
    {{{"fw.ack_refuse", "1"}}, {"-M", "1"}, "Unable to set USB current mode advertised\n", 1},
    {DEAD_BUS, {"-M", "1"}, "Unable to set USB current mode advertised\n", 1},
    {{{"fw.status.usbc", "0"}}, {"-U"}, "Unable to get USB controller data\n", 1},
    {DEAD_MCU, {"-U"}, "Unable to get USB controller data\n", 1}
}));

INSTANTIATE_TEST_SUITE_P(RecoversFromOneBadFrame, CliRun, testing::ValuesIn(std::vector<Case>{
    {{{"fw.bad_crc", "2"}}, {"-b"}, "Battery level: 87 %\n", 0},
    {{{"fw.not_ready", "1"}}, {"-s"}, "Serial number: SU01-02003\n", 0},
    {{{"fw.bad_ack", "1"}}, {"-m", "2"}, "Mode successfully set\n", 0, {{"fw.usbc_mode", "2"}}},
    {{{"spi.fail_exchanges", "1"}}, {"-c"}, "Charging status: ON\n", 0}
}));

namespace {

struct ArgCase {
  std::vector<std::string> args;
  std::string out;
};
void PrintTo(const ArgCase& c, std::ostream* os) { *os << join(c.args); }

class CliArgument : public testing::TestWithParam<ArgCase> {};

TEST_P(CliArgument, CheckedAfterTheDeviceIsOpen) {
  const ArgCase& c = GetParam();
  {
    Board board;
    const RunResult r = unitctl(board, c.args);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(board.spi_config_log().size(), 6u);  // the device was set up
    EXPECT_TRUE(board.spi_log().empty());          // and the MCU left alone
  }
  {
    // A missing device ends the run before any argument message.
    Board board;
    board.set("spi.fail_open", 1);
    const RunResult r = unitctl(board, c.args);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, std::string("can't open device: ") + strerror(ENOENT) + "\n");
  }
}

INSTANTIATE_TEST_SUITE_P(, CliArgument, testing::ValuesIn(std::vector<ArgCase>{
    {{"-t", "2"}, "Invalid argument!\n"},
    {{"-t", "on"}, "Invalid argument!\n"},
    {{"-t", "10"}, "Invalid argument!\n"},
    {{"-t", ""}, "Invalid argument!\n"},
    {{"-l", "true"}, "Invalid argument!\n"},
    {{"-r", "2"}, "Invalid argument to change reset mode\n"},
    {{"-r", "01"}, "Invalid argument to change reset mode\n"},
    {{"-S", "SU01-0200"}, SERIAL_FORMAT_LINES},
    {{"-S", "SU01-020030"}, SERIAL_FORMAT_LINES},
    {{"-m", "12"}, "Need to pass usb mode 0 - 3\n"},
    {{"-m", ""}, "Need to pass usb mode 0 - 3\n"},
    {{"-M", "12"}, "Need to pass current mode to advertise (0 - 2)\n"},
}));

// Each failing step of the device set-up, for options of each shape.
struct SetUpCase {
  const char* key;
  const char* value;
  const char* message;
  int error;
};
void PrintTo(const SetUpCase& c, std::ostream* os) { *os << c.value; }

const SetUpCase SET_UP_CASES[] = {
    {"spi.fail_open", "1", "can't open device", ENOENT},
    {"spi.fail_ioctl", "wr_mode", "can't set spi mode", EINVAL},
    {"spi.fail_ioctl", "rd_mode", "can't get spi mode", EINVAL},
    {"spi.fail_ioctl", "wr_bits", "can't set bits per word", EINVAL},
    {"spi.fail_ioctl", "rd_bits", "can't get bits per word", EINVAL},
    {"spi.fail_ioctl", "wr_speed", "can't set max speed hz", EINVAL},
    {"spi.fail_ioctl", "rd_speed", "can't get max speed hz", EINVAL},
};

class CliDeviceSetUp : public testing::TestWithParam<std::tuple<SetUpCase, const char*>> {};

TEST_P(CliDeviceSetUp, FailureEndsWithTheSystemErrorAndStatus1) {
  const auto& [c, option] = GetParam();
  Board board;
  board.set(c.key, c.value);
  std::vector<std::string> args = {option};
  if (std::string(option) == "-S") args.push_back("short");
  const RunResult r = unitctl(board, args, {{"VERBOSE_OUTPUT", "1"}});
  EXPECT_EQ(r.signal, 0);  // no crash, no core
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, std::string(c.message) + ": " + strerror(c.error) + "\n");
  // The configuration lines come first and are not lost.
  EXPECT_EQ(r.out, CONFIG_LINES);
  EXPECT_TRUE(board.spi_log().empty());
}

INSTANTIATE_TEST_SUITE_P(, CliDeviceSetUp,
                         testing::Combine(testing::ValuesIn(SET_UP_CASES),
                                          testing::Values("-b", "-S", "-U")),
                         [](const auto& info) {
                           const SetUpCase& c = std::get<0>(info.param);
                           const std::string step =
                               std::string(c.key) == "spi.fail_open" ? "open" : c.value;
                           return step + "_" + (std::get<1>(info.param) + 1);
                         });

}  // namespace

TEST(Cli, VerboseOutputOnlyForExactlyOne) {
  const std::string plain = "Battery level: 87 %\n";
  const std::string verbose = std::string(CONFIG_LINES) +
                              "TX | 01 01 " + blanks(30) + " | ..\n" +
                              "RX | FF FF " + blanks(30) + " | ..\n" +
                              "TX | FF FF " + blanks(30) + " | ..\n" +
                              "RX | 57 A2 " + blanks(30) + " | W.\n" + plain;
  // An empty value cannot be passed through the test kit ("" removes the
  // variable); the other near misses stand for it.
  struct VerboseCase {
    const char* value;  // nullptr: unset
    bool on;
  } cases[] = {{"1", true}, {nullptr, false}, {"01", false}, {"true", false},
               {"1 ", false}, {" 1", false}, {"0", false}, {"11", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value ? std::string("\"") + c.value + "\"" : "unset");
    Board board;
    const Env env = {{"VERBOSE_OUTPUT", c.value ? c.value : ""}};
    const RunResult r = unitctl(board, {"-b"}, env);
    EXPECT_EQ(r.out, c.on ? verbose : plain);
    EXPECT_EQ(r.status, 0);
  }
}

const char BATTERY_LINE[] = "Battery level: 87 %\n";
INSTANTIATE_TEST_SUITE_P(OnlyTheFirstOptionCounts, CliRun, testing::ValuesIn(std::vector<Case>{
    {{}, {"-b", "-c"}, BATTERY_LINE, 0},
    {{}, {"-bc"}, BATTERY_LINE, 0},
    {{}, {"-b", "-t", "2"}, BATTERY_LINE, 0},
    {{}, {"-b", "extra", "words"}, BATTERY_LINE, 0},
    {{}, {"-b", "-x"}, BATTERY_LINE, 0},  // never parsed
    {{}, {"-t", "1", "-b"}, "Test mode enabled.\n", 0},
    {{}, {"-t1"}, "Test mode enabled.\n", 0},
    {{}, {"-S", "-b"}, SERIAL_FORMAT_LINES, 1},  // -b is -S's argument
}));

TEST(Cli, HelpNeedsNoDevice) {
  for (const auto& args : std::vector<std::vector<std::string>>{{"-h"}, {"-h", "-b"}, {"-hb"}}) {
    SCOPED_TRACE(join(args));
    Board board;
    board.set("spi.fail_open", 1);
    const RunResult r = unitctl(board, args);
    EXPECT_EQ(r.out, usage(boardsim::unitctl_path()));
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(board.spi_config_log().empty());
  }
}

TEST(Cli, UnknownOptionsAndMissingArgumentsEndWithStatusOne) {
  const std::vector<std::vector<std::string>> cases = {
      {"-x"}, {"-t"}, {"-S"}, {"-m"}, {"-M"}, {"-l"}, {"-r"}, {"-?"}, {"--help"}, {"-xb"}};
  for (const auto& args : cases) {
    SCOPED_TRACE(join(args));
    Board board;
    const RunResult r = unitctl(board, args);
    EXPECT_EQ(r.out, "");  // only the parser's own diagnostic, on stderr
    EXPECT_FALSE(r.err.empty());
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(board.spi_config_log().empty());
  }
}

TEST(Cli, APlainWordFirstTakesTheNoOptionEntry) {
  // Parsing stops at the first plain word: "-b" after it is never seen, and
  // the run is the same as one without arguments (the telemetry service,
  // stopped after its first datagrams).
  const Env env = {{"VERBOSE_OUTPUT", ""}};
  auto run_telemetry = [&](const std::vector<std::string>& args) {
    Board board;
    board.set("net.stop_after", 3);
    board.set("time.fast_sleep", 1);
    RunResult r = unitctl(board, args, env);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(board.datagrams().size(), 3u);
    return r;
  };
  const RunResult none = run_telemetry({});
  EXPECT_EQ(none.out.find("Battery level"), std::string::npos);
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"word", "-b"}, {"-", "-b"}, {"--", "-b"}, {"word"}}) {
    SCOPED_TRACE(join(args));
    const RunResult r = run_telemetry(args);
    EXPECT_EQ(r.out, none.out);
    EXPECT_EQ(r.status, none.status);
    EXPECT_EQ(r.signal, none.signal);
  }
}

TEST(Cli, SerialNumberWrittenIsReadBack) {
  Board board;
  EXPECT_EQ(unitctl(board, {"-S", "SU05-00042"}).out, "Serial number successfully written\n");
  const RunResult r = unitctl(board, {"-s"});
  EXPECT_EQ(r.out, "Serial number: SU05-00042\n");
  EXPECT_EQ(r.status, 0);
  // A refused length changes nothing.
  EXPECT_EQ(unitctl(board, {"-S", "SU05-0004"}).status, 1);
  EXPECT_EQ(unitctl(board, {"-s"}).out, "Serial number: SU05-00042\n");
}

TEST(Cli, BatteryReadOnTheBus) {
  Board board;
  ASSERT_EQ(unitctl(board, {"-b"}).out, "Battery level: 87 %\n");
  const auto log = board.spi_log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].tx, std::vector<uint8_t>({0x01, 0x01}));
  EXPECT_EQ(log[0].rx, std::vector<uint8_t>({0xFF, 0xFF}));
  EXPECT_EQ(log[1].tx, std::vector<uint8_t>({0xFF, 0xFF}));
  EXPECT_EQ(log[1].rx, std::vector<uint8_t>({0x57, 0xA2}));
  EXPECT_GE(log[1].t_first_ns - log[0].t_first_ns, 5000000u);
  for (const auto& e : log) {
    EXPECT_EQ(e.speed_hz, 100000u);
    EXPECT_EQ(e.count, 1u);
  }
}

// A sanitized build links the sanitizer runtimes without --as-needed; the
// symbol check still holds for it.
TEST(Cli, ProgramNeedsOnlyTheCLibraryAndLibxml2) {
  test_support::expect_c_runtime_only(boardsim::unitctl_path(), {"libxml2.so"});
}

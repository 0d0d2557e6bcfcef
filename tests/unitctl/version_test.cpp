// The local version file: what the read takes from it and what it leaves,
// the comparison of two records, and the -v and -f options run through the
// real program.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "boardsim/board.h"
#include "local_version.h"
#include "mcu.h"

namespace {

using boardsim::Board;
using boardsim::RunResult;

std::string describe(const version_info& v) {
  char buf[96];
  snprintf(buf, sizeof(buf), "%u.%u.%u+%u.%.8s", v.major, v.minor, v.patch, v.build,
           v.commit_id_short);
  return buf;
}

// A record filled with a pattern that no file produces, to see what a read
// overwrites and what it leaves.
version_info poisoned() {
  version_info v;
  memset(&v, 0xA5, sizeof(v));
  return v;
}

bool same_bytes(const version_info& a, const version_info& b) {
  return memcmp(&a, &b, sizeof(a)) == 0;
}

// Fields compared one by one, the commit id up to its terminator, and the
// terminator checked to lie inside the field.
void expect_version(const version_info& got, const version_info& want) {
  EXPECT_EQ(got.major, want.major);
  EXPECT_EQ(got.minor, want.minor);
  EXPECT_EQ(got.patch, want.patch);
  EXPECT_EQ(got.build, want.build);
  ASSERT_NE(memchr(got.commit_id_short, 0, sizeof(got.commit_id_short)), nullptr)
      << "commit id not terminated inside its field";
  EXPECT_STREQ(got.commit_id_short, want.commit_id_short);
}

struct ReadCase {
  const char* name;
  const char* xml;
  version_info expected;
};

const ReadCase READ_CASES[] = {
    {"all five fields",
     "<?xml version=\"1.0\"?>\n<krv>\n  <major>1</major>\n  <minor>4</minor>\n  <patch>2</patch>\n"
     "  <build>57</build>\n  <commit_id_short>a1b2c3d</commit_id_short>\n</krv>\n",
     {1, 4, 2, 57, "a1b2c3d"}},
    {"any root name, any order",
     "<version><commit_id_short>0ff1ce0</commit_id_short><build>9</build><patch>8</patch>"
     "<minor>7</minor><major>6</major></version>",
     {6, 7, 8, 9, "0ff1ce0"}},
    {"nested one level deeper is not found",
     "<krv><info><major>1</major><minor>4</minor><patch>2</patch><build>57</build>"
     "<commit_id_short>a1b2c3d</commit_id_short></info></krv>",
     {0, 0, 0, 0, ""}},
    {"names are case-sensitive",
     "<krv><Major>9</Major><MINOR>9</MINOR><Patch>9</Patch><build>3</build>"
     "<Commit_id_short>zzzzzzz</Commit_id_short></krv>",
     {0, 0, 0, 3, ""}},
    {"white space and line breaks around numbers",
     "<krv><major>\n  7\n</major><minor> 8 </minor><patch>\t258\r\n</patch><build>\n\n12\n</build></krv>",
     {7, 8, 258, 12, ""}},
    {"a repeated element: the later wins",
     "<krv><major>1</major><commit_id_short>aaaaaaa</commit_id_short><major>2</major>"
     "<commit_id_short>bb</commit_id_short></krv>",
     {2, 0, 0, 0, "bb"}},
    {"numbers keep their low bits",
     "<krv><major>300</major><minor>256</minor><patch>-1</patch><build>70000</build></krv>",
     {44, 0, 65535, 4464, ""}},
    {"a number far too large keeps its low bits",
     "<krv><major>4294967297</major><build>-65537</build></krv>",
     {1, 0, 0, 65535, ""}},
    {"sign and trailing text as atoi reads them",
     "<krv><major>+5</major><minor>12abc</minor><patch>abc</patch><build>- 3</build></krv>",
     {5, 12, 0, 0, ""}},
    {"a commit id of 9 characters is cut to 7",
     "<krv><commit_id_short>abcdef123</commit_id_short></krv>", {0, 0, 0, 0, "abcdef1"}},
    {"a long commit id is cut to 7",
     "<krv><commit_id_short>0123456789abcdef0123456789abcdef0123456789</commit_id_short></krv>",
     {0, 0, 0, 0, "0123456"}},
    {"a short commit id is kept whole",
     "<krv><commit_id_short>ab1</commit_id_short></krv>", {0, 0, 0, 0, "ab1"}},
    {"text content of everything inside an element, joined",
     "<krv><commit_id_short>ab<x>cd</x>e</commit_id_short><major><b>1</b>2</major></krv>",
     {12, 0, 0, 0, "abcde"}},
    {"comments and other elements are passed over",
     "<krv><!-- <major>9</major> --><other>5</other><major>3</major>text<?pi x?></krv>",
     {3, 0, 0, 0, ""}},
    {"missing elements read as zero and an empty commit id",
     "<krv><minor>5</minor></krv>", {0, 5, 0, 0, ""}},
    {"an empty root", "<krv/>", {0, 0, 0, 0, ""}},
};

void PrintTo(const ReadCase& c, std::ostream* os) { *os << c.name; }

class ReadLocalVersion : public testing::TestWithParam<ReadCase> {};

TEST_P(ReadLocalVersion, FieldsFromTheFile) {
  const ReadCase& c = GetParam();
  Board board;
  board.attach();
  board.write_version_file(c.xml);
  version_info v = poisoned();
  ASSERT_EQ(read_local_version(&v), 0);
  expect_version(v, c.expected);
}

INSTANTIATE_TEST_SUITE_P(, ReadLocalVersion, testing::ValuesIn(READ_CASES));

TEST(ReadLocalVersionFails, UnusableFileLeavesTheRecordUntouched) {
  struct Case {
    const char* name;
    const char* xml;  // nullptr: no file at all
    bool deny;
  };
  const Case cases[] = {
      {"missing file", nullptr, false},
      {"unreadable file", "<krv><major>1</major></krv>", true},
      {"not XML", "major=1 minor=4 patch=2\n", false},
      {"truncated XML", "<krv><major>1</major><minor>4", false},
      {"empty file", "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Board board;
    board.attach();
    if (c.xml != nullptr) board.write_version_file(c.xml);
    if (c.deny) board.set("fs.deny", VERSION_FILE_PATH);
    const version_info before = poisoned();
    version_info v = before;
    EXPECT_EQ(read_local_version(&v), 1);
    EXPECT_TRUE(same_bytes(v, before)) << "record changed to " << describe(v);
  }
}

TEST(CompareVersions, AllFiveFieldsCount) {
  const version_info base = {1, 4, 2, 57, "a1b2c3d"};
  struct Case {
    const char* name;
    version_info other;
    int expected;
  };
  const Case cases[] = {
      {"equal", {1, 4, 2, 57, "a1b2c3d"}, 0},
      {"major", {2, 4, 2, 57, "a1b2c3d"}, 1},
      {"minor", {1, 3, 2, 57, "a1b2c3d"}, 1},
      {"patch", {1, 4, 258, 57, "a1b2c3d"}, 1},
      {"patch high byte only", {1, 4, 0x0102, 57, "a1b2c3d"}, 1},
      {"build only", {1, 4, 2, 58, "a1b2c3d"}, 1},
      {"older build", {1, 4, 2, 56, "a1b2c3d"}, 1},
      {"commit only", {1, 4, 2, 57, "a1b2c3e"}, 1},
      {"commit prefix", {1, 4, 2, 57, "a1b2c3"}, 1},
      {"empty commit", {1, 4, 2, 57, ""}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(compare_versions(&base, &c.other), c.expected);
    EXPECT_EQ(compare_versions(&c.other, &base), c.expected);
  }
}

TEST(CompareVersions, BytesBehindTheTerminatorDoNotCount) {
  version_info a = {1, 4, 2, 57, "abc"};
  version_info b = {1, 4, 2, 57, "abc"};
  memcpy(a.commit_id_short + 4, "xyz", 3);
  memcpy(b.commit_id_short + 4, "QRS", 3);
  EXPECT_EQ(compare_versions(&a, &b), 0);
}

// ---- The -v option through the real program --------------------------------

const char* const SAMPLE_XML =
    "<?xml version=\"1.0\"?>\n<krv>\n  <major>1</major>\n  <minor>4</minor>\n  <patch>2</patch>\n"
    "  <build>57</build>\n  <commit_id_short>a1b2c3d</commit_id_short>\n</krv>\n";

std::string version_xml(const std::string& major, const std::string& minor,
                        const std::string& patch, const std::string& build,
                        const std::string& commit) {
  return "<krv><major>" + major + "</major><minor>" + minor + "</minor><patch>" + patch +
         "</patch><build>" + build + "</build><commit_id_short>" + commit +
         "</commit_id_short></krv>";
}

TEST(VersionOption, PrintsTheLocalVersion) {
  struct Case {
    std::string xml;
    const char* out;
  };
  const Case cases[] = {
      {SAMPLE_XML, "KRV version: 1.4.2\nBuild number: 57\nCommit ID: a1b2c3d\n"},
      {version_xml("200", "255", "65535", "40000", "abcdef123"),
       "KRV version: 200.255.65535\nBuild number: 40000\nCommit ID: abcdef1\n"},
      {"<krv><patch>3</patch></krv>", "KRV version: 0.0.3\nBuild number: 0\nCommit ID: \n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.xml);
    Board board;
    board.write_version_file(c.xml);
    const RunResult res = board.run({boardsim::unitctl_path(), "-v"});
    EXPECT_EQ(res.out, c.out);
    EXPECT_EQ(res.status, 0);
  }
}

TEST(VersionOption, NeverOpensTheSpiDevice) {
  Board board;
  board.write_version_file(SAMPLE_XML);
  board.set("spi.fail_open", 1);
  const RunResult res = board.run({boardsim::unitctl_path(), "-v"});
  EXPECT_EQ(res.out, "KRV version: 1.4.2\nBuild number: 57\nCommit ID: a1b2c3d\n");
  EXPECT_EQ(res.status, 0);
  EXPECT_EQ(res.err, "");
  EXPECT_TRUE(board.spi_config_log().empty());
  EXPECT_TRUE(board.spi_log().empty());
}

TEST(VersionOption, UnusableFileFails) {
  struct Case {
    const char* name;
    const char* xml;
    bool deny;
  };
  const Case cases[] = {
      {"missing", nullptr, false},
      {"unreadable", SAMPLE_XML, true},
      {"not XML", "KRV 1.4.2\n", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Board board;
    if (c.xml != nullptr) board.write_version_file(c.xml);
    if (c.deny) board.set("fs.deny", VERSION_FILE_PATH);
    const RunResult res = board.run({boardsim::unitctl_path(), "-v"});
    EXPECT_EQ(res.out, "Unable to get KRV version\n");
    EXPECT_EQ(res.status, 1);
  }
}

// ---- The -f option: local file against the MCU's firmware version -----------
// The simulated MCU reports 1.4.2 build 57 commit a1b2c3d unless told
// otherwise.

uint64_t firmware_version_requests(const Board& board) {
  uint64_t n = 0;
  for (const boardsim::Exchange& e : board.spi_log()) {
    if (e.tx == std::vector<uint8_t>{0x03, 0x03}) n += e.count;
  }
  return n;
}

struct CompareCase {
  const char* name;
  std::string xml;  // empty: no file
  const char* out;
  int status;
};
void PrintTo(const CompareCase& c, std::ostream* os) { *os << c.name; }

const CompareCase COMPARE_CASES[] = {
    {"match", SAMPLE_XML,
     "Local version: 1.4.2+57.a1b2c3d\nMCU version: 1.4.2+57.a1b2c3d\nVersions match\n", 0},
    {"build differs", version_xml("1", "4", "2", "58", "a1b2c3d"),
     "Local version: 1.4.2+58.a1b2c3d\nMCU version: 1.4.2+57.a1b2c3d\nVersions do not match\n",
     1},
    {"commit differs", version_xml("1", "4", "2", "57", "a1b2c3e"),
     "Local version: 1.4.2+57.a1b2c3e\nMCU version: 1.4.2+57.a1b2c3d\nVersions do not match\n",
     1},
    {"older patch", version_xml("1", "4", "1", "57", "a1b2c3d"),
     "Local version: 1.4.1+57.a1b2c3d\nMCU version: 1.4.2+57.a1b2c3d\nVersions do not match\n",
     1},
    {"long commit id cut to the MCU's 7", version_xml("1", "4", "2", "57", "a1b2c3d99"),
     "Local version: 1.4.2+57.a1b2c3d\nMCU version: 1.4.2+57.a1b2c3d\nVersions match\n", 0},
    {"missing file", "",
     "Unable to get local version number\nMCU version: 1.4.2+57.a1b2c3d\n", 1},
};

class CompareLocalAgainstMcu : public testing::TestWithParam<CompareCase> {};

TEST_P(CompareLocalAgainstMcu, LinesAndStatus) {
  const CompareCase& c = GetParam();
  Board board;
  if (!c.xml.empty()) board.write_version_file(c.xml);
  const RunResult res = board.run({boardsim::unitctl_path(), "-f"});
  EXPECT_EQ(res.out, c.out);
  EXPECT_EQ(res.status, c.status);
  EXPECT_EQ(firmware_version_requests(board), 1u);
}

INSTANTIATE_TEST_SUITE_P(, CompareLocalAgainstMcu, testing::ValuesIn(COMPARE_CASES));

TEST(CompareOption, UnreadableFileStillReadsTheMcu) {
  Board board;
  board.write_version_file(SAMPLE_XML);
  board.set("fs.deny", VERSION_FILE_PATH);
  const RunResult res = board.run({boardsim::unitctl_path(), "-f"});
  EXPECT_EQ(res.out, "Unable to get local version number\nMCU version: 1.4.2+57.a1b2c3d\n");
  EXPECT_EQ(res.status, 1);
}

TEST(CompareOption, McuVersionFieldsAsTheMcuSendsThem) {
  Board board;
  board.write_version_file(version_xml("2", "10", "258", "1000", "f00dfee"));
  board.set("fw.major", 2);
  board.set("fw.minor", 10);
  board.set("fw.patch", 258);
  board.set("fw.build", 1000);
  board.set("fw.commit", "f00dfee");
  const RunResult res = board.run({boardsim::unitctl_path(), "-f"});
  EXPECT_EQ(res.out,
            "Local version: 2.10.258+1000.f00dfee\nMCU version: 2.10.258+1000.f00dfee\n"
            "Versions match\n");
  EXPECT_EQ(res.status, 0);
}

// Each firmware-version read is itself a transaction of three attempts: six
// bad CRCs fail two reads, and the third read goes through.
TEST(CompareOption, TwoFailedMcuReadsThenAGoodOne) {
  Board board;
  board.write_version_file(SAMPLE_XML);
  board.set("fw.bad_crc", 6);
  const RunResult res = board.run({boardsim::unitctl_path(), "-f"});
  EXPECT_EQ(res.out,
            "Local version: 1.4.2+57.a1b2c3d\nMCU version: 1.4.2+57.a1b2c3d\nVersions match\n");
  EXPECT_EQ(res.status, 0);
  // Three attempts in each failed read, one in the good one.
  EXPECT_EQ(firmware_version_requests(board), 7u);
}

TEST(CompareOption, ThreeFailedMcuReads) {
  struct Case {
    const char* name;
    bool file;
    const char* out;
  };
  const Case cases[] = {
      {"with the file", true,
       "Local version: 1.4.2+57.a1b2c3d\nUnable to get firmware version from MCU\n"},
      {"without the file", false,
       "Unable to get local version number\nUnable to get firmware version from MCU\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Board board;
    if (c.file) board.write_version_file(SAMPLE_XML);
    board.set("fw.bad_crc", 9);
    const RunResult res = board.run({boardsim::unitctl_path(), "-f"});
    EXPECT_EQ(res.out, c.out);
    EXPECT_EQ(res.status, 1);
    EXPECT_EQ(firmware_version_requests(board), 9u);
  }
}

TEST(CompareOption, OpensTheDeviceBeforeReadingTheFile) {
  Board board;
  board.write_version_file(SAMPLE_XML);
  board.set("spi.fail_open", 1);
  const RunResult res = board.run({boardsim::unitctl_path(), "-f"});
  EXPECT_EQ(res.out, "");
  EXPECT_NE(res.status, 0);
  EXPECT_NE(res.err.find("can't open device"), std::string::npos) << res.err;
}

}  // namespace

// Files that are not what they claim to be, in the place of the version file
// (unitctl -v, -f) or given as the image (mcuflash): each is refused or read
// harmlessly, with its usual message and status, without hanging and without
// growing the program's memory.
#include <errno.h>
#include <stdint.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <boardsim/board.h>

#include <algorithm>
#include <fstream>
#include <string>

namespace {

using boardsim::Board;
using boardsim::RunResult;

const char SAMPLE_XML[] =
    "<?xml version=\"1.0\"?>\n<krv>\n  <major>1</major>\n  <minor>4</minor>\n  <patch>2</patch>\n"
    "  <build>57</build>\n  <commit_id_short>a1b2c3d</commit_id_short>\n</krv>\n";
const char SAMPLE_OUT[] = "KRV version: 1.4.2\nBuild number: 57\nCommit ID: a1b2c3d\n";
const char FAILED_OUT[] = "Unable to get KRV version\n";

// One entity of entity_bytes characters referenced `references` times
// inside <major>, after the digit 1.
std::string entity_bomb(size_t entity_bytes, size_t references) {
  std::string xml = "<?xml version=\"1.0\"?>\n<!DOCTYPE krv [<!ENTITY a \"" +
                    std::string(entity_bytes, 'x') + "\">]>\n<krv><major>1";
  for (size_t i = 0; i < references; ++i) xml += "&a;";
  return xml + "</major><minor>4</minor><patch>2</patch><build>57</build>"
               "<commit_id_short>a1b2c3d</commit_id_short></krv>\n";
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

uint32_t crc32(const std::string& bytes) {
  uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char c : bytes) {
    crc ^= c;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

// The bytes in gzip format, in one stored (uncompressed) deflate block:
// what gunzip, and a reader that unpacks transparently, turn back into them.
std::string gzipped(const std::string& bytes) {
  auto le = [](uint32_t v, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
    return s;
  };
  const uint32_t len = static_cast<uint32_t>(bytes.size());
  return std::string("\x1f\x8b\x08\0\0\0\0\0\0\xff", 10) + '\x01' + le(len, 2) +
         le(~len & 0xFFFF, 2) + bytes + le(crc32(bytes), 4) + le(len, 4);
}

void make_socket(const std::string& path) {
  const int s = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(s, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof addr.sun_path);
  strcpy(addr.sun_path, path.c_str());
  ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << strerror(errno);
  close(s);  // the socket file stays
}

enum class Plant {
  Fifo, Directory, DevNull, SymlinkToFifo, Socket, Oversized, OversizedAfterRoot, Gzip,
  BombOversized, BombInLimit, ExternalEntity, NonUtf8,
};

// Puts the hostile thing at path; dir is the board's directory.
void plant(Plant what, const std::string& path, const std::string& dir) {
  switch (what) {
    case Plant::Fifo: ASSERT_EQ(mkfifo(path.c_str(), 0644), 0); break;
    case Plant::Directory: ASSERT_EQ(mkdir(path.c_str(), 0755), 0); break;
    case Plant::DevNull: ASSERT_EQ(symlink("/dev/null", path.c_str()), 0); break;
    case Plant::SymlinkToFifo:
      ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0644), 0);
      ASSERT_EQ(symlink((dir + "/fifo").c_str(), path.c_str()), 0);
      break;
    case Plant::Socket: make_socket(path); break;
    case Plant::Oversized:
      write_file(path, "<krv><major>1</major><minor>4</minor><patch>2</patch><build>57</build>"
                       "<commit_id_short>a1b2c3d</commit_id_short>" +
                           std::string(64 * 1024, ' ') + "</krv>\n");
      break;
    case Plant::OversizedAfterRoot:
      // Valid XML past the limit, and still valid when cut anywhere after
      // the root element: only the size tells it from a version file.
      write_file(path, SAMPLE_XML + std::string(64 * 1024, '\n'));
      break;
    case Plant::Gzip: write_file(path, gzipped(SAMPLE_XML)); break;
    case Plant::BombOversized: write_file(path, entity_bomb(50000, 20000)); break;
    case Plant::BombInLimit: write_file(path, entity_bomb(20000, 2000)); break;
    case Plant::ExternalEntity:
      // An entity from a file, and an external DTD and parameter entity that
      // would block on a FIFO if they were ever loaded.
      write_file(dir + "/secret", "SECRET7");
      ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0644), 0);
      write_file(path, "<!DOCTYPE krv SYSTEM \"" + dir + "/fifo\" [<!ENTITY % p SYSTEM \"" + dir +
                           "/fifo\"> %p; <!ENTITY s SYSTEM \"file://" + dir +
                           "/secret\">]><krv><major>1</major><minor>4</minor><patch>2</patch>"
                           "<build>57</build><commit_id_short>&s;</commit_id_short></krv>");
      break;
    case Plant::NonUtf8:
      write_file(path, "<krv><major>1</major><commit_id_short>\xff\xfe\x80z</commit_id_short></krv>");
      break;
  }
}

struct HostileCase {
  const char* name;
  Plant what;
  const char* option;  // unitctl's option, or nullptr: the file is mcuflash's image
  std::string out;
  int status;
  std::string err_has;  // for mcuflash: after "<path>: "
};

std::ostream& operator<<(std::ostream& os, const HostileCase& c) { return os << c.name; }

const HostileCase CASES[] = {
    {"Fifo", Plant::Fifo, "-v", FAILED_OUT, 1, ""},
    {"FifoCompare", Plant::Fifo, "-f",
     "Unable to get local version number\nMCU version: 1.4.2+57.a1b2c3d\n", 1, ""},
    {"Directory", Plant::Directory, "-v", FAILED_OUT, 1, ""},
    {"DevNull", Plant::DevNull, "-v", FAILED_OUT, 1, ""},
    {"SymlinkToFifo", Plant::SymlinkToFifo, "-v", FAILED_OUT, 1, ""},
    {"Oversized", Plant::Oversized, "-v", FAILED_OUT, 1, ""},
    {"OversizedAfterRoot", Plant::OversizedAfterRoot, "-v", FAILED_OUT, 1, ""},
    {"Gzip", Plant::Gzip, "-v", FAILED_OUT, 1, ""},
    {"EntityBomb", Plant::BombOversized, "-v", FAILED_OUT, 1, ""},
    {"EntityBombWithinTheSizeLimit", Plant::BombInLimit, "-v", SAMPLE_OUT, 0, ""},
    {"ExternalEntity", Plant::ExternalEntity, "-v",
     "KRV version: 1.4.2\nBuild number: 57\nCommit ID: \n", 0, ""},
    {"NonUtf8", Plant::NonUtf8, "-v", FAILED_OUT, 1, ""},
    {"ImageFifo", Plant::Fifo, nullptr, "", 1, "not a regular file\n"},
    {"ImageDevice", Plant::DevNull, nullptr, "", 1, "not a regular file\n"},
    {"ImageSocket", Plant::Socket, nullptr, "", 1, strerror(ENXIO)},
};

// `unitctl -v` on the board, with its peak memory in kB (0 when it cannot be
// measured: under an emulator the peak would be the emulator's).
RunResult version_option(const Board& board, long* peak_kb) {
  *peak_kb = 0;
  if (!boardsim::emulator().empty()) return board.run({boardsim::unitctl_path(), "-v"}, {}, 10);
  const std::string report = board.dir() + "/peak_rss";
  const RunResult r = board.run({PEAK_RSS_PATH, report, boardsim::unitctl_path(), "-v"}, {}, 10);
  std::ifstream(report) >> *peak_kb;
  return r;
}

// Peak memory of `unitctl -v` on the ordinary file, the yardstick.
long normal_read_peak_kb() {
  static long peak = [] {
    long most = 0;
    for (int i = 0; i < 3; ++i) {
      Board board;
      board.write_version_file(SAMPLE_XML);
      long kb = 0;
      const RunResult r = version_option(board, &kb);
      EXPECT_EQ(r.out, SAMPLE_OUT);
      most = std::max(most, kb);
      if (i == 0) printf("[ figure ] normal: %ld kB, %.3f s\n", kb, r.seconds);
    }
    return most;
  }();
  return peak;
}

class HostileFile : public testing::TestWithParam<HostileCase> {};

TEST_P(HostileFile, RefusedOrReadHarmlessly) {
  const HostileCase& c = GetParam();
  Board board;
  const bool image = c.option == nullptr;
  const std::string path = board.dir() + (image ? "/image.bin" : "/krv_version.xml");
  plant(c.what, path, board.dir());
  if (testing::Test::HasFatalFailure()) return;

  long peak_kb = 0;
  const bool version = !image && c.option == std::string("-v");
  const RunResult r = image     ? board.run({boardsim::mcuflash_path(), path}, {}, 10)
                      : version ? version_option(board, &peak_kb)
                                : board.run({boardsim::unitctl_path(), c.option}, {}, 10);
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.out, c.out);
  EXPECT_EQ(r.status, c.status) << "signal " << r.signal << "\n" << r.err;
  if (image) {
    EXPECT_EQ(r.err, path + ": " + c.err_has + (c.err_has.back() == '\n' ? "" : "\n"));
    EXPECT_TRUE(board.gpio_log().empty());
    EXPECT_TRUE(board.spi_log().empty());
  }
  if (version) {
    printf("[ figure ] %s: %ld kB, %.3f s\n", c.name, peak_kb, r.seconds);
    if (boardsim::emulator().empty()) {
      EXPECT_GT(peak_kb, 0);
      EXPECT_LE(peak_kb, normal_read_peak_kb() + 2048);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(, HostileFile, testing::ValuesIn(CASES),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

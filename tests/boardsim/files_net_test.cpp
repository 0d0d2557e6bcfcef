// The version-file redirect, fs.deny, other files, and the network calls:
// datagram capture, injected send and resolve failures and net.stop_after.
// Every send happens in a child process inside a network namespace of its
// own with no route anywhere, so a datagram that escaped
// the capture could not leave the machine (it fails with ENETUNREACH there,
// which the test sees).
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "boardsim/board.h"

using boardsim::Board;

namespace {

const char VERSION[] = "/etc/krv_version.xml";

std::string slurp(FILE* f) {
  std::string s;
  char buf[256];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
  return s;
}

TEST(VersionFile, RedirectedToTheBoard) {
  Board board;
  board.attach();
  const std::string xml = "<version><major>3</major></version>\n";
  board.write_version_file(xml);

  EXPECT_EQ(access(VERSION, R_OK), 0);
  FILE* f = fopen(VERSION, "r");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(slurp(f), xml);
  fclose(f);
  int fd = open(VERSION, O_RDONLY);
  ASSERT_GE(fd, 0);
  char buf[128];
  EXPECT_EQ(read(fd, buf, sizeof buf), static_cast<ssize_t>(xml.size()));
  close(fd);
  fd = openat(AT_FDCWD, VERSION, O_RDONLY);
  EXPECT_GE(fd, 0);
  close(fd);
  // libxml2 looks at the file with stat() first.
  struct stat st;
  ASSERT_EQ(stat(VERSION, &st), 0);
  EXPECT_EQ(st.st_size, static_cast<off_t>(xml.size()));
#ifdef __GLIBC__
  struct stat64 st64;
  ASSERT_EQ(stat64(VERSION, &st64), 0);
  EXPECT_EQ(st64.st_size, static_cast<off_t>(xml.size()));
#endif

  board.remove_version_file();
  errno = 0;
  EXPECT_EQ(access(VERSION, F_OK), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(fopen(VERSION, "r"), nullptr);
  EXPECT_EQ(open(VERSION, O_RDONLY), -1);
}

#ifdef __GLIBC__
// The entry points of the fortified open calls (what _FORTIFY_SOURCE builds
// call instead of open and openat).
extern "C" int __open_2(const char*, int);
extern "C" int __open64_2(const char*, int);
extern "C" int __openat_2(int, const char*, int);
extern "C" int __openat64_2(int, const char*, int);

int descriptor_of(FILE* f) {
  if (!f) return -1;
  int fd = dup(fileno(f));
  fclose(f);
  return fd;
}

// Every way a program or a library may open the file reaches the board's copy.
TEST(VersionFile, EveryOpenVariantIsRedirected) {
  Board board;
  board.attach();
  board.write_version_file("<v/>");
  struct Variant {
    const char* name;
    int (*open_it)();
  };
  const Variant variants[] = {
      {"open", [] { return open(VERSION, O_RDONLY); }},
      {"open64", [] { return open64(VERSION, O_RDONLY); }},
      {"openat", [] { return openat(AT_FDCWD, VERSION, O_RDONLY); }},
      {"openat64", [] { return openat64(AT_FDCWD, VERSION, O_RDONLY); }},
      {"__open_2", [] { return __open_2(VERSION, O_RDONLY); }},
      {"__open64_2", [] { return __open64_2(VERSION, O_RDONLY); }},
      {"__openat_2", [] { return __openat_2(AT_FDCWD, VERSION, O_RDONLY); }},
      {"__openat64_2", [] { return __openat64_2(AT_FDCWD, VERSION, O_RDONLY); }},
      {"fopen", [] { return descriptor_of(fopen(VERSION, "r")); }},
      {"fopen64", [] { return descriptor_of(fopen64(VERSION, "r")); }},
  };
  for (const Variant& v : variants) {
    int fd = v.open_it();
    ASSERT_GE(fd, 0) << v.name << ": " << strerror(errno);
    char buf[16] = {};
    EXPECT_EQ(pread(fd, buf, sizeof buf, 0), 4) << v.name;
    EXPECT_STREQ(buf, "<v/>") << v.name;
    close(fd);
  }
}
#endif

// Files the board does not own reach the C library unchanged, mode included.
TEST(Files, CreatedWithTheModeAsked) {
  Board board;
  board.attach();
  struct Form {
    const char* name;
    int (*create)(const char*);
  };
  const Form forms[] = {
      {"open", [](const char* p) { return open(p, O_CREAT | O_WRONLY, 0604); }},
      {"openat", [](const char* p) { return openat(AT_FDCWD, p, O_CREAT | O_WRONLY, 0604); }},
#ifdef __GLIBC__
      {"open64", [](const char* p) { return open64(p, O_CREAT | O_WRONLY, 0604); }},
      {"openat64", [](const char* p) { return openat64(AT_FDCWD, p, O_CREAT | O_WRONLY, 0604); }},
#endif
  };
  mode_t old_mask = umask(022);
  for (const Form& f : forms) {
    const std::string path = board.dir() + "/created." + f.name;
    int fd = f.create(path.c_str());
    ASSERT_GE(fd, 0) << f.name << ": " << strerror(errno);
    close(fd);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0) << f.name;
    EXPECT_EQ(st.st_mode & 0777, 0604u) << f.name;
  }
  umask(old_mask);
}

TEST(VersionFile, DeniedPath) {
  Board board;
  board.attach();
  board.write_version_file("<v/>");
  const std::string other = board.dir() + "/other";
  FILE* o = fopen(other.c_str(), "w");
  ASSERT_NE(o, nullptr);
  fclose(o);

  for (const std::string& path : {std::string(VERSION), other}) {
    SCOPED_TRACE(path);
    board.set("fs.deny", path);
    errno = 0;
    EXPECT_EQ(access(path.c_str(), R_OK), -1);
    EXPECT_EQ(errno, EACCES);
    errno = 0;
    EXPECT_EQ(fopen(path.c_str(), "r"), nullptr);
    EXPECT_EQ(errno, EACCES);
    errno = 0;
    EXPECT_EQ(open(path.c_str(), O_RDONLY), -1);
    EXPECT_EQ(errno, EACCES);
  }
  board.set("fs.deny", VERSION);
  struct stat st;
  errno = 0;
  EXPECT_EQ(stat(VERSION, &st), -1);
  EXPECT_EQ(errno, EACCES);
  board.set("fs.deny", other);
  // Only exactly that path.
  EXPECT_EQ(access(VERSION, R_OK), 0);
  board.set("fs.deny", "");
  EXPECT_EQ(access(other.c_str(), R_OK), 0);
}

// Runs fn in a child process inside a fresh network namespace (only a
// loopback device, down: no route to anywhere). Returns the child's wait
// status, or -1 when namespaces are not available here.
int in_private_netns(const std::function<int()>& fn) {
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (unshare(CLONE_NEWNET) != 0) _exit(77);  // needs root (CAP_SYS_ADMIN)
    _exit(fn());
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 77) return -1;
  return status;
}

const char kNoNetns[] =
    "cannot create a network namespace (unshare(CLONE_NEWNET) needs root): no datagram is sent "
    "from the machine's own namespace";

sockaddr_in broadcast_2013() {
  sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_port = htons(2013);
  inet_pton(AF_INET, "192.168.1.255", &a.sin_addr);
  return a;
}

int udp_socket() {
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  int one = 1;
  setsockopt(s, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
  return s;
}

ssize_t send_to_lan(int s, const std::string& payload) {
  sockaddr_in to = broadcast_2013();
  return sendto(s, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&to),
                sizeof to);
}

struct Net : ::testing::Test {
  Board board;
  void SetUp() override { board.attach(); }
};

TEST_F(Net, DatagramsToOtherHostsAreCaptured) {
  int status = in_private_netns([] {
    int s = udp_socket();
    if (send_to_lan(s, std::string("\x00\x00\x57\x01", 4)) != 4) return 1;
    if (send_to_lan(s, "second") != 6) return 2;
    return 0;
  });
  if (status == -1) GTEST_SKIP() << kNoNetns;
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  auto d = board.datagrams();
  ASSERT_EQ(d.size(), 2u);
  EXPECT_EQ(d[0], (std::vector<uint8_t>{0x00, 0x00, 0x57, 0x01}));
  EXPECT_EQ(std::string(d[1].begin(), d[1].end()), "second");
}

TEST_F(Net, LoopbackIsNotCaptured) {
  int rcv = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(rcv, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  socklen_t len = sizeof a;
  getsockname(rcv, reinterpret_cast<sockaddr*>(&a), &len);
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  EXPECT_EQ(sendto(s, "hi", 2, 0, reinterpret_cast<sockaddr*>(&a), sizeof a), 2);
  char buf[8];
  EXPECT_EQ(recv(rcv, buf, sizeof buf, 0), 2);
  close(s);
  close(rcv);
  EXPECT_TRUE(board.datagrams().empty());
}

TEST_F(Net, InjectedSendFailure) {
  board.set("net.send_fail", 1);
  int status = in_private_netns([] {
    int s = udp_socket();
    errno = 0;
    ssize_t r = send_to_lan(s, "x");
    return r == -1 && errno == ENETUNREACH ? 0 : 1;
  });
  if (status == -1) GTEST_SKIP() << kNoNetns;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(board.datagrams().empty());
}

TEST_F(Net, StopAfterTheNthDatagram) {
  board.set("net.stop_after", 3);
  int status = in_private_netns([] {
    int s = udp_socket();
    for (int i = 0; i < 10; ++i) send_to_lan(s, std::to_string(i));
    return 0;
  });
  if (status == -1) GTEST_SKIP() << kNoNetns;
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
  EXPECT_EQ(board.datagrams().size(), 3u);
}

// In a namespace of its own, net.mode=real really sends: there, with no
// route, the send fails, which shows that it was not captured.
TEST_F(Net, RealModeInAPrivateNamespace) {
  board.set("net.mode", "real");
  int status = in_private_netns([] {
    int s = udp_socket();
    errno = 0;
    ssize_t r = send_to_lan(s, "x");
    return r == -1 && errno == ENETUNREACH ? 0 : 1;
  });
  if (status == -1) GTEST_SKIP() << kNoNetns;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(board.datagrams().empty());
}

TEST_F(Net, Resolver) {
  hostent* h = gethostbyname("192.168.1.255");
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->h_addrtype, AF_INET);
  board.set("net.resolve_fail", 1);
  h_errno = 0;
  EXPECT_EQ(gethostbyname("192.168.1.255"), nullptr);
  EXPECT_EQ(h_errno, HOST_NOT_FOUND);
}

}  // namespace

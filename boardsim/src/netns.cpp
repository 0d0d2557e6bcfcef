#include "netns.h"

#include <stdlib.h>
#include <unistd.h>

#include "logs.h"

namespace boardsim {

namespace {

pid_t parent_of(pid_t pid) {
  std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  size_t close = stat.rfind(')');  // the command name may hold anything
  if (close == std::string::npos || close + 4 >= stat.size()) return 0;
  return static_cast<pid_t>(atol(stat.c_str() + close + 4));  // ") S <ppid>"
}

// PID 1's namespace; where PID 1 is hidden from us, the outermost
// ancestor's that we may see; "" where neither can be seen.
std::string machine_netns() {
  std::string ref = netns_link("/proc/1/ns/net");
  if (!ref.empty()) return ref;
  pid_t pid = getppid();
  for (int depth = 0; pid > 1 && depth < 64; ++depth) {
    std::string l = netns_link(("/proc/" + std::to_string(pid) + "/ns/net").c_str());
    if (!l.empty()) ref = l;
    pid = parent_of(pid);
  }
  return ref;
}

}  // namespace

std::string netns_link(const char* path) {
  char buf[256];
  ssize_t n = readlink(path, buf, sizeof buf - 1);
  if (n <= 0) return "";
  return std::string(buf, static_cast<size_t>(n));
}

std::string board_reference_netns(const std::string& dir, BoardLock& lock) {
  const std::string file = dir + "/net.reference";
  LockGuard guard(lock);
  std::string ref = read_file(file);
  while (!ref.empty() && ref.back() == '\n') ref.pop_back();
  if (!ref.empty()) return ref;
  ref = machine_netns();
  if (ref.empty()) ref = "unknown";
  append_line(file, ref + "\n");
  return ref;
}

}  // namespace boardsim

// boardsim: runs a program against a simulated board kept in a directory.
//
//   boardsim [--dir DIR] [--set key=value]... [--] program args...
//   boardsim [--dir DIR] [--set key=value]...      (only changes the board)
//   boardsim [--dir DIR] --get key
//   boardsim [--dir DIR] --log
//   boardsim [--dir DIR] --clear                   (forgets the records so far)
//
// DIR defaults to ./board and is created when missing. The keys are those of
// include/boardsim/board.h.
#include <errno.h>
#include <inttypes.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "logs.h"
#include "netns.h"
#include "shared.h"
#include "state.h"

extern char** environ;

using namespace boardsim;

namespace {

void usage(FILE* f) {
  std::fprintf(f,
               "Usage: boardsim [--dir DIR] [--set key=value]... [--] program [args...]\n"
               "       boardsim [--dir DIR] --get key\n"
               "       boardsim [--dir DIR] --log\n"
               "       boardsim [--dir DIR] --clear\n"
               "Runs the program against the simulated board in DIR (default ./board).\n");
}

std::string preload_path() {
  // Next to the launcher first (an installed or copied tree), else the build tree.
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) {
    self[n] = '\0';
    std::string dir(self);
    dir = dir.substr(0, dir.rfind('/'));
    for (const char* rel : {"/" BOARDSIM_PRELOAD_NAME, "/../lib/" BOARDSIM_PRELOAD_NAME}) {
      std::string p = dir + rel;
      if (::access(p.c_str(), R_OK) == 0) {
        char real[PATH_MAX];
        if (realpath(p.c_str(), real)) return real;
      }
    }
  }
  return BOARDSIM_PRELOAD_PATH;
}

std::string hex_spaced(const std::vector<uint8_t>& b, size_t limit) {
  std::string s;
  char cell[4];
  for (size_t i = 0; i < b.size() && i < limit; ++i) {
    std::snprintf(cell, sizeof cell, i ? " %02X" : "%02X", b[i]);
    s += cell;
  }
  if (b.size() > limit) s += " ...";
  return s;
}

int print_log(const std::string& dir) {
  struct Line {
    uint64_t t;
    int order;
    std::string text;
  };
  std::vector<Line> lines;
  std::string spi = read_file(dir + "/spi.log");
  int order = 0;
  for (const auto& e : parse_spi_log(spi)) {
    char head[160];
    std::snprintf(head, sizeof head, "[%ld] spi  %s%3zu B @%u Hz%s%s", e.pid, e.failed ? "FAILED " : "",
                  e.tx.size(), static_cast<unsigned>(e.speed_hz),
                  e.count > 1 ? " x" : "", e.count > 1 ? std::to_string(e.count).c_str() : "");
    std::string text = head;
    text += "\n       tx " + std::string(e.has_tx ? "" : "(none) ") + hex_spaced(e.tx, 64);
    text += "\n       rx " + std::string(e.has_rx ? "" : "(dropped) ") + hex_spaced(e.rx, 64);
    lines.push_back({e.t_first_ns, order++, text});
  }
  // Configuration, note and collision lines: "<tag> <t> <pid> <rest>".
  size_t pos = 0;
  while (pos < spi.size()) {
    size_t nl = spi.find('\n', pos);
    if (nl == std::string::npos) break;
    std::string line = spi.substr(pos, nl - pos);
    pos = nl + 1;
    if (line.size() < 24 || line[1] != ' ') continue;
    const char* tag = line[0] == 'C' ? "cfg  " : line[0] == 'N' ? "note " : line[0] == 'K' ? "COLLISION " : nullptr;
    size_t sp = line.find(' ', 23);
    if (!tag || sp == std::string::npos) continue;
    uint64_t t = std::strtoull(line.substr(2, 20).c_str(), nullptr, 10);
    std::string text = "[" + line.substr(23, sp - 23) + "] " + tag;
    if (line[0] == 'K') {
      std::string rest = line.substr(sp + 1);  // "<owner> <program>"
      size_t b = rest.find(' ');
      text += "inside the transaction of " + rest.substr(0, b) + " (" + rest.substr(b + 1) + ")";
    } else {
      text += line.substr(sp + 1);
    }
    lines.push_back({t, order++, text});
  }
  for (const auto& g : parse_gpio_log(read_file(dir + "/gpio.log"))) {
    std::string data;
    for (char c : g.data) data += (c == '\n') ? std::string("\\n") : std::string(1, c);
    lines.push_back({g.t_ns, order++,
                     "[" + std::to_string(g.pid) + "] gpio " + g.path + " <- \"" + data + "\""});
  }
  for (const auto& d : parse_datagrams(read_file(dir + "/datagrams"))) {
    lines.push_back({d.t_ns, order++,
                     "[" + std::to_string(d.pid) + "] udp  to " + d.to + " " + std::to_string(d.bytes.size()) + " B: " +
                         hex_spaced(d.bytes, 64)});
  }
  std::stable_sort(lines.begin(), lines.end(), [](const Line& a, const Line& b) {
    return a.t != b.t ? a.t < b.t : a.order < b.order;
  });
  if (lines.empty()) {
    std::printf("(nothing recorded in %s)\n", dir.c_str());
    return 0;
  }
  uint64_t t0 = lines.front().t;
  for (const auto& l : lines) {
    uint64_t us = (l.t - t0) / 1000;
    std::printf("%6" PRIu64 ".%03" PRIu64 " ms  %s\n", us / 1000, us % 1000, l.text.c_str());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir = "board";
  std::vector<std::pair<std::string, std::string>> sets;
  std::string get_key;
  bool want_log = false, want_get = false, want_clear = false;
  int i = 1;
  for (; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--") {
      ++i;
      break;
    } else if (a == "--dir" && i + 1 < argc) {
      dir = argv[++i];
    } else if (a == "--set" && i + 1 < argc) {
      std::string kv = argv[++i];
      size_t eq = kv.find('=');
      if (eq == std::string::npos || eq == 0) {
        std::fprintf(stderr, "boardsim: --set wants key=value, not %s\n", kv.c_str());
        return 2;
      }
      sets.emplace_back(kv.substr(0, eq), kv.substr(eq + 1));
    } else if (a == "--get" && i + 1 < argc) {
      want_get = true;
      get_key = argv[++i];
    } else if (a == "--log") {
      want_log = true;
    } else if (a == "--clear") {
      want_clear = true;
    } else if (a == "-h" || a == "--help") {
      usage(stdout);
      return 0;
    } else if (a.size() > 1 && a[0] == '-') {
      usage(stderr);
      return 2;
    } else {
      break;
    }
  }

  if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
    std::fprintf(stderr, "boardsim: cannot create %s: %s\n", dir.c_str(), strerror(errno));
    return 2;
  }
  char abs[PATH_MAX];
  if (!realpath(dir.c_str(), abs)) {
    std::fprintf(stderr, "boardsim: %s: %s\n", dir.c_str(), strerror(errno));
    return 2;
  }
  dir = abs;
  // As a rule the board's first process: it decides, once for the board,
  // which network namespace is the machine's (net.mode=real).
  {
    BoardLock lock;
    if (lock.open(dir)) board_reference_netns(dir, lock);
  }

  if (!sets.empty()) {
    bool saved = edit_state(dir, [&](State& s) {
      for (const auto& [k, v] : sets) {
        if (v.empty()) s.erase(k); else s.set(k, v);
      }
    });
    if (!saved) {
      std::fprintf(stderr, "boardsim: cannot write %s/board.state\n", dir.c_str());
      return 2;
    }
  }
  if (want_get) {
    State s;
    s.load(dir + "/board.state");
    std::printf("%s\n", s.get(get_key).c_str());
    return 0;
  }
  if (want_clear) {
    clear_records(dir);
    if (!want_log && i >= argc) return 0;
  }
  if (want_log) return print_log(dir);
  if (i >= argc) {
    if (!sets.empty()) return 0;
    usage(stderr);
    return 2;
  }

  // In a cross build the programs run through the emulator.
  std::vector<std::string> args;
  for (const char* p = BOARDSIM_EMULATOR; *p;) {
    const char* end = strchr(p, '\x1f');
    args.emplace_back(p, end ? static_cast<size_t>(end - p) : strlen(p));
    p = end ? end + 1 : p + strlen(p);
  }
  std::map<std::string, std::string> vars;
  for (char** e = environ; *e; ++e) {
    const char* eq = strchr(*e, '=');
    if (eq) vars[std::string(*e, static_cast<size_t>(eq - *e))] = eq + 1;
  }
#ifdef BOARDSIM_SANITIZE
  const bool sanitized = true;
#else
  const bool sanitized = false;
#endif
  board_environment(&vars, dir, preload_path(), !args.empty(), sanitized);
  for (const auto& [k, v] : vars) setenv(k.c_str(), v.c_str(), 1);
  for (int k = i; k < argc; ++k) args.emplace_back(argv[k]);
  std::vector<char*> cargv;
  for (auto& a : args) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  execvp(cargv[0], cargv.data());
  std::fprintf(stderr, "boardsim: cannot run %s: %s\n", argv[i], strerror(errno));
  return 127;
}

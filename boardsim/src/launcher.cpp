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
#include <string>
#include <vector>

#include "logs.h"
#include "state.h"

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
    std::snprintf(head, sizeof head, "spi  %s%3zu B @%u Hz%s%s", e.failed ? "FAILED " : "",
                  e.tx.size(), static_cast<unsigned>(e.speed_hz),
                  e.count > 1 ? " x" : "", e.count > 1 ? std::to_string(e.count).c_str() : "");
    std::string text = head;
    text += "\n       tx " + std::string(e.has_tx ? "" : "(none) ") + hex_spaced(e.tx, 64);
    text += "\n       rx " + std::string(e.has_rx ? "" : "(dropped) ") + hex_spaced(e.rx, 64);
    lines.push_back({e.t_first_ns, order++, text});
  }
  // Configuration lines carry their own time; parse them by hand for it.
  size_t pos = 0;
  while (pos < spi.size()) {
    size_t nl = spi.find('\n', pos);
    if (nl == std::string::npos) break;
    std::string line = spi.substr(pos, nl - pos);
    pos = nl + 1;
    if (line.size() > 23 && (line[0] == 'C' || line[0] == 'N') && line[1] == ' ') {
      uint64_t t = std::strtoull(line.substr(2, 20).c_str(), nullptr, 10);
      lines.push_back({t, order++, (line[0] == 'C' ? "cfg  " : "note ") + line.substr(23)});
    }
  }
  for (const auto& g : parse_gpio_log(read_file(dir + "/gpio.log"))) {
    std::string data;
    for (char c : g.data) data += (c == '\n') ? std::string("\\n") : std::string(1, c);
    lines.push_back({g.t_ns, order++, "gpio " + g.path + " <- \"" + data + "\""});
  }
  for (const auto& d : parse_datagrams(read_file(dir + "/datagrams"))) {
    lines.push_back({d.t_ns, order++,
                     "udp  to " + d.to + " " + std::to_string(d.bytes.size()) + " B: " +
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

  if (!sets.empty()) {
    State s;
    s.load(dir + "/board.state");
    for (const auto& [k, v] : sets) {
      if (v.empty()) s.erase(k); else s.set(k, v);
    }
    if (!s.save()) {
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
    for (const char* name : {"spi.log", "gpio.log", "datagrams"}) {
      FILE* f = std::fopen((dir + "/" + name).c_str(), "w");
      if (f) std::fclose(f);
    }
    if (!want_log && i >= argc) return 0;
  }
  if (want_log) return print_log(dir);
  if (i >= argc) {
    if (!sets.empty()) return 0;
    usage(stderr);
    return 2;
  }

  setenv("BOARDSIM_DIR", dir.c_str(), 1);
  std::string preload = preload_path();
  // In a cross build the programs run through the emulator, which hands
  // QEMU_SET_ENV to the guest program alone.
  std::vector<std::string> args;
  for (const char* p = BOARDSIM_EMULATOR; *p;) {
    const char* end = strchr(p, '\x1f');
    args.emplace_back(p, end ? static_cast<size_t>(end - p) : strlen(p));
    p = end ? end + 1 : p + strlen(p);
  }
  if (args.empty()) {
    const char* old = getenv("LD_PRELOAD");
    std::string lp = (old && *old) ? preload + ":" + old : preload;
    setenv("LD_PRELOAD", lp.c_str(), 1);
  } else {
    setenv("QEMU_SET_ENV", ("LD_PRELOAD=" + preload).c_str(), 1);
  }
#ifdef BOARDSIM_SANITIZE
  const char* asan = getenv("ASAN_OPTIONS");
  std::string ao = (asan && *asan) ? std::string(asan) + ":verify_asan_link_order=0"
                                   : std::string("verify_asan_link_order=0");
  setenv("ASAN_OPTIONS", ao.c_str(), 1);
#endif
  for (int k = i; k < argc; ++k) args.emplace_back(argv[k]);
  std::vector<char*> cargv;
  for (auto& a : args) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  execvp(cargv[0], cargv.data());
  std::fprintf(stderr, "boardsim: cannot run %s: %s\n", argv[i], strerror(errno));
  return 127;
}

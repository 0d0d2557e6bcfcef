// Helpers shared by the program tests: capturing what a function prints,
// and checking what a built program needs at run time.
#pragma once

#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <functional>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

namespace test_support {

// Runs body with standard output sent to a temporary file and returns what
// it printed.
inline std::string capture_stdout(const std::function<void()>& body) {
  fflush(stdout);
  FILE* tmp = tmpfile();
  if (tmp == nullptr) return "<tmpfile failed>";
  const int saved = dup(STDOUT_FILENO);
  dup2(fileno(tmp), STDOUT_FILENO);
  body();
  fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  std::string out;
  rewind(tmp);
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, tmp)) > 0) out.append(buf, n);
  fclose(tmp);
  return out;
}

// A bound of a test's own on code that polls: if the scope is not left
// within `seconds`, SIGALRM ends the test process, failing the test there
// instead of at the suite's time-out.
struct Watchdog {
  explicit Watchdog(unsigned seconds) { alarm(seconds); }
  ~Watchdog() { alarm(0); }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;
};

inline bool starts_with(const std::string& s, const char* prefix) {
  return s.rfind(prefix, 0) == 0;
}

inline std::vector<std::string> readelf_lines(const std::string& options,
                                              const std::string& path) {
  const std::string cmd = "readelf " + options + " '" + path + "' 2>&1";
  std::vector<std::string> lines;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return lines;
  char line[1024];
  while (fgets(line, sizeof line, p)) lines.emplace_back(line);
  EXPECT_EQ(pclose(p), 0) << cmd;
  return lines;
}

// The program at path needs the C library, the libraries named in `allowed`
// (by prefix, e.g. "libxml2.so") and nothing else, and uses no symbol of the
// C++ runtime. A sanitized build also links the sanitizer runtimes and what
// they pull in; the symbol check still holds for it.
inline void expect_c_runtime_only(const std::string& path,
                                  std::initializer_list<const char*> allowed) {
  std::vector<std::string> needed;
  for (const auto& line : readelf_lines("-d", path)) {
    const size_t tag = line.find("(NEEDED)");
    const size_t open = line.find('[');
    const size_t close = line.find(']');
    if (tag != std::string::npos && open != std::string::npos && close > open)
      needed.push_back(line.substr(open + 1, close - open - 1));
  }
  ASSERT_FALSE(needed.empty());
  bool sanitized = false;
  for (const auto& n : needed) sanitized |= starts_with(n, "libasan") || starts_with(n, "libubsan");
  bool has_libc = false;
  for (const auto& n : needed) {
    SCOPED_TRACE(n);
    has_libc |= starts_with(n, "libc.so");
    bool ok = starts_with(n, "libc.so");
    for (const char* a : allowed) ok |= starts_with(n, a);
    if (!ok) {
      EXPECT_TRUE(sanitized) << "unexpected run-time dependency";
    }
  }
  EXPECT_TRUE(has_libc);

  size_t symbols = 0;
  for (const auto& line : readelf_lines("--dyn-syms -W", path)) {
    std::istringstream in(line);
    std::vector<std::string> f;
    std::string w;
    while (in >> w) f.push_back(w);
    if (f.size() < 8 || f[6] != "UND") continue;
    ++symbols;
    const std::string& name = f[7];
    EXPECT_EQ(name.find("@GLIBCXX"), std::string::npos) << name;
    EXPECT_EQ(name.find("@CXXABI"), std::string::npos) << name;
    if (name.find('@') == std::string::npos) {
      EXPECT_FALSE(starts_with(name, "_Z")) << name;
    }
  }
  EXPECT_GT(symbols, 5u);
}

}  // namespace test_support

// The built mcuflash program runs on the board without the C++ runtime: it
// needs the C library alone.
#include <gtest/gtest.h>
#include <stdio.h>

#include <boardsim/board.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<std::string> readelf_lines(const std::string& options) {
  const std::string cmd = "readelf " + options + " '" + boardsim::mcuflash_path() + "' 2>&1";
  std::vector<std::string> lines;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return lines;
  char line[1024];
  while (fgets(line, sizeof line, p)) lines.emplace_back(line);
  EXPECT_EQ(pclose(p), 0) << cmd;
  return lines;
}

bool starts(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

TEST(McuflashProgram, NeedsOnlyTheCLibrary) {
  std::vector<std::string> needed;
  for (const auto& line : readelf_lines("-d")) {
    const size_t tag = line.find("(NEEDED)");
    const size_t open = line.find('[');
    const size_t close = line.find(']');
    if (tag != std::string::npos && open != std::string::npos && close > open)
      needed.push_back(line.substr(open + 1, close - open - 1));
  }
  ASSERT_FALSE(needed.empty());
  bool sanitized = false;
  for (const auto& n : needed) sanitized |= starts(n, "libasan") || starts(n, "libubsan");
  bool has_libc = false;
  for (const auto& n : needed) {
    SCOPED_TRACE(n);
    has_libc |= starts(n, "libc.so");
    if (starts(n, "libc.so")) continue;
    // A sanitized build links the sanitizer runtimes and what they pull in;
    // the symbol check below still holds for it.
    EXPECT_TRUE(sanitized) << "unexpected run-time dependency";
  }
  EXPECT_TRUE(has_libc);

  // No symbol of the C++ runtime is used.
  size_t symbols = 0;
  for (const auto& line : readelf_lines("--dyn-syms -W")) {
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
      EXPECT_FALSE(starts(name, "_Z")) << name;
    }
  }
  EXPECT_GT(symbols, 5u);
}

}  // namespace

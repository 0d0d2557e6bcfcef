// Every file of a fuzz target's corpus through the target's entry function,
// as an ordinary test: a broken invariant aborts the run.
#include <gtest/gtest.h>
#include <stddef.h>
#include <stdint.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

std::vector<std::string> corpus() {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(CORPUS_DIR))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class Corpus : public testing::TestWithParam<std::string> {};

TEST_P(Corpus, HoldsTheInvariants) {
  std::ifstream in(std::string(CORPUS_DIR) + "/" + GetParam(), std::ios::binary);
  ASSERT_TRUE(in);
  const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
  EXPECT_EQ(LLVMFuzzerTestOneInput(bytes.data(), bytes.size()), 0);
}

INSTANTIATE_TEST_SUITE_P(, Corpus, testing::ValuesIn(corpus()), [](const auto& info) {
  std::string name = info.param;
  for (char& c : name)
    if (!isalnum(static_cast<unsigned char>(c))) c = '_';
  return name;
});

}  // namespace

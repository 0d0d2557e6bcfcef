// In-process tests of the image checks that run before the MCU is touched.
// 64-bit file sizes on 32-bit targets too: the tests make files past 4 GiB.
#define _FILE_OFFSET_BITS 64

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "image.h"
#include "image_format.h"

namespace {

namespace fs = std::filesystem;

class ImageTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/mcuflash_image_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    if (image_.fd >= 0) close(image_.fd);
    fs::remove_all(dir_);
  }
  std::string write_file(const std::string& name, const std::vector<uint8_t>& bytes) {
    const std::string path = dir_ + "/" + name;
    FILE* f = fopen(path.c_str(), "wb");
    EXPECT_NE(f, nullptr);
    if (!bytes.empty()) fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
    return path;
  }
  // image_open, and the line mcuflash reports for its refusal.
  int open_image(const std::string& path, std::string* err) {
    const int result = image_open(path.c_str(), &image_);
    *err = result == 0 ? "" : report(path);
    return result;
  }
  std::string report(const std::string& path) {
    char why[96];
    image_problem_text(&image_, why, sizeof why);
    return path + ": " + why + "\n";
  }
  std::string dir_;
  flash_image image_;
};

TEST_F(ImageTest, UnusableImagesAreRefusedWithTheirPath) {
  const std::string empty = write_file("empty.bin", {});
  const std::string sparse_too_big = dir_ + "/huge.bin";
  ASSERT_EQ(truncate(write_file("huge.bin", {1}).c_str(), 0x100000000LL), 0);
  struct Case {
    std::string path;
    std::string why;
  } cases[] = {
      {empty, "empty"},
      {dir_, "not a regular file"},
      {sparse_too_big, "too large"},
      {dir_ + "/missing.bin", "No such file or directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    std::string err;
    EXPECT_EQ(open_image(c.path, &err), 1);
    EXPECT_EQ(err.rfind(c.path + ": ", 0), 0u) << err;
    EXPECT_NE(err.find(c.why), std::string::npos) << err;
    EXPECT_EQ(err.back(), '\n');
    EXPECT_EQ(image_.fd, -1);
  }
}

TEST_F(ImageTest, LargestImageThatFitsIsAccepted) {
  const std::string path = write_file("max.bin", {7});
  ASSERT_EQ(truncate(path.c_str(), 0xFFFFFFFFLL), 0);
  std::string err;
  ASSERT_EQ(open_image(path, &err), 0) << err;
  EXPECT_EQ(image_.size, 0xFFFFFFFFu);
}

TEST_F(ImageTest, AFileThatShrankSinceItWasCheckedIsRefused) {
  const std::string path = write_file("img.bin", std::vector<uint8_t>(70, 0x5A));
  std::string err;
  ASSERT_EQ(open_image(path, &err), 0) << err;
  ASSERT_EQ(truncate(path.c_str(), 40), 0);
  image_layout layout;
  layout_fault fault;
  EXPECT_EQ(image_load(image_.fd, image_.size, path.c_str(), &layout, &fault),
            layout_problem::unreadable);
  char why[256];
  image_describe(&fault, why, sizeof why);
  EXPECT_STREQ(why, "the file changed while it was read");
}

}  // namespace

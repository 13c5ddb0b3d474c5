#include "kestrix/server/KestrixServerConfig.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace Kestrix {
namespace {

const std::string kPath = ::testing::TempDir() + "kestrix_rules_" + std::to_string(::getpid());

void write(const std::string& file, const std::string& text, std::ios::openmode mode = {}) {
  std::ofstream(file, std::ios::binary | mode) << text;
}

// An editor saving during the read, in place or by renaming a new file of
// the same size into place, makes it run again; one still saving fails it.
TEST(KestrixServerConfig, ChangingFileIsReadAgainOrRefused) {
  write(kPath, "[Server]\nDisplayName = one\n");
  int runs = 0;
  EXPECT_TRUE(KestrixServerConfig::readStable(kPath.c_str(), [&] {
    if (++runs == 1) write(kPath, "#\n", std::ios::app);
  }));
  EXPECT_EQ(runs, 2);
  EXPECT_FALSE(KestrixServerConfig::readStable(kPath.c_str(), [&] {
    write(kPath + ".new", "[Server]\nDisplayName = two\n#\n");
    std::rename((kPath + ".new").c_str(), kPath.c_str());
  }));
  std::remove(kPath.c_str());
}

}  // namespace
}  // namespace Kestrix

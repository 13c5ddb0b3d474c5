#include "kestrix/server/KestrixStorageId.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "common/base/loggerBase/CoTestMsgCapture.h"
#include "common/base/osal/CoUUID.h"

namespace Kestrix {
namespace {

using namespace KestrixStorageId;

class KestrixStorageIdKept : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/kestrix-storage-id-XXXXXX";
    dir_ = ::mkdtemp(name);
    places_ = {dir_ + "/state", dir_ + "/machine-id", "hostA"};
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string dir_;
  Places places_;
  CoTestMsgCapture capture_;
};

TEST_F(KestrixStorageIdKept, OneRandomIdPerDirectoryDatabaseAndPort) {
  const std::string id = get(places_, "FILMS", 7549);
  EXPECT_TRUE(CoUUID::validate(id) && id[14] == '4') << id;
  EXPECT_EQ(get(places_, "FILMS", 7549), id);
  EXPECT_NE(get(places_, "FILMS", 7550), id);
  places_.stateDirectory = dir_ + "/other";
  EXPECT_NE(get(places_, "FILMS", 7549), id);
}

TEST_F(KestrixStorageIdKept, OnlyOneUuidIsReadAnythingElseIsReplacedWithAWarning) {
  const std::string kept = "0C4F9A2E-7b1d-4e8a-9c3f-5d6e7f8a9b0c";
  const std::string file = places_.stateDirectory + "/storage-id-DB-1";
  std::filesystem::create_directory(places_.stateDirectory);
  std::ofstream(file) << kept;
  EXPECT_EQ(get(places_, "DB", 1), kept);
  for (const std::string& bad : {std::string(), kept + "\n\n", kept + "\n" + kept, kept + "0"}) {
    std::ofstream(file) << bad;
    const std::string id = get(places_, "DB", 1);
    EXPECT_TRUE(CoUUID::validate(id) && id != kept && get(places_, "DB", 1) == id) << id;
  }
  EXPECT_EQ(capture_.count("kestrixd: " + file +
                           " holds no storage id (not one UUID): it gets a new one"),
            4);
}

TEST_F(KestrixStorageIdKept, AnUnusableDirectoryFallsBackToADerivedIdWithAWarning) {
  std::ofstream(dir_ + "/file") << "x";
  std::ofstream(places_.machineIdFile) << "5d6e7f8a9b0c4f9a\n";
  places_.stateDirectory = dir_ + "/file/state";  // unusable for root too
  EXPECT_EQ(get(places_, "DB", 1), derived("5d6e7f8a9b0c4f9a", "DB", 1));
  // The warning names the directory and why it is unusable.
  EXPECT_EQ(capture_.count("kestrixd: cannot keep a storage id in " + places_.stateDirectory +
                           " (Not a directory): using one derived from " + places_.machineIdFile),
            1);
  EXPECT_EQ(stateDirectoryFrom("/var/lib/kestrix:/var/lib/x"), "/var/lib/kestrix");
  EXPECT_EQ(stateDirectoryFrom(nullptr), "/var/lib/kestrix");
}

}  // namespace
}  // namespace Kestrix

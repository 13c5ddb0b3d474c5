#pragma once
// Test-only helpers of this module: a per-test temporary directory that is
// removed with everything in it, a router that keeps posted messages, the
// exception a call throws, and setting environment variables.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "common/base/fileUtil/CoFilePath.h"
#include "common/base/loggerBase/CoException.h"
#include "common/base/loggerBase/CoMsg.h"

namespace Kestrix {

class TempDir {
 public:
  TempDir() {
    const std::string base = CoFilePath::tempDir().getPath() + "/kestrix_fileUtil_";
    std::random_device random;
    std::error_code ec;
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
      const std::string candidate = base + std::to_string(random());
      if (std::filesystem::create_directory(candidate, ec)) path_ = candidate;
    }
    if (path_.empty()) ADD_FAILURE() << "no temporary directory below " << base;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  // Writes bytes to the file name below the directory; returns its path.
  std::string write(const std::string& name, const std::string& bytes) const {
    const std::string file = *this / name;
    std::ofstream(file, std::ios::binary) << bytes;
    return file;
  }

 private:
  std::string path_;
};

// setenv, or unsetenv for a null value; Windows has _putenv_s, where the
// empty value removes the variable.
inline void setTestEnv(const char* name, const char* value) {
#ifdef _WIN32
  ::_putenv_s(name, value ? value : "");
#else
  value ? ::setenv(name, value, 1) : ::unsetenv(name);
#endif
}

// What call throws; when it returns instead, an exception whose what() is
// "(returned)", which no expectation of a system text can match.
template <typename Call>
CoException thrown(Call call) {
  try {
    call();
  } catch (const CoException& e) {
    return e;
  }
  return CoException("(returned)", 0, "");
}

class MsgCapture : public CoMsg::Router {
 public:
  MsgCapture() : saved_(CoMsg::filterLevel()) {
    CoMsg::setFilterLevel(CoMsg::LEVEL_DEBUG);
    CoMsg::setRouter(this);
  }
  ~MsgCapture() override {
    CoMsg::setRouter(nullptr);
    CoMsg::setFilterLevel(saved_);
  }
  void post(const CoMsg::Msg& msg) const override {
    messages_.push_back({msg.getLevel(), msg.getMsg()});
  }
  struct Entry {
    CoMsg::Level level;
    std::string text;
  };
  const std::vector<Entry>& messages() const { return messages_; }
  std::vector<std::string> texts(CoMsg::Level level) const {
    std::vector<std::string> out;
    for (const Entry& e : messages_)
      if (e.level == level) out.push_back(e.text);
    return out;
  }

 private:
  CoMsg::Level saved_;
  mutable std::vector<Entry> messages_;
};

}  // namespace Kestrix

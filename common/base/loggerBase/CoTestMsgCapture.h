#pragma once
// Test helper: collects every posted message (text and level) while it
// lives, with the filter opened to debug level. Threads of the code under
// test post while the test reads: access is locked.

#include <mutex>
#include <string>
#include <vector>

#include "common/base/loggerBase/CoMsg.h"

namespace Kestrix {

class CoTestMsgCapture : public CoMsg::Router {
 public:
  struct Line {
    std::string text;
    CoMsg::Level level;
  };

  CoTestMsgCapture() : level_(CoMsg::LEVEL_DEBUG) { CoMsg::setRouter(this); }
  ~CoTestMsgCapture() override { CoMsg::setRouter(nullptr); }

  void post(const CoMsg::Msg& msg) const override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back({std::string(msg.getMsg(), msg.getMsgLen()), msg.getLevel()});
  }
  std::vector<Line> lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  int count(const std::string& text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    for (const Line& l : lines_) n += l.text == text;
    return n;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
  }

 private:
  CoMsg::LevelGuard level_;
  mutable std::mutex mutex_;
  mutable std::vector<Line> lines_;
};

}  // namespace Kestrix

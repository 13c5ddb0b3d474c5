#pragma once
// Test helper: collects every posted message (text and level) while it
// lives, with the filter opened to debug level.

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
    lines_.push_back({std::string(msg.getMsg(), msg.getMsgLen()), msg.getLevel()});
  }
  const std::vector<Line>& lines() const { return lines_; }
  int count(const std::string& text) const {
    int n = 0;
    for (const Line& l : lines_) n += l.text == text;
    return n;
  }
  void clear() { lines_.clear(); }

 private:
  CoMsg::LevelGuard level_;
  mutable std::vector<Line> lines_;
};

}  // namespace Kestrix

#pragma once
// The process's file-creation mask: read without changing it, set for a
// scope, and the most recently recorded value.

#include <cstdint>

namespace Kestrix {

class CoUmask {
 public:
  // Reads the current mask into both fields without changing it.
  CoUmask();
  // Sets mask until destruction, which restores the previous one.
  explicit CoUmask(uint32_t mask);
  ~CoUmask();
  CoUmask(const CoUmask&) = delete;
  CoUmask& operator=(const CoUmask&) = delete;

  uint32_t previous() const { return previous_; }
  uint32_t mask() const { return mask_; }

  static uint32_t getCurrent();
  static uint32_t setCurrent(uint32_t mask);
  static uint32_t getInitial();

 private:
  uint32_t previous_;
  uint32_t mask_;
  bool restore_;
};

}  // namespace Kestrix

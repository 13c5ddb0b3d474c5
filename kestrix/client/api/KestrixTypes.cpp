#include "kestrix/client/api/KestrixTypes.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/base/loggerBase/qvAssert.h"
#include "common/base/osal/CoMemory.h"

namespace Kestrix {

// The entries back to back, each with its terminating zero byte, and where
// each begins: one block for the texts instead of one per entry, so that a
// list of a million paths costs little more than the paths themselves.
class KestrixStrListImp {
 public:
  std::vector<char> texts;
  std::vector<size_t> starts;

  void append(const char* s, size_t n) {
    if (!texts.empty() && s >= texts.data() && s < texts.data() + texts.size()) {
      const std::string copy(s, n);  // an entry of this list: growing would move it
      append(copy.data(), n);
      return;
    }
    starts.push_back(texts.size());
    texts.insert(texts.end(), s, s + n);
    texts.push_back('\0');
  }
  bool operator==(const KestrixStrListImp& other) const {
    return starts.size() == other.starts.size() && texts == other.texts;
  }
};

}  // namespace Kestrix

// ---- KestrixStr ------------------------------------------------------------

char KestrixStr::defaultBuff_[1] = {0};

KestrixStr::KestrixStr(const char* s) {
  if (s != nullptr) assign(s, static_cast<unsigned int>(std::strlen(s)));
}

KestrixStr::KestrixStr(const char* s, unsigned int n) {
  if (s != nullptr && *s != '\0') assign(s, n);
}

KestrixStr::KestrixStr(const KestrixStr& other) { assign(other.buff_, other.length_); }

KestrixStr::~KestrixStr() { freeBuff(); }

void KestrixStr::freeBuff() {
  if (length_ == 0) {
    QV_ASSERT(buff_ == defaultBuff_);
    return;
  }
  QV_ASSERT(buff_ != nullptr);
  std::free(buff_);
  buff_ = defaultBuff_;
  length_ = 0;
}

bool KestrixStr::allocNewBuff(unsigned int n) {
  freeBuff();
  if (n == 0) return false;
  char* block = static_cast<char*>(std::malloc(static_cast<size_t>(n) + 1));
  if (block == nullptr) return false;
  block[0] = '\0';
  buff_ = block;
  length_ = n;
  return true;
}

bool KestrixStr::reallocBuff(unsigned int n) {
  if (n == 0) {
    freeBuff();
    return false;
  }
  if (length_ == 0) {
    QV_ASSERT(buff_ == defaultBuff_);
    return allocNewBuff(n);
  }
  QV_ASSERT(buff_ != nullptr);
  char* block = static_cast<char*>(std::realloc(buff_, static_cast<size_t>(n) + 1));
  if (block == nullptr) {
    freeBuff();
    return false;
  }
  buff_ = block;
  length_ = n;
  return true;
}

// Copies the bytes only when the block could be had: a failed assignment
// leaves the empty string, never a half-copied one.
void KestrixStr::assign(const char* s, unsigned int n) {
  if (s == buff_ && n == length_) return;
  if (s >= buff_ && s < buff_ + length_) {  // self-substring: copy first
    const std::string copy(s, n);
    assign(copy.data(), n);
    return;
  }
  if (!reallocBuff(n)) return;
  std::memcpy(buff_, s, n);
  buff_[length_] = '\0';
}

void KestrixStr::append(const char* s, unsigned int n) {
  if (n == 0) return;
  if (s >= buff_ && s < buff_ + length_) {
    const std::string copy(s, n);
    append(copy.data(), n);
    return;
  }
  const unsigned int old = length_;
  if (!reallocBuff(old + n)) return;
  std::memcpy(buff_ + old, s, n);
  buff_[length_] = '\0';
}

KestrixStr& KestrixStr::operator=(const KestrixStr& other) {
  if (this != &other) assign(other.buff_, other.length_);
  return *this;
}

KestrixStr& KestrixStr::operator=(const char* s) {
  if (s == nullptr) {
    freeBuff();
    return *this;
  }
  assign(s, static_cast<unsigned int>(std::strlen(s)));
  return *this;
}

KestrixStr& KestrixStr::operator+=(const KestrixStr& other) {
  append(other.buff_, other.length_);
  return *this;
}

KestrixStr& KestrixStr::operator+=(const char* s) {
  if (s != nullptr) append(s, static_cast<unsigned int>(std::strlen(s)));
  return *this;
}

KestrixStr& KestrixStr::operator+=(char c) {
  if (c != '\0') append(&c, 1);
  return *this;
}

bool KestrixStr::operator==(const KestrixStr& other) const {
  return length_ == other.length_ && std::memcmp(buff_, other.buff_, length_) == 0;
}

bool KestrixStr::operator==(const char* s) const {
  return s != nullptr && std::strcmp(buff_, s) == 0;
}

bool KestrixStr::operator!=(const char* s) const { return s == nullptr || std::strcmp(buff_, s) != 0; }

bool KestrixStr::operator<(const KestrixStr& other) const {
  return std::strcmp(buff_, other.buff_) < 0;  // strcmp compares bytes as unsigned
}

char KestrixStr::operator[](unsigned int i) const {
  QV_ASSERT(i <= length_);
  return buff_[i];
}

KestrixStr KestrixStr::substr(unsigned int pos, unsigned int n) const {
  if (pos > length_) return KestrixStr();
  const unsigned int count = n < length_ - pos ? n : length_ - pos;
  return KestrixStr(buff_ + pos, count);
}

// ---- KestrixStrList --------------------------------------------------------

KestrixStrList::KestrixStrList() : list_(new Kestrix::KestrixStrListImp) {}

KestrixStrList::KestrixStrList(const KestrixStrList& other)
    : list_(new Kestrix::KestrixStrListImp(*other.list_)) {}

KestrixStrList& KestrixStrList::operator=(const KestrixStrList& other) {
  if (this != &other) *list_ = *other.list_;
  return *this;
}

KestrixStrList::~KestrixStrList() { delete list_; }

unsigned int KestrixStrList::size() const { return static_cast<unsigned int>(list_->starts.size()); }

void KestrixStrList::push_back(const char* s) {
  if (s == nullptr) s = "";
  list_->append(s, std::strlen(s));
}

void KestrixStrList::push_back(const char* s, unsigned int n) { list_->append(s, n); }

const char* KestrixStrList::getStr(unsigned int index) const {
  if (index >= size()) QV_ASSERT_FAIL_("index < size()");
  return list_->texts.data() + list_->starts[index];
}

void KestrixStrList::reserve(int n) {
  if (n > 0) list_->starts.reserve(static_cast<size_t>(n));
}

void KestrixStrList::reserveText(size_t bytes) {
  list_->texts.reserve(bytes);
  Kestrix::CoMemory::adviseLarge(list_->texts.data(), list_->texts.capacity());
}

void KestrixStrList::resize(int n) {
  const size_t wanted = n > 0 ? static_cast<size_t>(n) : 0;
  if (wanted < list_->starts.size()) {
    list_->texts.resize(list_->starts[wanted]);
    list_->starts.resize(wanted);
  }
  while (list_->starts.size() < wanted) list_->append("", 0);
}

bool KestrixStrList::operator==(const KestrixStrList& other) const { return *list_ == *other.list_; }

#include "kestrix/client/api/KestrixTypes.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/base/loggerBase/qvAssert.h"
#include "common/base/osal/CoMemory.h"

namespace Kestrix {

// The entries back to back, each with its terminating zero byte, and where
// every STRIDE-th one begins: one block for the texts instead of one per
// entry, and an index of a byte or so an entry, so that neither a million
// paths nor a server's reply of nothing but commas costs much more than
// its text. An entry holds no zero byte, so the others are found by
// skipping terminators from the nearest mark; reading the entries in order,
// as everyone does, costs one step each through a per-thread memory of the
// last entry found.
class KestrixStrListImp {
 public:
  static constexpr size_t STRIDE = 16;

  std::vector<char> texts;
  std::vector<size_t> marks;  // where entries 0, STRIDE, 2 * STRIDE, ... begin
  size_t count = 0;

  KestrixStrListImp() = default;
  KestrixStrListImp(const KestrixStrListImp& other)
      : texts(other.texts), marks(other.marks), count(other.count) {}
  KestrixStrListImp& operator=(const KestrixStrListImp& other) {
    texts = other.texts;
    marks = other.marks;
    count = other.count;
    changed();
    return *this;
  }

  void append(const char* s, size_t n) {
    if (!texts.empty() && s >= texts.data() && s < texts.data() + texts.size()) {
      const std::string copy(s, n);  // an entry of this list: growing would move it
      append(copy.data(), n);
      return;
    }
    if (count % STRIDE == 0) marks.push_back(texts.size());
    texts.insert(texts.end(), s, s + n);
    texts.push_back('\0');
    ++count;
    changed();
  }
  void truncate(size_t n) {
    texts.resize(start(n));
    marks.resize((n + STRIDE - 1) / STRIDE);
    count = n;
    changed();
  }
  // Where entry index (< count, or == count for the end) begins.
  size_t start(size_t index) const {
    if (index == count) return texts.size();
    Last& last = lastFound();
    size_t at;
    if (last.version == version_ && last.index + 1 == index) {
      at = last.offset + std::strlen(texts.data() + last.offset) + 1;
    } else {
      at = marks[index / STRIDE];
      for (size_t k = index % STRIDE; k > 0; --k) at += std::strlen(texts.data() + at) + 1;
    }
    last = {version_, index, at};
    return at;
  }
  bool operator==(const KestrixStrListImp& other) const {
    return count == other.count && texts == other.texts;
  }

 private:
  struct Last {
    uint64_t version;  // of the list it was found in: versions are never reused
    size_t index;
    size_t offset;
  };
  static Last& lastFound() {
    thread_local Last last{0, 0, 0};
    return last;
  }
  void changed() { version_ = nextVersion_.fetch_add(1) + 1; }

  static inline std::atomic<uint64_t> nextVersion_{0};
  uint64_t version_ = nextVersion_.fetch_add(1) + 1;
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

KestrixStr::KestrixStr(const KestrixStr& other) {
  assign(other.buff_, other.length_);
}

KestrixStr::~KestrixStr() {
  freeBuff();
}

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

bool KestrixStr::operator!=(const char* s) const {
  return s == nullptr || std::strcmp(buff_, s) != 0;
}

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

KestrixStrList::~KestrixStrList() {
  delete list_;
}

unsigned int KestrixStrList::size() const {
  return static_cast<unsigned int>(list_->count);
}

void KestrixStrList::push_back(const char* s) {
  if (s == nullptr) s = "";
  list_->append(s, std::strlen(s));
}

void KestrixStrList::push_back(const char* s, unsigned int n) {
  list_->append(s, n);
}

const char* KestrixStrList::getStr(unsigned int index) const {
  if (index >= size()) QV_ASSERT_FAIL_("index < size()");
  return list_->texts.data() + list_->start(index);
}

void KestrixStrList::reserve(int n) {
  if (n > 0) list_->marks.reserve(static_cast<size_t>(n) / Kestrix::KestrixStrListImp::STRIDE + 1);
}

void KestrixStrList::reserveText(size_t bytes) {
  list_->texts.reserve(bytes);
  Kestrix::CoMemory::adviseLarge(list_->texts.data(), list_->texts.capacity());
}

void KestrixStrList::resize(int n) {
  const size_t wanted = n > 0 ? static_cast<size_t>(n) : 0;
  if (wanted < list_->count) list_->truncate(wanted);
  while (list_->count < wanted) list_->append("", 0);
}

bool KestrixStrList::operator==(const KestrixStrList& other) const {
  return *list_ == *other.list_;
}

#pragma once
// The facade's own string and string list. Text crosses the public interface
// in these rather than in standard-library types. KestrixStr owns a heap
// block of exactly length + 1 bytes; the empty string shares one static
// buffer and never allocates. Bytes are not interpreted.

#include <cstddef>

// What a shared libkestrix exports: the facade alone (everything else is
// built hidden there).
#define KESTRIX_API __attribute__((visibility("default")))

namespace Kestrix {
class KestrixStrListImp;
}

class KESTRIX_API KestrixStr {
 public:
  KestrixStr() = default;
  KestrixStr(const char* s);  // NOLINT(google-explicit-constructor): text converts freely
  KestrixStr(const char* s, unsigned int n);
  KestrixStr(const KestrixStr& other);
  virtual ~KestrixStr();

  KestrixStr& operator=(const KestrixStr& other);
  KestrixStr& operator=(const char* s);
  KestrixStr& operator+=(const KestrixStr& other);
  KestrixStr& operator+=(const char* s);
  KestrixStr& operator+=(char c);

  bool operator==(const KestrixStr& other) const;
  bool operator!=(const KestrixStr& other) const { return !(*this == other); }
  bool operator==(const char* s) const;
  bool operator!=(const char* s) const;
  bool operator<(const KestrixStr& other) const;

  char operator[](unsigned int i) const;
  const char* c_str() const { return buff_; }
  operator const char*() const { return buff_; }  // NOLINT(google-explicit-constructor)
  unsigned int length() const { return length_; }
  bool isEmpty() const { return length_ == 0; }
  void clear() { freeBuff(); }
  void reset() { freeBuff(); }
  KestrixStr substr(unsigned int pos, unsigned int n) const;

 private:
  void freeBuff();
  bool allocNewBuff(unsigned int n);
  bool reallocBuff(unsigned int n);
  void assign(const char* s, unsigned int n);
  void append(const char* s, unsigned int n);

  static char defaultBuff_[1];
  char* buff_ = defaultBuff_;
  unsigned int length_ = 0;
};

class KESTRIX_API KestrixStrList {
 public:
  KestrixStrList();
  KestrixStrList(const KestrixStrList& other);
  KestrixStrList& operator=(const KestrixStrList& other);
  virtual ~KestrixStrList();

  unsigned int size() const;
  void push_back(const char* s);
  // Appends the first n bytes of s (which holds no zero byte among them).
  void push_back(const char* s, unsigned int n);
  // The text of entry i; valid until the list next changes.
  const char* operator[](unsigned int index) const { return getStr(index); }
  const char* getStr(unsigned int index) const;
  void reserve(int n);
  // Makes room for this many bytes of text in all, terminators included.
  void reserveText(size_t bytes);
  void resize(int n);
  bool operator==(const KestrixStrList& other) const;
  bool operator!=(const KestrixStrList& other) const { return !(*this == other); }

 private:
  Kestrix::KestrixStrListImp* list_;
};

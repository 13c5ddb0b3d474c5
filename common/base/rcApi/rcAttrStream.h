#pragma once
// Named values in one byte string: the format of list replies, the login
// record, server descriptions and discovery datagrams. Each entry is
// "name length value" with the value length-prefixed and unescaped, entries
// written back to back with nothing between them:
//   Name = "x y", Count = 12   ->   "Name 3 x yCount 2 12"
// A removed entry keeps its bytes with the name overwritten by spaces.
//
// Getters walk from an embedded cursor that stays after the last entry
// found, so reading attributes in the order they were written costs one
// step each. Adding replaces an entry of the same name; a name index kept
// while the text is well formed makes building a stream linear.

#include <cstdint>
#include <string>
#include <unordered_map>

namespace Kestrix {

class rcAttrStream {
 public:
  // Walks a copy of a stream's text.
  class ConstIterator {
   public:
    ConstIterator() = default;
    explicit ConstIterator(const rcAttrStream& stream);
    ConstIterator(const ConstIterator&) = default;
    ConstIterator& operator=(const ConstIterator&) = default;
    virtual ~ConstIterator() = default;

    // Copies the stream's current text and starts over.
    virtual void reset(const rcAttrStream& stream);

    // The next live entry as offsets into getData(); false at the end or
    // at a parse error.
    bool next(unsigned& nameStart, unsigned& nameLength, unsigned& valueStart,
              unsigned& valueLength);
    // Looks name up from the current position, wrapping round once.
    bool find(const char* name, unsigned& valueStart, unsigned& valueLength);
    // The number of live entries; the position is kept.
    unsigned getSize() const;

    const std::string& getData() const { return data_; }
    uint32_t getPosition() const { return pos_; }

   protected:
    std::string data_;
    uint32_t pos_ = 0;
  };

  // Walks a stream and can remove entries from it.
  class Iterator : public ConstIterator {
   public:
    explicit Iterator(rcAttrStream& stream);
    // Also makes stream the one that remove() edits; it must be writable.
    void reset(const rcAttrStream& stream) override;
    // Blanks the first live entry called name in the edited stream.
    void remove(const char* name);

   private:
    rcAttrStream* stream_;
  };

  explicit rcAttrStream(const char* text = "");
  explicit rcAttrStream(const std::string& text);
  // A copy gets the text and a fresh cursor.
  rcAttrStream(const rcAttrStream& other);
  rcAttrStream& operator=(const rcAttrStream& other);
  virtual ~rcAttrStream() = default;

  void setStream(const std::string& text);
  const char* getStream() const { return stream_.c_str(); }
  const std::string& getStreamStr() const { return stream_; }

  void addStringValue(const char* name, const char* value);
  void addStringValue(const char* name, const std::string& value);
  void addIntValue(const char* name, int value);
  void addUInt32Value(const char* name, uint32_t value);
  void addUInt64Value(const char* name, uint64_t value);
  void addFloatValue(const char* name, float value);
  void addBoolValue(const char* name, bool value);

  bool getStringValue(const char* name, std::string& out) const;
  // Copies at most size - 1 bytes and always terminates the copy.
  bool getStringValue(const char* name, char* buf, unsigned size) const;
  bool getIntValue(const char* name, int& out) const;
  bool getUIntValue(const char* name, unsigned& out) const;
  bool getUInt32Value(const char* name, uint32_t& out) const;
  bool getUInt64Value(const char* name, uint64_t& out) const;
  bool getUCharValue(const char* name, unsigned char& out) const;
  bool getFloatValue(const char* name, float& out) const;
  bool getBoolValue(const char* name, bool& out) const;

  bool isEmpty() const;
  // Same text, or the same live entries in any order.
  bool operator==(const rcAttrStream& other) const;
  bool operator!=(const rcAttrStream& other) const { return !(*this == other); }

  void dump() const;
  // name='value' per live entry, values cut to maxValueLength (at least 3).
  std::string toPrettyString(int maxValueLength) const;
  void prettyDump(int maxValueLength) const;

 private:
  friend class Iterator;

  bool findValue(const char* name, uint32_t& valueStart, uint32_t& valueLength) const;
  bool findValue(const char* name, size_t nameLength, uint32_t& valueStart,
                 uint32_t& valueLength) const;
  // The value cut to 63 bytes for the numeric and boolean readers.
  bool getShortValue(const char* name, char (&buf)[64]) const;
  void removeFirst(const char* name);
  void buildIndex();
  void forgetIndex();

  std::string stream_;
  mutable uint32_t cursor_ = 0;

  // Live names and their entry offsets, usable only while the whole text
  // parses to its end and holds no name twice.
  enum class IndexState { NONE, VALID, UNUSABLE };
  IndexState indexState_ = IndexState::NONE;
  std::unordered_map<std::string, uint32_t> index_;
};

}  // namespace Kestrix

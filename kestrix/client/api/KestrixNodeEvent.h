#pragma once
// What a server reports about its nodes: the node's id, the kind of change
// and a dictionary of details. Applications receive events through a
// KestrixNodeEvent::Handler registered on a server handle.
//
// A node id is an opaque text chosen by the server; ids compare by their
// bytes, and the empty id names no node. kestrixd publishes its translation
// rules as the node "kestrixd:rules".

#include <cstdint>

#include "kestrix/client/api/KestrixTypes.h"

class KESTRIX_API KestrixNodeId {
 public:
  KestrixNodeId() = default;
  KestrixNodeId(const char* text) : text_(text) {}        // NOLINT(google-explicit-constructor)
  KestrixNodeId(const KestrixStr& text) : text_(text) {}  // NOLINT(google-explicit-constructor)

  const char* c_str() const { return text_.c_str(); }
  bool isEmpty() const { return text_.isEmpty(); }

  bool operator==(const KestrixNodeId& other) const { return text_ == other.text_; }
  bool operator!=(const KestrixNodeId& other) const { return !(text_ == other.text_); }
  bool operator<(const KestrixNodeId& other) const { return text_ < other.text_; }

 private:
  KestrixStr text_;
};

// Named values carried as one attribute-stream text, the form they travel
// in. Lookups parse the text afresh: dictionaries here hold a few entries.
class KESTRIX_API KestrixDictionary {
 public:
  KestrixDictionary() = default;
  // Takes an attribute-stream text as it stands (null counts as empty).
  explicit KestrixDictionary(const char* text) : text_(text) {}

  const char* c_str() const { return text_.c_str(); }
  bool isEmpty() const { return size() == 0; }
  // The number of entries; a malformed tail is not counted.
  unsigned int size() const;
  // The i-th entry in the order of the text.
  bool getEntry(unsigned int i, KestrixStr& name, KestrixStr& value) const;
  bool has(const char* name) const;
  bool getString(const char* name, KestrixStr& value) const;
  // False also when the value is not a number of that type.
  bool getInt(const char* name, int& value) const;
  bool getUInt64(const char* name, uint64_t& value) const;
  bool getBool(const char* name, bool& value) const;

  // Adding replaces an entry of the same name.
  void setString(const char* name, const char* value);
  void setInt(const char* name, int value);
  void setBool(const char* name, bool value);

  bool operator==(const KestrixDictionary& other) const { return text_ == other.text_; }

 private:
  KestrixStr text_;
};

class KESTRIX_API KestrixNodeEvent {
 public:
  // Called on the event monitor's thread, or on an application thread that
  // releases the handle's subscriptions while events wait; never twice at
  // once for one server handle.
  //
  // A handler may register and unregister handlers (itself included, on
  // its own handle or another), and use any server handle, its own too:
  // while it runs no library lock is held but its handle's subscriptions.
  // To that end a handle's event operations, unlike its other remote
  // operations, do not hold the handle's lock while they wait for the
  // server. A handler that throws has its exception logged with the node
  // id; delivery goes on. A handler must not destroy the handle it was
  // called for (the destruction waits for the delivery to end), and while
  // it blocks, events of that handle wait.
  class Handler {
   public:
    virtual ~Handler() = default;
    virtual void handleEvent(const KestrixNodeEvent& event) = 0;
  };

  KestrixNodeEvent() = default;
  KestrixNodeEvent(const KestrixNodeId& nodeId, const KestrixStr& type,
                   const KestrixDictionary& details)
      : nodeId_(nodeId), type_(type), details_(details) {}

  const KestrixNodeId& getNodeId() const { return nodeId_; }
  const KestrixStr& getType() const { return type_; }
  const KestrixDictionary& getDetails() const { return details_; }

 private:
  KestrixNodeId nodeId_;
  KestrixStr type_;
  KestrixDictionary details_;
};

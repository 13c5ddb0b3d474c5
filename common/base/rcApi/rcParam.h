#pragma once
// Typed values in which a remote method receives its parameters and gives
// its result, the descriptors of their types, and the split of one line of
// parameter text into typed parameters:
//   texts joined by single spaces, a text holding spaces wrapped in double
//   quotes: "\"%s\" %d \"%s\" %d " for a four-parameter call.
// Clients quote such texts with rcParamStringToEscapedString.

#include <string>
#include <utility>
#include <vector>

namespace Kestrix {

class rcParam {
 public:
  // Describes one parameter type; one shared instance per type.
  class Type {
   public:
    virtual ~Type() = default;
    // A new default-valued parameter of this type, owned by the caller.
    virtual rcParam* alloc() const = 0;
    virtual const char* name() const = 0;
  };

  // One entry of a method's parameter list; a list ends with a null type.
  struct Info {
    const Type* type;
    const char* name;
  };

  // The parameters of one call, split from the parameter text.
  class Array {
   public:
    // One parameter per entry of list; a null text leaves the defaults.
    Array(const Info* list, const char* text);
    Array(const Array&) = delete;
    Array& operator=(const Array&) = delete;
    ~Array();

    int size() const { return static_cast<int>(params_.size()); }
    rcParam& operator[](int i) const { return *params_[static_cast<size_t>(i)]; }

   private:
    void split(const char* text);
    std::vector<rcParam*> params_;
  };

  virtual ~rcParam() = default;
  virtual void setIntValue(int) {}
  virtual void setLongValue(long) {}
  virtual void setFloatValue(float) {}
  virtual void setStringValue(const std::string& text) { setStringValue(text.c_str()); }
  // The same, for a text the caller no longer needs (no copy where the type
  // keeps text).
  virtual void setStringValue(std::string&& text) {
    setStringValue(static_cast<const std::string&>(text));
  }
  virtual void setStringValue(const char*) {}
  virtual void setBoolValue(bool) {}
  virtual int intValue() const { return 0; }
  virtual long longValue() const { return 0; }
  virtual float floatValue() const { return 0.0f; }
  virtual std::string stringValue() const { return std::string(); }
  virtual bool boolValue() const { return false; }
  // The text value, moved out where the type allows it (a method's result
  // is read once, and may be megabytes long).
  virtual void takeStringValue(std::string& out) { out = stringValue(); }
};

class rcParamVoid : public rcParam {
 public:
  class VoidType : public rcParam::Type {
   public:
    rcParam* alloc() const override { return new rcParamVoid; }
    const char* name() const override { return "void"; }
  };
  static const Type& getType();
};

class rcParamInt : public rcParam {
 public:
  class IntType : public rcParam::Type {
   public:
    rcParam* alloc() const override { return new rcParamInt; }
    const char* name() const override { return "int"; }
  };
  static const Type& getType();

  using rcParam::setStringValue;
  void setIntValue(int v) override { value_ = v; }
  void setStringValue(const char* text) override;
  int intValue() const override { return value_; }
  std::string stringValue() const override;

 private:
  int value_ = 0;
};

// 32 bits on the wire whatever the width of long here.
class rcParamLong : public rcParam {
 public:
  class LongType : public rcParam::Type {
   public:
    rcParam* alloc() const override { return new rcParamLong; }
    const char* name() const override { return "long"; }
  };
  static const Type& getType();

  using rcParam::setStringValue;
  void setLongValue(long v) override { value_ = static_cast<int>(v); }
  void setStringValue(const char* text) override;
  long longValue() const override { return value_; }
  std::string stringValue() const override;

 private:
  int value_ = 0;
};

class rcParamFloat : public rcParam {
 public:
  class FloatType : public rcParam::Type {
   public:
    rcParam* alloc() const override { return new rcParamFloat; }
    const char* name() const override { return "float"; }
  };
  static const Type& getType();

  using rcParam::setStringValue;
  void setFloatValue(float v) override { value_ = v; }
  void setStringValue(const char* text) override;
  float floatValue() const override { return value_; }
  std::string stringValue() const override;

 private:
  float value_ = 0.0f;
};

class rcParamBool : public rcParam {
 public:
  class BoolType : public rcParam::Type {
   public:
    rcParam* alloc() const override { return new rcParamBool; }
    const char* name() const override { return "bool"; }
  };
  static const Type& getType();

  using rcParam::setStringValue;
  void setBoolValue(bool v) override { value_ = v; }
  void setStringValue(const char* text) override;
  bool boolValue() const override { return value_; }
  std::string stringValue() const override { return value_ ? "true" : "false"; }

 private:
  bool value_ = false;
};

class rcParamString : public rcParam {
 public:
  class StringType : public rcParam::Type {
   public:
    rcParam* alloc() const override { return new rcParamString; }
    const char* name() const override { return "const char *"; }
  };
  static const Type& getType();

  void setStringValue(const std::string& text) override { value_ = text; }
  void setStringValue(std::string&& text) override { value_ = std::move(text); }
  void setStringValue(const char* text) override { value_ = text != nullptr ? text : ""; }
  std::string stringValue() const override { return value_; }
  void takeStringValue(std::string& out) override { out.swap(value_); }
  // The text without a copy.
  const std::string& text() const { return value_; }

 private:
  std::string value_;
};

// A text as one quoted parameter: "..." with '"' and '\' preceded by '\'.
class rcParamStringToEscapedString {
 public:
  explicit rcParamStringToEscapedString(const char* text);
  const std::string& getEscapedString() const { return escaped_; }

 private:
  std::string escaped_;
};

// The reverse: drops the outer quotes and the backslashes before escaped
// bytes.
class rcParamEscapedStringToString {
 public:
  explicit rcParamEscapedStringToString(const char* escaped);
  const std::string& getString() const { return text_; }

 private:
  std::string text_;
};

}  // namespace Kestrix

#pragma once
// Typed environment variables that read the environment lazily, can be
// changed at run time and notify a change callback, and their registration
// in the process-wide EnvVarRegistry.
//
// Declare a registered variable in the unit that uses it, as a function-local
// static so that it is usable from other static initialisers:
//   EnvVar<bool>& traceVar() { static EnvVar<bool> v("QV_FOO_TRACE", false); return v; }
//   RegEnvVar<bool> gRegTrace(traceVar());

#include <cstdlib>
#include <ostream>
#include <string>
#include <type_traits>

namespace Kestrix {

namespace EnvVarDetail {
bool parseBool(const char* text);
int parseInt(const char* text);
}  // namespace EnvVarDetail

template <typename T>
class EnvVar {
 public:
  using ChangeCallback = void (*)(void*);
  using DefaultArg = std::conditional_t<std::is_same_v<T, std::string>, const char*, T>;

  EnvVar(const char* name, DefaultArg defaultValue, ChangeCallback callback = nullptr,
         void* callbackArg = nullptr)
      : name_(name), callback_(callback), callbackArg_(callbackArg), defaultArg_(defaultValue) {}
  EnvVar(const EnvVar&) = delete;
  EnvVar& operator=(const EnvVar&) = delete;

  const char* getName() const { return name_; }
  const T& get() {
    init();
    return value_;
  }
  operator const T&() { return get(); }
  const T& getDefault() {
    init();
    return default_;
  }
  bool isDefault() { return get() == getDefault(); }
  bool isInitialized() const { return initialized_; }
  bool isLocked() const { return locked_; }
  void setLocked(bool locked) { locked_ = locked; }
  // The next access reads the environment again.
  void reset() { initialized_ = false; }

  // Unless locked: store the value and run the change callback.
  void set(const T& value) {
    init();
    if (locked_) return;
    value_ = value;
    if (callback_) callback_(callbackArg_);
  }

  void setCallback(ChangeCallback callback, void* arg) {
    callback_ = callback;
    callbackArg_ = arg;
  }

 private:
  void init() {
    if (initialized_) return;
    if constexpr (std::is_same_v<T, std::string>)
      default_ = defaultArg_ ? defaultArg_ : "";
    else
      default_ = defaultArg_;
    const char* text = std::getenv(name_);
    if (text == nullptr)
      value_ = default_;
    else if constexpr (std::is_same_v<T, bool>)
      value_ = EnvVarDetail::parseBool(text);
    else if constexpr (std::is_same_v<T, int>)
      value_ = EnvVarDetail::parseInt(text);
    else
      value_ = text;
    initialized_ = true;
  }

  const char* name_;
  bool initialized_ = false;
  ChangeCallback callback_;
  void* callbackArg_;
  DefaultArg defaultArg_;
  T default_{};
  T value_{};
  bool locked_ = false;
};

// The registry's view of one variable, whatever its type.
class BaseRegEnvVar {
 public:
  enum Type { TYPE_OTHER = 0, TYPE_STRING = 1, TYPE_BOOL = 2, TYPE_INT = 3, TYPE_FLOAT = 4 };

  BaseRegEnvVar() = default;
  BaseRegEnvVar(const BaseRegEnvVar&) = delete;
  BaseRegEnvVar& operator=(const BaseRegEnvVar&) = delete;
  virtual ~BaseRegEnvVar();

  virtual const char* getName() const = 0;
  virtual int getType() const = 0;
  virtual void getValueAsStr(char* buffer, int size) const = 0;
  virtual void getDefaultValueAsStr(char* buffer, int size) const = 0;
  virtual bool isLocked() const = 0;
  virtual void print(std::ostream& out) const = 0;
  virtual void setValue(std::string value);
  virtual void setValue(float value);
  virtual void setValue(int value);
  virtual void setValue(bool value);

  const std::string& getFile() const { return file_; }

 protected:
  // Enters the wrapper in the registry; subclasses call it once constructed.
  void registerSelf();
  // Resets the described variable when the wrapper goes away.
  virtual void resetVariable() = 0;
  void unregisterSelf();

  std::string file_;
};

template <typename T>
class RegEnvVar : public BaseRegEnvVar {
 public:
  explicit RegEnvVar(EnvVar<T>& var) : var_(&var) {
    var_->get();
    registerSelf();
  }
  ~RegEnvVar() override {
    unregisterSelf();
    resetVariable();
  }

  const char* getName() const override { return var_->getName(); }
  static constexpr int typeCode() {
    if constexpr (std::is_same_v<T, std::string>) return TYPE_STRING;
    if constexpr (std::is_same_v<T, bool>) return TYPE_BOOL;
    if constexpr (std::is_same_v<T, int>) return TYPE_INT;
    return TYPE_OTHER;
  }
  int getType() const override { return typeCode(); }
  void getValueAsStr(char* buffer, int size) const override { toStr(var_->get(), buffer, size); }
  void getDefaultValueAsStr(char* buffer, int size) const override {
    toStr(var_->getDefault(), buffer, size);
  }
  bool isLocked() const override { return var_->isLocked(); }
  void print(std::ostream& out) const override {
    out << "file : " << file_ << std::endl;
    out << "name : " << getName() << std::endl;
    out << "value : " << var_->get() << std::endl;
  }
  using BaseRegEnvVar::setValue;
  void setValue(T value) override { var_->set(value); }

  // Gives every registered variable of this name and type the value.
  static void setByName(const char* name, const T& value);

 protected:
  void resetVariable() override { var_->reset(); }

 private:
  static void toStr(const T& value, char* buffer, int size);
  EnvVar<T>* var_;
};

// The registry's entry for a variable that the code reads itself, at each
// use or once (QV_NETWORK_CFG_FILE, QV_TCP_IPV6): listed and searched like
// the others, showing the environment's value now, but locked, because
// setting it would not reach the code that already read it.
class RegEnvView : public BaseRegEnvVar {
 public:
  RegEnvView(const char* name, const char* defaultValue) : name_(name), default_(defaultValue) {
    registerSelf();
  }
  ~RegEnvView() override { unregisterSelf(); }

  const char* getName() const override { return name_; }
  int getType() const override { return TYPE_STRING; }
  void getValueAsStr(char* buffer, int size) const override;
  void getDefaultValueAsStr(char* buffer, int size) const override;
  bool isLocked() const override { return true; }
  void print(std::ostream& out) const override;
  using BaseRegEnvVar::setValue;
  void setValue(std::string) override {}

 protected:
  void resetVariable() override {}

 private:
  std::string value() const;
  const char* name_;
  const char* default_;
};

}  // namespace Kestrix

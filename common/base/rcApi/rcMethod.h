#pragma once
// The signature and entry point of one remote method: its name, return
// type, parameter list and implementation, as registered with a server
// context. callMethod splits the parameter text, runs the implementation
// and turns its outcome, or whatever it throws, into the reply text.

#include <string>

#include "common/base/rcApi/rcParam.h"

namespace Kestrix {

class rcServerContext;

class rcMethod {
 public:
  // When the server replies: at once, or later through the server
  // context's returnFromDelayedCommand.
  enum Type { IMMEDIATE = 0, DELAYED = 1 };

  // object is the registered target (null for id 0); the result is written
  // into result; false means failure with the text given to setLastError.
  using Function = bool (*)(void* object, const rcMethod& method, const rcParam::Array& args,
                            rcParam& result);

  rcMethod(rcServerContext& context, const char* name, Function function,
           const rcParam::Type& returnType, const rcParam::Info* params, Type kind = IMMEDIATE);
  rcMethod(const rcMethod&) = default;
  virtual ~rcMethod() = default;

  // The list that holds only its end entry.
  static const rcParam::Info* getDudParamList();

  // Runs the method on paramText: true with the result's text in result,
  // or false with the error text in result.
  bool callMethod(void* object, const char* paramText, std::string& result) const;

  const char* getName() const { return name_; }
  Function getMethod() const { return function_; }
  const rcParam::Type& getReturnType() const { return *returnType_; }
  const rcParam::Info* getParamList() const { return params_; }
  Type getMethodType() const { return kind_; }
  rcServerContext& getServerContext() const { return *context_; }
  const std::string& lastError() const { return lastError_; }
  void setLastError(const char* text) const { lastError_ = text != nullptr ? text : ""; }

 private:
  rcServerContext* context_;
  const char* name_;
  Function function_;
  const rcParam::Type* returnType_;
  const rcParam::Info* params_;
  mutable std::string lastError_;
  Type kind_;
};

}  // namespace Kestrix

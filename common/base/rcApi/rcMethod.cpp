#include "common/base/rcApi/rcMethod.h"

#include <cstdio>
#include <exception>
#include <memory>

#include "common/base/loggerBase/CoException.h"

namespace Kestrix {
namespace {

template <typename T>
std::string formatThrown(const char* format, T value) {
  char buf[32];
  const int n = std::snprintf(buf, sizeof buf, format, value);
  return std::string(buf, n < 0 ? 0 : static_cast<size_t>(n));
}

// Rethrows the exception in flight and names it; called inside a handler.
std::string thrownText() {
  try {
    throw;
  } catch (const CoException& e) {
    return e.what();
  } catch (const std::exception& e) {
    return e.what();
  } catch (const char* text) {
    return text != nullptr ? text : "Unknown error";
  } catch (char v) {
    return formatThrown("%hhd", static_cast<signed char>(v));
  } catch (signed char v) {
    return formatThrown("%hhd", v);
  } catch (unsigned char v) {
    return formatThrown("%hhu", v);
  } catch (short v) {
    return formatThrown("%d", static_cast<int>(v));
  } catch (unsigned short v) {
    return formatThrown("%u", static_cast<unsigned>(v));
  } catch (int v) {
    return formatThrown("%d", v);
  } catch (unsigned v) {
    return formatThrown("%u", v);
  } catch (long v) {
    return formatThrown("%ld", v);
  } catch (unsigned long v) {
    return formatThrown("%lu", v);
  } catch (long long v) {
    return formatThrown("%lld", v);
  } catch (unsigned long long v) {
    return formatThrown("%llu", v);
  } catch (...) {
    return "Unknown error";
  }
}

}  // namespace

rcMethod::rcMethod(rcServerContext& context, const char* name, Function function,
                   const rcParam::Type& returnType, const rcParam::Info* params, Type kind)
    : context_(&context),
      name_(name),
      function_(function),
      returnType_(&returnType),
      params_(params != nullptr ? params : getDudParamList()),
      kind_(kind) {}

const rcParam::Info* rcMethod::getDudParamList() {
  static const rcParam::Info list[] = {{nullptr, nullptr}};
  return list;
}

bool rcMethod::callMethod(void* object, const char* paramText, std::string& result) const {
  const rcParam::Array args(params_, paramText);
  const std::unique_ptr<rcParam> value(returnType_->alloc());
  bool ok = false;
  try {
    ok = function_(object, *this, args, *value);
  } catch (...) {
    setLastError(thrownText().c_str());
    ok = false;
  }
  if (ok)
    value->takeStringValue(result);
  else
    result = lastError_;
  return ok;
}

}  // namespace Kestrix

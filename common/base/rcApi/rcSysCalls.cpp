#include "common/base/rcApi/rcSysCalls.h"

#include <cstdint>
#include <ctime>

#include "common/base/loggerBase/CoLogText.h"
#include "common/base/loggerBase/CoMsg.h"

#include "common/base/rcApi/rcConnectionInfo.h"
#include "common/base/rcApi/rcMethod.h"
#include "common/base/rcApi/rcServerContext.h"

namespace Kestrix {
namespace rcSysCalls {
namespace {

bool ping(void*, const rcMethod&, const rcParam::Array&, rcParam&) {
  return true;
}

bool login(void*, const rcMethod& method, const rcParam::Array& args, rcParam&) {
  const std::string text = args[0].stringValue();
  const rcConnectionInfo info(text.c_str(), nullptr);
  rcServerContext& context = method.getServerContext();
  std::string why;
  if (info.isValid() && context.loginProof() != nullptr &&
      !context.loginProof()->accept(info, static_cast<int64_t>(std::time(nullptr)), why)) {
    // A peer may fail its login in a loop.
    static CoLogLimiter refused("Logins refused");
    const std::string peer = context.getCurrentPeerAddress();
    if (refused.admit(CoMsg::LEVEL_WARN, peer))
      CO_POST_WARNING("Login from %s refused: %s", peer.c_str(), why.c_str());
    method.setLastError("Authentication failed for client's login information");
    return false;
  }
  if (!info.isValid()) {
    method.setLastError("Authentication failed for client's login information");
    return false;
  }
  context.setCurrentConnectionInfo(info);
  if (!context.login(info)) {
    context.invalidateCurrentConnectionInfo();
    method.setLastError("Authentication failed");
    return false;
  }
  return true;
}

const rcParam::Info kLoginParams[] = {{&rcParamString::getType(), "attrStr"}, {nullptr, nullptr}};

}  // namespace

void registerSystemMethods(rcServerContext& context) {
  context.registerMethod(
      rcMethod(context, "_ping", ping, rcParamVoid::getType(), rcMethod::getDudParamList()));
  context.registerMethod(
      rcMethod(context, "_login", login, rcParamString::getType(), kLoginParams));
}

}  // namespace rcSysCalls
}  // namespace Kestrix

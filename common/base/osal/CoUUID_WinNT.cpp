#include <windows.h>
// rpc.h needs the types of windows.h.
#include <rpc.h>

#include <cstring>

#include "common/base/loggerBase/CoMsg.h"
#include "common/base/osal/CoUUID.h"

namespace Kestrix {
namespace CoUUID {

bool generate(std::string& uuid, std::string& error) {
  UUID id;
  const RPC_STATUS status = ::UuidCreate(&id);
  if (status == RPC_S_UUID_NO_ADDRESS) {
    error = "Cannot get Ethernet hardware address.";
    return false;
  }
  if (status == RPC_S_UUID_LOCAL_ONLY)
    CO_POST_WARNING("UUID will only be garanteed to be unique locally!");
  RPC_CSTR text = nullptr;
  if (::UuidToStringA(&id, &text) != RPC_S_OK || text == nullptr) {
    error = "Could not convert UUID to string";
    return false;
  }
  uuid = reinterpret_cast<const char*>(text);
  ::RpcStringFreeA(&text);
  return true;
}

bool validate(const std::string& text) {
  // Some Windows versions parse empty text as the nil UUID.
  if (text.empty()) return false;
  UUID id;
  std::string copy = text;
  return ::UuidFromStringA(reinterpret_cast<RPC_CSTR>(copy.data()), &id) == RPC_S_OK;
}

int compare(const char* a, const char* b) {
  return ::_stricmp(a ? a : "", b ? b : "");
}

}  // namespace CoUUID
}  // namespace Kestrix

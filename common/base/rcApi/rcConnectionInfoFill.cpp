// Filling a client's record from its own process: kept apart from the
// record's format and checksum because it needs the network module.

#include "common/base/loggerBase/CoMsg.h"
#include "common/base/network/CoNetworkLocal.h"
#include "common/base/osal/CoProcess.h"
#include "common/base/osal/CoUmask.h"
#include "common/base/osal/CoUser.h"
#include "common/base/rcApi/rcConnectionInfo.h"
#include "common/base/tcp/CoIoDescriptor.h"

namespace Kestrix {

void rcConnectionInfo::fillInfo(const CoIoDescriptor* socket) {
  valid_ = true;
  CoUser::getEffectiveUser(userName_);
  const bool hasHostName = CoNetworkLocal::getHostName(hostName_);
  hasGroupName_ = CoUser::getGroup(groupName_);
  hasHostUUID_ = CoNetworkLocal::getUUID(hostUUID_);
  umask_ = CoUmask::getCurrent();
  hasUmask_ = true;
  static const CoProcess self;
  const bool hasProcessName = self.getName(processName_);
  const bool hasProcessId = self.getId(processId_);
  if (socket != nullptr) socket->getSocketIP(ipAddr_);
  if (!hasHostName || !hasGroupName_ || !hasHostUUID_ || !hasProcessName || !hasProcessId)
    CO_POST_DEBUG("User process information couldn't be adequately retrieved");
  crc_ = generateCRC();
}

}  // namespace Kestrix

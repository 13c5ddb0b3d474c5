#include "common/base/threads/CoTask.h"

namespace Kestrix {

CoTask::~CoTask() = default;

void CoTask::attach(CoThread*) {}
void CoTask::detach(CoThread*) {}
void CoTask::stop(CoThread*) {}

}  // namespace Kestrix

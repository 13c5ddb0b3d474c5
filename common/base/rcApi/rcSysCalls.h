#pragma once
// The system methods every server context serves: "_ping" and "_login".

namespace Kestrix {

class rcServerContext;

namespace rcSysCalls {

void registerSystemMethods(rcServerContext& context);

}  // namespace rcSysCalls
}  // namespace Kestrix

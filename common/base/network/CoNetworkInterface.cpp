#include "common/base/network/CoNetworkInterface.h"

#include <cstring>

namespace Kestrix {
namespace {

struct AttributeName {
  uint32_t value;
  const char* name;
};

const AttributeName kNames[] = {
    {CoNetworkInterface::ATTR_ANY, "any"},
    {CoNetworkInterface::ATTR_NONE, "none"},
    {CoNetworkInterface::ATTR_LOOPBACK, "loopback"},
    {CoNetworkInterface::ATTR_IPV4, "ipv4"},
    {CoNetworkInterface::ATTR_IPV6, "ipv6"},
    {CoNetworkInterface::ATTR_MULTICAST, "multicast"},
    {CoNetworkInterface::ATTR_GATEWAY, "gateway"},
};

}  // namespace

CoNetworkInterface::CoNetworkInterface(const char* name, unsigned int attributes, const char* ip,
                                       const char* netmask, unsigned int throughput)
    : name_(name ? name : ""),
      attributes_(attributes),
      ip_(ip ? ip : ""),
      netmask_(netmask ? netmask : ""),
      throughput_(throughput) {}

bool CoNetworkInterface::operator==(const CoNetworkInterface& other) const {
  return attributes_ == other.attributes_ && throughput_ == other.throughput_ &&
         name_ == other.name_ && ip_ == other.ip_ && netmask_ == other.netmask_;
}

std::string CoNetworkInterface::getAttributesStr(uint32_t attributes) {
  if (attributes == ATTR_ANY) return getAttributeStr(ATTR_ANY);
  std::string text;
  for (uint32_t bit = 1; bit != 0; bit <<= 1) {
    const char* name = (attributes & bit) ? getAttributeStr(bit) : "";
    if (*name == '\0') continue;
    if (!text.empty()) text += '|';
    text += name;
  }
  return text.empty() ? getAttributeStr(ATTR_NONE) : text;
}

const char* CoNetworkInterface::getAttributeStr(uint32_t attribute) {
  for (const AttributeName& entry : kNames) {
    if (entry.value == attribute) return entry.name;
  }
  return "";
}

uint32_t CoNetworkInterface::getAttributeFromStr(const char* name) {
  if (name == nullptr) return ATTR_NONE;
  for (const AttributeName& entry : kNames) {
    if (std::strcmp(entry.name, name) == 0) return entry.value;
  }
  return ATTR_NONE;
}

}  // namespace Kestrix

#pragma once
// One usable address of one of this host's network interfaces, as the
// network dispatcher lists it: the system's interface name, what the
// interface can do (a mask of Attributes), the address and netmask as
// numeric text, and a throughput figure for ordering. An interface with
// several addresses appears once per address.

#include <cstdint>
#include <string>

namespace Kestrix {

class CoNetworkInterface {
 public:
  enum Attributes : uint32_t {
    ATTR_ANY = 0xFFFFFFFFu,
    ATTR_NONE = 0,
    ATTR_LOOPBACK = 1,
    ATTR_IPV4 = 2,
    ATTR_IPV6 = 4,
    ATTR_MULTICAST = 8,
    ATTR_GATEWAY = 16,
  };

  // Null texts count as "".
  CoNetworkInterface(const char* name, unsigned int attributes, const char* ip, const char* netmask,
                     unsigned int throughput);

  const std::string& getName() const { return name_; }
  uint32_t getAttributes() const { return attributes_; }
  const std::string& getIP() const { return ip_; }
  const std::string& getNetmask() const { return netmask_; }
  uint32_t getThroughput() const { return throughput_; }

  bool operator==(const CoNetworkInterface& other) const;
  bool operator!=(const CoNetworkInterface& other) const { return !(*this == other); }

  // "any" for all bits set, else the names of the set bits from the lowest
  // up joined by "|", "none" when no named bit is set: 10 is "ipv4|multicast".
  static std::string getAttributesStr(uint32_t attributes);
  // The name of one value of Attributes; "" for anything else.
  static const char* getAttributeStr(uint32_t attribute);
  // The value of one name; ATTR_NONE for null or an unknown name.
  static uint32_t getAttributeFromStr(const char* name);

 private:
  std::string name_;
  uint32_t attributes_;
  std::string ip_;
  std::string netmask_;
  uint32_t throughput_;
};

}  // namespace Kestrix

#pragma once
// The record by which a client introduces itself at login: who runs it,
// on which host, from which process, with which client version. It
// travels as an attribute stream in the single parameter of "_login"; the
// server rebuilds it and checks its CRC-32 chain, an integrity check
// against accidental corruption or a foreign sender, not a secret.
//
// The chain feeds texts and 32-bit numbers into one running CRC-32; an
// empty text resets the running value to 0, so a client's record (empty
// password) is checked only over its address, timestamp and serial.

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/base/rcApi/rcAttrStream.h"

namespace Kestrix {

class CoIoDescriptor;

class rcConnectionInfo {
 public:
  // A client record with defaults; takes the next serial of the process.
  explicit rcConnectionInfo(uint64_t version);
  // Parses a serialised record and checks its checksum; with a socket, the
  // address becomes the socket's peer address after the check.
  rcConnectionInfo(const char* attributes, const CoIoDescriptor* socket);
  rcConnectionInfo(const rcConnectionInfo&) = default;
  rcConnectionInfo& operator=(const rcConnectionInfo&) = default;
  virtual ~rcConnectionInfo() = default;

  // Fills the client side from this process (and the socket's own address).
  void fillInfo(const CoIoDescriptor* socket);
  // Copies every field of from except serial and timestamp; with a socket,
  // the address becomes its peer address.
  void setClientInfo(const rcConnectionInfo& from, const CoIoDescriptor* socket);
  void setSerial(unsigned serial);
  void setTimestamp(unsigned timestamp);
  void setPassword(const std::string& password);
  // A record that stopped being acceptable (a refused login).
  void invalidate() { valid_ = false; }
  // Every field but the password and the checksum, in a fixed order: what a
  // proof of a shared secret covers (rcLoginProof).
  std::string proofText() const;

  // Rebuilds the serialised form and returns its text.
  const std::string& toAttrStream();
  std::string getConnectionStr() const;
  void logConnection() const;

  // The checksum the record's fields give now.
  uint32_t generateCRC() const;
  // CRC-32 (reflected 0xEDB88320, ISO-HDLC) of n bytes continued from
  // running, which starts at 0 for a fresh computation.
  static uint32_t crc32(uint32_t running, const void* data, size_t n);

  const std::string& getUserName() const { return userName_; }
  const std::string& getGroupName() const { return groupName_; }
  uint32_t getUmask() const { return umask_; }
  const std::string& getHostName() const { return hostName_; }
  const std::string& getHostUUID() const { return hostUUID_; }
  const std::string& getIpAddr() const { return ipAddr_; }
  const std::string& getPassword() const { return password_; }
  const std::string& getProcessName() const { return processName_; }
  int getProcessId() const { return processId_; }
  int getSerial() const { return serial_; }
  int getTimestamp() const { return timestamp_; }
  // The low 32 bits of the version.
  uint32_t getVersion() const { return static_cast<uint32_t>(version_); }
  uint32_t getChecksum() const { return crc_; }
  bool isValid() const { return valid_; }

 private:
  void validate();
  // The serialised fields in their order; without the password and the
  // checksum unless withSecrets.
  void writeFields(rcAttrStream& out, bool withSecrets) const;

  bool valid_ = false;
  std::string userName_ = "undefined";
  std::string groupName_ = "undefined";
  bool hasGroupName_ = false;
  uint32_t umask_ = 0;
  bool hasUmask_ = false;
  std::string password_;
  std::string processName_ = "undefined";
  int processId_ = 0;
  std::string hostName_ = "undefined";
  std::string hostUUID_ = "undefined";
  bool hasHostUUID_ = false;
  std::string ipAddr_ = "0.0.0.0";
  int serial_ = 0;
  uint32_t crc_ = 0;
  int timestamp_ = 0;
  uint64_t version_ = 0;
  rcAttrStream attrs_;
};

}  // namespace Kestrix

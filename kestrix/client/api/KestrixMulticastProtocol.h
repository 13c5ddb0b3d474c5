#pragma once
// The wire vocabulary of server discovery. One request travels as one UDP
// datagram holding the attribute stream "Version" (1), "Type" (a
// RequestType) and "Data" (the request's own attribute stream, a server
// description or a search filter), with no length prefix and no trailing
// zero; a receiver reads at most 1023 bytes. A server list (the reply of
// "GetDaemonList") is the stream "Count", "Node0" ... "Node<Count-1>", each
// node the attribute-stream text of one server description.
//
// Holders of a shared secret sign what they send: the outer stream then also
// carries "Time" (seconds since the epoch) and "Signature", the hexadecimal
// HMAC-SHA256 keyed with the secret of "<Type>\n<Time>\n<Data>". Readers
// look values up by name, so those without the secret ignore both.

#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "common/base/rcApi/rcAttrStream.h"
#include "kestrix/client/api/KestrixDaemonInfo.h"

class KestrixMulticastProtocol {
 public:
  enum RequestType {
    INVALID = 0,
    START_OF_SERVICES = 70,
    DISCOVER_SERVERS = 71,        // a server announces itself
    DISCOVER_SERVERS_REPLY = 72,  // a server answers a search
    REMOVE_SERVER = 73,           // a server goes away
    FIND_SERVERS = 74,            // a search; data: empty, a database or a storage id
    END_OF_SERVICES = 75
  };

  // Bytes a receiver reads of one datagram.
  static constexpr unsigned int MAX_DATAGRAM = 1023;

  // Addresses of each kind kept of a received description.
  static constexpr unsigned MAX_ADDRESSES = 16;
  // How far a signature's time may be from the receiver's clock.
  static constexpr int64_t MAX_SKEW_SECONDS = 120;

  // Signed when secret is not empty.
  static std::string create(RequestType type, const Kestrix::rcAttrStream& data,
                            const std::string& secret = std::string(), int64_t nowSeconds = 0);
  // Whether a datagram carries a signature made with secret, for its type
  // and data, within MAX_SKEW_SECONDS of now.
  static bool isSigned(const char* text, const std::string& secret, int64_t nowSeconds);
  // Checks and opens one datagram; false, after an error message, when it
  // is not a request of this protocol.
  static bool parseRequest(const char* text, RequestType& type, Kestrix::rcAttrStream& data);
  // Appends the servers of a server list, keeping those of database only
  // when it is neither null nor empty. Never walks past the nodes the text
  // holds, whatever its "Count" says.
  static void decode(const std::string& text, std::list<KestrixDaemonInfo>& servers,
                     const char* database);
  static void encode(const std::list<KestrixDaemonInfo>& servers, std::string& text);
  // The same from the attribute-stream texts of the descriptions.
  static void encodeTexts(const std::vector<const std::string*>& nodes, std::string& text);
  static const char* getRequestTypeStr(RequestType type);

  // A received description as its receiver keeps it: the sender's address
  // first (the one that reached this host), at most MAX_ADDRESSES addresses
  // of each kind.
  static void takeFrom(KestrixDaemonInfo& info, const char* fromIp);
  // Names a server from the description's text alone, with no name lookup:
  // its storage id, else database, node port and first address. Equal keys
  // are one server.
  static std::string serverKey(const KestrixDaemonInfo& info);
  // Whether ip is one of the description's metadata addresses, as text.
  static bool hasAddress(const KestrixDaemonInfo& info, const char* ip);
};

// kestrix_servers: lists the servers that discovery finds, one per line,
// tab-separated: display name, database, storage id, node port and the
// metadata addresses joined by ",". With -w it keeps listening for the given
// seconds, prints the first list with a leading "=" field and then a line
// per server added ("+"), updated ("~") or removed ("-") as it happens, so
// that every line has the same columns. -j prints JSON lines instead. Data
// goes to standard output, everything else to standard error. Exit code 2
// on a usage error, 1 when no server was found, 0 otherwise.


#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "common/base/loggerBase/CoLogText.h"
#include "common/base/network/CoNetworkConfig.h"
#include "kestrix/client/api/KestrixClientAPI.h"
#include "kestrix/client/api/KestrixMulticastClient.h"
#include "kestrix/tools/common/ToolOptions.h"

namespace {

std::string gDatabase;
long gWaitSeconds = -1;
bool gJson = false;

// Answers to a search keep arriving for a moment after the first one.
constexpr auto kSettle = std::chrono::milliseconds(200);
constexpr auto kSettleMax = std::chrono::milliseconds(1000);

void printUsage(FILE* to, const char* program) {
  std::fprintf(to,
               "Usage: %s [-j] [-d <database>] [-w <seconds>]\n"
               "  Lists the Kestrix servers that discovery finds, one per line:\n"
               "  display name, database, storage id, node port, metadata addresses.\n"
               "  -d  only the servers of this database\n"
               "  -w  keep listening this long; the list comes first, marked =, then\n"
               "      servers added (+), updated (~) and removed (-) as it happens\n"
               "  -j  one JSON object a line instead of tab-separated fields\n"
               "  --help, --version\n",
               program);
}

using KestrixTools::Parsed;

Parsed parseOptions(int argc, char** argv) {
  return KestrixTools::parseOptions(argc, argv, "d:w:j", "kestrix_servers", printUsage,
                                    [](int c, const char* value) {
                                      if (c == 'd') gDatabase = value;
                                      if (c == 'j') gJson = true;
                                      return c != 'w' ||
                                             KestrixTools::parseSeconds(value, 86400, gWaitSeconds);
                                    });
}

// The length of the well-formed UTF-8 character at text, 0 when it is not one
// (overlong forms, surrogates and code points past U+10FFFF included).
size_t utf8Length(const unsigned char* text, size_t left) {
  const unsigned char c = text[0];
  size_t length = 0;
  uint32_t min = 0, code = 0;
  if (c >= 0xC2 && c <= 0xDF)
    length = 2, min = 0x80, code = c & 0x1F;
  else if (c >= 0xE0 && c <= 0xEF)
    length = 3, min = 0x800, code = c & 0x0F;
  else if (c >= 0xF0 && c <= 0xF4)
    length = 4, min = 0x10000, code = c & 0x07;
  if (length == 0 || length > left) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((text[i] & 0xC0) != 0x80) return 0;
    code = (code << 6) | (text[i] & 0x3F);
  }
  if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

// A JSON string: control bytes as \u00XX, a byte that is not well-formed
// UTF-8 as U+FFFD, so that a peer's text never reaches the reader raw.
std::string jsonString(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  std::string out = "\"";
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = p[i];
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else if (c >= 0x80) {
      const size_t length = utf8Length(p + i, text.size() - i);
      if (length == 0) {
        out += "\\ufffd";
        ++i;
        continue;
      }
      out.append(text.data() + i, length);
      i += length;
      continue;
    } else {
      out += static_cast<char>(c);
    }
    ++i;
  }
  return out + '"';
}

std::string describe(const char* event, const KestrixDaemonInfo& info) {
  if (gJson) {
    // Appended piece by piece: GCC 12 at -O2 takes "text" + std::string&&
    // for an overlapping copy (-Wrestrict).
    std::string line = "{";
    if (event != nullptr) line.append("\"event\":\"").append(event).append("\",");
    line.append("\"display_name\":").append(jsonString(info.getDisplayName()));
    line.append(",\"database\":").append(jsonString(info.getDatabase()));
    line.append(",\"storage_id\":").append(jsonString(info.getStorageId()));
    line.append(",\"node_port\":").append(std::to_string(info.getNodePort()));
    line.append(",\"addresses\":[");
    for (unsigned i = 0; *info.getMetadataIP(i) != '\0'; ++i) {
      if (i > 0) line += ',';
      line += jsonString(info.getMetadataIP(i));
    }
    return line + "]}";
  }
  // A peer's tab or line break must not make a column or a line of its own.
  const auto field = [](const char* text) { return Kestrix::CoLogText::escape(text, SIZE_MAX); };
  std::string addresses;
  for (unsigned i = 0; *info.getMetadataIP(i) != '\0'; ++i) {
    if (i > 0) addresses += ',';
    addresses += field(info.getMetadataIP(i));
  }
  return (event ? std::string(event) + '\t' : std::string()) + field(info.getDisplayName()) + '\t' +
         field(info.getDatabase()) + '\t' + field(info.getStorageId()) + '\t' +
         std::to_string(info.getNodePort()) + '\t' + addresses;
}

// Counts what discovery reports and, once listening, prints it.
class Watcher : public KestrixMulticastClient::Observer {
 public:
  void notify(Event event, const KestrixDaemonInfo& info) override {
    if (!gDatabase.empty() && gDatabase != info.getDatabase()) return;
    std::lock_guard<std::mutex> lock(mutex_);
    lastNews_ = std::chrono::steady_clock::now();
    if (!printing_) return;
    static const char* const kSign[] = {"~", "+", "-"};
    std::printf("%s\n", describe(kSign[event], info).c_str());
    std::fflush(stdout);
    printed_ = true;
  }
  // Waits until no news came for kSettle, kSettleMax at most.
  void settle() {
    const auto start = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> lock(mutex_);
    lastNews_ = start;
    while (std::chrono::steady_clock::now() - start < kSettleMax &&
           std::chrono::steady_clock::now() - lastNews_ < kSettle) {
      lock.unlock();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      lock.lock();
    }
  }
  void startPrinting() {
    std::lock_guard<std::mutex> lock(mutex_);
    printing_ = true;
  }
  bool printed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return printed_;
  }

 private:
  std::mutex mutex_;
  std::chrono::steady_clock::time_point lastNews_;
  bool printing_ = false;
  bool printed_ = false;
};

int run() {
  std::string badConfig;
  if (!Kestrix::CoNetworkConfig::getInstance().checkSelfDiscovery(badConfig)) {
    std::fprintf(stderr, "%s\n", badConfig.c_str());
    return 1;
  }
  KestrixClient client;
  if (!client.init()) {
    std::fprintf(stderr, "Unable to initialize Kestrix client API.\n");
    return 1;
  }
  const char* database = gDatabase.empty() ? nullptr : gDatabase.c_str();
  Watcher watcher;
  KestrixMulticastClient::addObserver(&watcher);
  KestrixMulticastClient& discovery = KestrixMulticastClient::getInstance();
  discovery.refresh(database);
  watcher.settle();

  std::list<KestrixDaemonInfo> servers;
  discovery.getServers(&servers, database, nullptr, 0);
  // While watching, the list is the first "event": every line the same columns.
  const char* listed = gWaitSeconds > 0 ? "=" : nullptr;
  for (const KestrixDaemonInfo& info : servers) std::printf("%s\n", describe(listed, info).c_str());
  std::fflush(stdout);
  bool found = !servers.empty();
  if (gWaitSeconds > 0) {
    watcher.startPrinting();
    std::this_thread::sleep_for(std::chrono::seconds(gWaitSeconds));
  }
  KestrixMulticastClient::removeObserver(&watcher);
  found = found || watcher.printed();
  if (!found)
    std::fprintf(stderr, "No Kestrix server found%s%s.\n", database ? " for database " : "",
                 database ? database : "");
  return found ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const Parsed parsed = parseOptions(argc, argv);
  if (parsed != Parsed::RUN) return KestrixTools::exitStatus(parsed, printUsage, argv[0]);
  return run();
}

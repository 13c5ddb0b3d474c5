#include "common/base/rcApi/rcServerContext.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>

#include "common/base/loggerBase/CoMsg.h"
#include "common/base/osal/CoTime.h"
#include "common/base/rcApi/rcSysCalls.h"

namespace Kestrix {
namespace {

// The listener's port convention: -1 asks the system for a port.
int listenerPort(int port) {
  return port == 0 ? -1 : port;
}

unsigned nowSeconds() {
  return static_cast<unsigned>(std::time(nullptr));
}

}  // namespace

// ---- Client --------------------------------------------------------------

rcServerContext::Client::Client(CoIoTcpDescriptor* connection, rcServerContext& context)
    : CoIoHandler(EVENT_READ | EVENT_EXCEPTION),
      connection_(connection),
      context_(context),
      info_(0) {
  const char* preset = std::getenv("QV_RC_CONNINFO");
  if (preset == nullptr) return;
  const rcConnectionInfo record(preset, nullptr);
  if (!record.isValid()) {
    CO_POST_ERROR("Invalid client login information");
    return;
  }
  info_.setTimestamp(nowSeconds());
  info_.setClientInfo(record, connection_.get());
  info_.logConnection();
}

rcServerContext::Client::~Client() = default;

bool rcServerContext::Client::handleException() {
  CO_POST_ERROR("%s", connection_->lastError().c_str());
  return true;
}

bool rcServerContext::Client::writeReply(const std::string& line) {
  const uint64_t deadline = CoTime::getTime() + uint64_t{REPLY_WRITE_TIMEOUT_MS} * 1000;
  // Try at once; wait (bounded) only for what the socket did not take.
  const int first = connection_->nonBlockingWrite(line.data(), static_cast<unsigned>(line.size()));
  size_t done = first > 0 ? static_cast<size_t>(first) : 0;
  while (first >= 0 && done < line.size()) {
    const uint64_t now = CoTime::getTime();
    const unsigned leftMs = now >= deadline ? 0 : static_cast<unsigned>((deadline - now) / 1000);
    const int n = connection_->nonBlockingWriteSelect(
        line.data() + done, static_cast<unsigned>(line.size() - done), leftMs);
    if (n < 0) break;
    if (n == 0 && leftMs == 0) {
      char text[256];
      CoIoDescriptor::getIoError(CoIoDescriptor::IO_TIMED_OUT, text, sizeof text);
      connection_->setLastError(text);
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (done == line.size()) return true;
  CO_POST_ERROR("%s", connection_->lastError().c_str());
  connection_->close();
  return false;
}

bool rcServerContext::Client::handleRead() {
  // A client that sends a long line keeps its socket full: take a few reads
  // in one round rather than one poll of every client per 8 KB, but no more,
  // so that the other clients still get their turn.
  constexpr int kReadsPerRound = 32;
  char buffer[8192];
  for (int round = 0; round < kReadsPerRound; ++round) {
    const int n = connection_->nonBlockingRead(buffer, sizeof buffer - 1);
    if (n < 0) {
      connection_->close();
      return false;
    }
    if (!handleBytes(buffer, static_cast<size_t>(n))) return false;
    if (n < static_cast<int>(sizeof buffer - 1)) break;  // drained for now
  }
  return true;
}

bool rcServerContext::Client::handleBytes(const char* data, size_t n) {
  size_t pos = 0;
  while (pos < n) {
    bool complete = false;
    pos += command_.parse(data + pos, n - pos, complete);
    if (!complete) break;
    context_.processCommand(command_, *this);
    const bool delayed = method_ != nullptr && method_->getMethodType() != rcMethod::IMMEDIATE;
    if (!command_.isAsync() && !delayed) {
      if (!writeReply(context_.replyLine())) {
        context_.current_ = nullptr;
        return false;
      }
    }
    context_.current_ = nullptr;
    command_.reset();
    if (!info_.isValid()) {
      CO_POST_ERROR("Invalid client info, breaking connection");
      connection_->close();
      return false;
    }
  }
  return true;
}

// ---- rcServerContext -----------------------------------------------------

rcServerContext::rcServerContext(int port) : CoIoTcpServerHandler(listenerPort(port), 0, 0) {
  if (!CoIoTcpServerHandler::descriptor()->isValid()) {
    CO_POST_ERROR("Unable to set-up port %d to accept connections: %s", port,
                  CoIoTcpServerHandler::descriptor()->lastError().c_str());
    return;
  }
  setUp(port, port);
}

rcServerContext::rcServerContext(int firstPort, int lastPort)
    : CoIoTcpServerHandler(firstPort, lastPort, 0, 0) {
  if (!CoIoTcpServerHandler::descriptor()->isValid()) {
    CO_POST_ERROR("Unable to find port in range %d to %d accept connections: %s", firstPort,
                  lastPort, CoIoTcpServerHandler::descriptor()->lastError().c_str());
    return;
  }
  setUp(firstPort, lastPort);
}

void rcServerContext::setUp(int, int) {
  valid_ = true;
  rcSysCalls::registerSystemMethods(*this);
  registerIOHandler(static_cast<CoIoTcpServerHandler*>(this));
}

rcServerContext::~rcServerContext() {
  for (Client* client : clients_) {
    unregisterIOHandler(client);
    delete client;
  }
  unregisterIOHandler(static_cast<CoIoTcpServerHandler*>(this));
}

bool rcServerContext::login(const rcConnectionInfo&) {
  return true;
}

// A failed accept (a client that gave up, too many open files) must not
// take the listener out of the loop: the server keeps accepting.
bool rcServerContext::handleRead() {
  CoIoTcpServerHandler::handleRead();
  return true;
}

void rcServerContext::dropInvalidClients() {
  for (size_t i = clients_.size(); i-- > 0;) {
    Client* client = clients_[i];
    if (client->connection()->isValid()) continue;
    unregisterIOHandler(client);
    clients_.erase(clients_.begin() + static_cast<std::ptrdiff_t>(i));
    delete client;
  }
}

bool rcServerContext::handleConnection(CoIoTcpDescriptor* connection) {
  dropInvalidClients();
  Client* client = new Client(connection, *this);
  clients_.push_back(client);
  registerIOHandler(client);
  return true;
}

bool rcServerContext::registerMethod(const rcMethod& method) {
  if (methods_.count(method.getName()) != 0) {
    lastError_ = std::string("Method '") + method.getName() + "' already registered";
    CO_POST_ERROR("%s", lastError_.c_str());
    return false;
  }
  methods_.emplace(method.getName(), method);
  return true;
}

bool rcServerContext::registerObject(int id, void* object) {
  if (id == 0) {
    lastError_ = "Reserved object Id";
    CO_POST_ERROR("%s", lastError_.c_str());
    return false;
  }
  if (objects_.count(id) != 0) {
    lastError_ = "Object '" + std::to_string(id) + "' already registered";
    CO_POST_ERROR("%s", lastError_.c_str());
    return false;
  }
  objects_[id] = object;
  return true;
}

bool rcServerContext::unregisterObject(int id) {
  return objects_.erase(id) != 0;
}

unsigned rcServerContext::getCurrentClientId() const {
  return current_ != nullptr ? current_->getId() : 0;
}

const rcConnectionInfo* rcServerContext::getCurrentConnectionInfo() const {
  return current_ != nullptr ? &current_->info() : nullptr;
}

void rcServerContext::setCurrentConnectionInfo(const rcConnectionInfo& info) {
  if (current_ == nullptr) return;
  rcConnectionInfo& record = current_->info();
  record.setTimestamp(nowSeconds());
  record.setClientInfo(info, current_->connection());
  record.logConnection();
}

rcServerContext::Client* rcServerContext::findClient(unsigned id) const {
  for (Client* client : clients_)
    if (client->getId() == id) return client;
  return nullptr;
}

bool rcServerContext::isIdValid(unsigned id) const {
  const Client* client = findClient(id);
  return client != nullptr && client->connection()->isValid();
}

bool rcServerContext::isLoginCommand(const rcCommand& command) const {
  if (std::string_view(command.getMethod()) != "_login") return false;
  const rcParam::Info params[] = {{&rcParamString::getType(), "attrStr"}, {nullptr, nullptr}};
  const rcParam::Array args(params, command.getParams().value());
  const rcConnectionInfo info(args[0].stringValue().c_str(), nullptr);
  return info.getVersion() != 0;
}

void rcServerContext::returnFromDelayedCommand(unsigned clientId, bool ok, const char* value) {
  Client* client = findClient(clientId);
  if (client == nullptr || !client->connection()->isValid()) return;
  current_ = client;
  setResult(ok ? rcResult::OK : rcResult::ERROR, value != nullptr ? value : "");
  client->writeReply(replyLine());
  current_ = nullptr;
}

void rcServerContext::setResult(int status, std::string value) {
  resultStatus_ = status;
  resultValue_ = std::move(value);
}

const std::string& rcServerContext::replyLine() {
  replyLine_.clear();
  rcResult::serialize(resultStatus_, resultValue_, replyLine_);
  // A megabyte-sized answer is written once; its copies need not stay.
  if (resultValue_.capacity() > (1u << 20)) std::string().swap(resultValue_);
  return replyLine_;
}

void rcServerContext::processCommand(const rcCommand& command, Client& client) {
  current_ = &client;
  const bool async = command.isAsync();
  auto found = methods_.find(command.getMethod());
  if (found == methods_.end()) {
    client.setMethod(nullptr);
    if (!async)
      setResult(rcResult::ERROR, std::string("Unknown method: ") + command.getMethod());
    return;
  }
  const int objectId = std::atoi(command.getObjectId());
  void* object = nullptr;
  if (objectId != 0) {
    auto target = objects_.find(objectId);
    if (target == objects_.end()) {
      client.setMethod(nullptr);
      if (!async)
        setResult(rcResult::ERROR, "Invalid Object: " + std::to_string(objectId));
      return;
    }
    object = target->second;
  }
  const rcMethod& method = found->second;
  client.setMethod(&method);
  std::string text;
  const bool ok = method.callMethod(object, command.getParams().value(), text);
  if (!async && method.getMethodType() == rcMethod::IMMEDIATE)
    setResult(ok ? rcResult::OK : rcResult::ERROR, std::move(text));
}

}  // namespace Kestrix

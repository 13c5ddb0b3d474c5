#include "common/base/rcApi/rcServerContext.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string_view>

#include "common/base/loggerBase/CoLogText.h"
#include "common/base/loggerBase/CoMsg.h"
#include "common/base/osal/CoTime.h"
#include "common/base/rcApi/rcSysCalls.h"
#include "common/base/tcp/CoSocketOps.h"

namespace Kestrix {
namespace {

// The listener's port convention: -1 asks the system for a port.
int listenerPort(int port) {
  return port == 0 ? -1 : port;
}

unsigned nowSeconds() {
  return static_cast<unsigned>(std::time(nullptr));
}

// Buffers from this size on are given back as soon as their text is done
// with, rather than kept for the next request.
constexpr size_t LARGE_BUFFER = size_t{1} << 20;
// How long a closing connection keeps discarding what the client still
// sends, so that the client reads the last reply instead of a reset.
constexpr int64_t LINGER_MS = 2000;
// Reads of one client in one round: a client that sends a long line keeps
// its socket full, and a few reads per round cost less than a round per
// read, but the other clients must still get their turn.
constexpr int READS_PER_ROUND = 16;
constexpr int CLIENT_EVENTS = rcAppContext::EVENT_READ | rcAppContext::EVENT_EXCEPTION;
// The most one write hands to the socket.
constexpr size_t MAX_WRITE = size_t{1} << 30;
// How long listeners rest when the process is out of descriptors: their
// waiting connection keeps them readable, and asking again at once would
// spin until some client goes.
constexpr int64_t ACCEPT_PAUSE_MS = 250;
// A burst of connections is taken in a few rounds, not one per round.
constexpr int ACCEPTS_PER_ROUND = 16;

std::string peerText(const CoIoTcpDescriptor& connection) {
  std::string ip = "?";
  connection.getPeerIP(ip);
  return ip;
}

}  // namespace

// ---- Client --------------------------------------------------------------

rcServerContext::Client::Client(CoIoTcpDescriptor* connection, rcServerContext& context)
    : CoIoHandler(CLIENT_EVENTS),
      connection_(connection),
      context_(context),
      command_(std::make_unique<rcCommand>()),
      info_(0) {
  inputMs_ = nowMs();
  if (!context.presetLogin_) return;
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
  context_.drop(this);
  return false;
}

void rcServerContext::Client::watch(int events) {
  if (handlerType() == events) return;
  setHandlerType(events);
  context_.updateIOHandler(this);
}

int64_t rcServerContext::Client::deadlineMs() const {
  if (outPos_ < out_.size()) return progressMs_ + context_.limits_.stallTimeoutMs;
  if (lingerUntilMs_ >= 0 || context_.limits_.idleTimeoutMs == 0) return lingerUntilMs_;
  // A client that waits for a delayed reply is not idle.
  return delayed_ == Delayed::NONE ? inputMs_ + context_.limits_.idleTimeoutMs : -1;
}

bool rcServerContext::Client::queueReply(std::string& line) {
  if (out_.empty()) {
    out_.swap(line);
    outPos_ = 0;
    progressMs_ = nowMs();
  } else {
    out_.append(line);
  }
  if (line.capacity() >= LARGE_BUFFER) {
    std::string().swap(line);
    context_.releasedLarge_ = true;
  }
  return flush();
}

bool rcServerContext::Client::flush() {
  while (outPos_ < out_.size()) {
    const size_t size = std::min(out_.size() - outPos_, MAX_WRITE);
    const int n = connection_->nonBlockingWrite(out_.data() + outPos_, static_cast<unsigned>(size));
    if (n < 0) {
      // A client can get itself dropped at will, then connect again.
      static CoLogLimiter failed("Clients dropped");
      const std::string peer = peerText(*connection_);
      if (failed.admit(CoMsg::LEVEL_NOTICE, peer))
        CO_POST_NOTICE("Client %s dropped: %s", peer.c_str(), connection_->lastError().c_str());
      context_.drop(this);
      return false;
    }
    if (n == 0) break;
    outPos_ += static_cast<size_t>(n);
    progressMs_ = nowMs();
  }
  const uint64_t pending = out_.size() - outPos_;
  if (pending > context_.limits_.maxPendingOutputBytes) {
    static CoLogLimiter over("Clients dropped");
    const std::string peer = peerText(*connection_);
    if (over.admit(CoMsg::LEVEL_NOTICE, peer))
      CO_POST_NOTICE("Client %s dropped: pending output over the limit of %llu bytes", peer.c_str(),
                     static_cast<unsigned long long>(context_.limits_.maxPendingOutputBytes));
    context_.drop(this);
    return false;
  }
  if (pending != 0) {
    // While a reply waits, further requests wait unread in the socket; a
    // closing client is still read, and what it sends thrown away.
    watch(closing_ ? CLIENT_EVENTS | EVENT_WRITE : EVENT_WRITE | EVENT_EXCEPTION);
    context_.waiting_.insert(this);
    context_.watchDeadline(deadlineMs());
    return true;
  }
  if (out_.capacity() >= LARGE_BUFFER) {
    std::string().swap(out_);
    context_.releasedLarge_ = true;
  }
  out_.clear();
  outPos_ = 0;
  context_.waitIdle(this);
  watch(CLIENT_EVENTS);
  if (closing_) {
    CoSocketOps::shutdownWrite(connection_->id());
    lingerUntilMs_ = nowMs() + LINGER_MS;
    context_.waiting_.insert(this);
    context_.watchDeadline(lingerUntilMs_);
    return true;
  }
  if (stash_.empty()) return true;
  std::string stash;
  stash.swap(stash_);
  context_.bufferedInput_ -= stash.size();
  return handleBytes(stash.data(), stash.size());
}

bool rcServerContext::Client::handleWrite() {
  return flush();
}

bool rcServerContext::Client::handleRead() {
  std::vector<char>& buffer = context_.readBuffer_;
  const int size = static_cast<int>(buffer.size());
  for (int round = 0; round < READS_PER_ROUND; ++round) {
    const int n = connection_->nonBlockingRead(buffer.data(), static_cast<unsigned>(size));
    if (n < 0) {
      context_.drop(this);
      return false;
    }
    if (n > 0) inputMs_ = nowMs();
    // A closing client's bytes are read only to be thrown away.
    if (!closing_ && !handleBytes(buffer.data(), static_cast<size_t>(n))) return false;
    if (n < size || (!closing_ && holding())) break;
  }
  return !closing_ || outPos_ == out_.size() || flush();
}

void rcServerContext::Client::resetCommand() {
  context_.bufferedInput_ -= lineBytes_;
  if (lineBytes_ >= LARGE_BUFFER || command_->getParams().length() >= LARGE_BUFFER) {
    command_ = std::make_unique<rcCommand>();
    context_.releasedLarge_ = true;
  } else {
    command_->reset();
  }
  lineBytes_ = 0;
}

void rcServerContext::Client::finish() {
  closing_ = true;
  context_.bufferedInput_ -= stash_.size();
  std::string().swap(stash_);
}

bool rcServerContext::Client::refuse(uint64_t limit) {
  resetCommand();
  finish();
  char text[96];
  std::snprintf(text, sizeof text, "Request too large (limit %llu bytes)",
                static_cast<unsigned long long>(limit));
  static CoLogLimiter refused("Requests refused");
  const std::string peer = peerText(*connection_);
  if (refused.admit(CoMsg::LEVEL_NOTICE, peer)) CO_POST_NOTICE("Client %s: %s", peer.c_str(), text);
  std::string line;
  rcResult::serialize(rcResult::ERROR, text, line);
  return queueReply(line);
}

bool rcServerContext::Client::handleBytes(const char* data, size_t n) {
  const Limits& limits = context_.limits_;
  size_t pos = 0;
  while (pos < n && !closing_) {
    if (holding()) {
      stash_.append(data + pos, n - pos);
      context_.bufferedInput_ += n - pos;
      return true;
    }
    bool complete = false;
    const size_t taken = command_->parse(data + pos, n - pos, complete);
    pos += taken;
    const uint64_t added = complete ? taken - 1 : taken;
    lineBytes_ += added;
    context_.bufferedInput_ += added;
    if (lineBytes_ > limits.maxRequestBytes) return refuse(limits.maxRequestBytes);
    if (context_.bufferedInput_ > limits.maxBufferedInputBytes)
      return refuse(limits.maxBufferedInputBytes);
    if (!complete) break;
    // Held from before the call: a delayed method may answer within it.
    delayed_ = command_->isAsync() ? Delayed::SILENT : Delayed::REPLY;
    context_.processCommand(*command_, *this);
    const bool delayed = method_ != nullptr && method_->getMethodType() != rcMethod::IMMEDIATE;
    if (!delayed) delayed_ = Delayed::NONE;
    // Until the reply is out the socket is not read, as behind pending output.
    if (delayed_ != Delayed::NONE) watch(EVENT_EXCEPTION);
    const bool answered = command_->isAsync() || delayed || queueReply(context_.replyLine());
    context_.current_ = nullptr;
    if (!answered) return false;
    resetCommand();
    if (!info_.isValid()) {
      CO_POST_ERROR("Invalid client info, breaking connection");
      finish();
      if (outPos_ == out_.size()) return flush();
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

// A listening socket on one address, feeding the context's clients.
class rcServerContext::Listener : public CoIoTcpServerHandler {
 public:
  Listener(rcServerContext& context, const std::string& address, int port)
      : CoIoTcpServerHandler(address, port, 0, 0), context_(context), address_(address) {}
  bool handleRead() override {
    context_.accept(*this);
    return true;
  }
  bool handleException() override { return true; }
  bool handleConnection(CoIoTcpDescriptor* connection) override {
    return context_.handleConnection(connection);
  }
  int port() const { return getPort(); }
  const std::string& address() const { return address_; }

 private:
  rcServerContext& context_;
  std::string address_;
};

rcServerContext::rcServerContext(const std::vector<std::string>& addresses, int port,
                                 bool optionalIPv6)
    : CoIoTcpServerHandler(0, 0, 0) {
  std::string error = "no address to listen on";
  if (!openListeners(addresses, port, optionalIPv6, listeners_, error) || listeners_.empty()) {
    CO_POST_ERROR("Unable to set-up port %d to accept connections: %s", port, error.c_str());
    return;
  }
  valid_ = true;
  rcSysCalls::registerSystemMethods(*this);
  for (auto& listener : listeners_) registerIOHandler(listener.get());
}

bool rcServerContext::openListeners(const std::vector<std::string>& addresses, int port,
                                    bool optionalIPv6,
                                    std::vector<std::unique_ptr<Listener>>& opened,
                                    std::string& error) {
  for (const std::string& address : addresses) {
    auto listener = std::make_unique<Listener>(*this, address, port > 0 ? port : -1);
    if (!listener->descriptor()->isValid()) {
      const std::string why = listener->descriptor()->lastError();
      if (optionalIPv6 && address.find(':') != std::string::npos) {
        CO_POST_WARNING("Not listening on %s: %s", address.c_str(), why.c_str());
        continue;
      }
      error = address + ": " + why;
      return false;
    }
    if (port <= 0) port = listener->port();
    opened.push_back(std::move(listener));
  }
  return true;
}

bool rcServerContext::setListenAddresses(const std::vector<std::string>& addresses,
                                         bool optionalIPv6, std::string& error) {
  const auto listening = [&](const std::string& address) {
    return std::any_of(listeners_.begin(), listeners_.end(),
                       [&](const auto& l) { return l->address() == address; });
  };
  std::vector<std::string> wanted;
  for (const std::string& address : addresses)
    if (!listening(address)) wanted.push_back(address);
  std::vector<std::unique_ptr<Listener>> opened;
  if (!openListeners(wanted, getPort(), optionalIPv6, opened, error)) return false;
  for (auto it = listeners_.begin(); it != listeners_.end();) {
    if (std::find(addresses.begin(), addresses.end(), (*it)->address()) != addresses.end()) {
      ++it;
      continue;
    }
    unregisterIOHandler(it->get());
    it = listeners_.erase(it);
  }
  for (auto& listener : opened) {
    registerIOHandler(listener.get());
    listeners_.push_back(std::move(listener));
  }
  if (!listeners_.empty()) return true;
  error = "no address to listen on";
  return false;
}

int rcServerContext::getPort() const {
  if (CoIoTcpServerHandler::descriptor()->isValid() || listeners_.empty())
    return CoIoTcpServerHandler::getPort();
  return listeners_.front()->port();
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
  for (auto& listener : listeners_) unregisterIOHandler(listener.get());
}

bool rcServerContext::login(const rcConnectionInfo&) {
  return true;
}

bool rcServerContext::allowPeer(const std::string&) {
  return true;
}

// A failed accept (a client that gave up, too many open files) must not
// take the listener out of the loop: the server keeps accepting.
bool rcServerContext::handleRead() {
  accept(*this);
  return true;
}

void rcServerContext::accept(CoIoTcpServerHandler& listener) {
  for (int i = 0; i < ACCEPTS_PER_ROUND && listener.CoIoTcpServerHandler::handleRead(); ++i) {
  }
  if (!listener.acceptStarved()) return;
  static CoLogLimiter starved("Accepts paused");
  if (starved.admit(CoMsg::LEVEL_WARN, "accept"))
    CO_POST_WARNING("Out of descriptors: not accepting connections for %d ms",
                    static_cast<int>(ACCEPT_PAUSE_MS));
  listener.pauseAccepting(true);
  updateIOHandler(&listener);
  if (acceptResumeMs_ < 0) acceptResumeMs_ = nowMs() + ACCEPT_PAUSE_MS;
}

void rcServerContext::resumeAccepting() {
  acceptResumeMs_ = -1;
  CoIoTcpServerHandler& base = *this;
  base.pauseAccepting(false);
  updateIOHandler(&base);
  for (auto& listener : listeners_) {
    listener->pauseAccepting(false);
    updateIOHandler(listener.get());
  }
}

bool rcServerContext::handleConnection(CoIoTcpDescriptor* connection) {
  std::unique_ptr<CoIoTcpDescriptor> taken(connection);
  std::string peer;
  taken->getPeerIP(peer);
  peer = CoIoTcpDescriptor::skipIPv4InIPv6Prefix(peer.c_str());
  char text[64] = "Access denied";
  const bool allowed = allowPeer(peer);
  if (allowed && clients_.size() >= limits_.maxClients)
    std::snprintf(text, sizeof text, "Too many clients (limit %u)", limits_.maxClients);
  else if (allowed)
    text[0] = '\0';
  if (text[0] != '\0') {
    // A refused peer may come back at once, again and again.
    static CoLogLimiter refused("Connections refused");
    if (refused.admit(CoMsg::LEVEL_NOTICE, peer))
      CO_POST_NOTICE("Connection from %s refused: %s", peer.c_str(), text);
    refuseConnection(std::move(taken), text);
    return true;
  }
  Client* client = new Client(taken.release(), *this);
  clients_.insert(client);
  registerIOHandler(client);
  waitIdle(client);
  return true;
}

void rcServerContext::refuseConnection(std::unique_ptr<CoIoTcpDescriptor> connection,
                                       const char* text) {
  std::string line;
  rcResult::serialize(rcResult::ERROR, text, line);
  // What the client sent already would turn the close into a reset that
  // can overtake the line.
  char discard[4096];
  while (connection->nonBlockingRead(discard, sizeof discard) > 0) {
  }
  connection->nonBlockingWrite(line.data(), static_cast<unsigned>(line.size()));
  CoSocketOps::shutdownWrite(connection->id());
}

void rcServerContext::drop(Client* client) {
  if (clients_.erase(client) == 0) return;
  unregisterIOHandler(client);
  client->connection_->close();
  waiting_.erase(client);
  bufferedInput_ -= client->lineBytes_ + client->stash_.size();
  if (client->out_.capacity() >= LARGE_BUFFER || client->lineBytes_ >= LARGE_BUFFER)
    releasedLarge_ = true;
  // The client may be the one whose callback is running.
  dropped_.emplace_back(client);
}

void rcServerContext::waitIdle(Client* client) {
  const int64_t deadline = client->deadlineMs();
  if (deadline < 0) {
    waiting_.erase(client);
    return;
  }
  waiting_.insert(client);
  watchDeadline(deadline);
}

void rcServerContext::watchDeadline(int64_t deadlineMs) {
  if (deadlineMs >= 0 && (nextDeadlineMs_ < 0 || deadlineMs < nextDeadlineMs_))
    nextDeadlineMs_ = deadlineMs;
}

int rcServerContext::timerWaitMs() {
  int64_t next = nextDeadlineMs_;
  if (acceptResumeMs_ >= 0 && (next < 0 || acceptResumeMs_ < next)) next = acceptResumeMs_;
  if (next < 0) return -1;
  return static_cast<int>(std::clamp<int64_t>(next - nowMs(), 0, INT_MAX));
}

void rcServerContext::onTimers() {
  dropped_.clear();
  const int64_t now = nowMs();
  if (acceptResumeMs_ >= 0 && now >= acceptResumeMs_) resumeAccepting();
  if (nextDeadlineMs_ >= 0 && now >= nextDeadlineMs_) {
    // Deadlines move as clients make progress: the earliest is found again.
    nextDeadlineMs_ = -1;
    std::vector<Client*> expired;
    for (Client* client : waiting_) {
      const int64_t deadline = client->deadlineMs();
      if (deadline >= 0 && deadline <= now)
        expired.push_back(client);
      else
        watchDeadline(deadline);
    }
    for (Client* client : expired) {
      static CoLogLimiter stalled("Clients dropped");
      const bool idle = client->outPos_ == client->out_.size() && client->lingerUntilMs_ < 0;
      const std::string peer = peerText(*client->connection_);
      if (stalled.admit(CoMsg::LEVEL_NOTICE, peer)) {
        if (idle)
          CO_POST_NOTICE("Client %s dropped: it sent nothing for %u ms", peer.c_str(),
                         limits_.idleTimeoutMs);
        else if (client->outPos_ < client->out_.size())
          CO_POST_NOTICE("Client %s dropped: it took no byte of its reply for %u ms", peer.c_str(),
                         limits_.stallTimeoutMs);
      }
      drop(client);
    }
    dropped_.clear();
  }
  if (!releasedLarge_) return;
  releasedLarge_ = false;
  if (released_) released_();
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
  std::lock_guard<std::mutex> lock(objectsMutex_);
  if (objects_.count(id) != 0) {
    lastError_ = "Object '" + std::to_string(id) + "' already registered";
    CO_POST_ERROR("%s", lastError_.c_str());
    return false;
  }
  objects_[id] = object;
  return true;
}

bool rcServerContext::unregisterObject(int id) {
  std::lock_guard<std::mutex> lock(objectsMutex_);
  return objects_.erase(id) != 0;
}

unsigned rcServerContext::getCurrentClientId() const {
  return current_ != nullptr ? current_->getId() : 0;
}

const rcConnectionInfo* rcServerContext::getCurrentConnectionInfo() const {
  return current_ != nullptr ? &current_->info() : nullptr;
}

std::string rcServerContext::getCurrentPeerAddress() const {
  if (current_ == nullptr) return std::string();
  std::string ip;
  current_->connection()->getPeerIP(ip);
  return CoIoTcpDescriptor::skipIPv4InIPv6Prefix(ip.c_str());
}

void rcServerContext::setCurrentConnectionInfo(const rcConnectionInfo& info) {
  if (current_ == nullptr) return;
  rcConnectionInfo& record = current_->info();
  record.setTimestamp(nowSeconds());
  record.setClientInfo(info, current_->connection());
  record.logConnection();
}

void rcServerContext::invalidateCurrentConnectionInfo() {
  if (current_ != nullptr) current_->info().invalidate();
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
  returnFromDelayedCommand(clientId, ok, std::string(value != nullptr ? value : ""));
}

void rcServerContext::returnFromDelayedCommand(unsigned clientId, bool ok, std::string&& value) {
  Client* client = findClient(clientId);
  if (client == nullptr || !client->connection()->isValid()) return;
  const Client::Delayed delayed = client->delayed_;
  client->delayed_ = Client::Delayed::NONE;
  if (delayed == Client::Delayed::SILENT) {
    // An async command's caller reads no reply; its next requests may go on.
    client->flush();
    return;
  }
  current_ = client;
  setResult(ok ? rcResult::OK : rcResult::ERROR, std::move(value));
  current_ = nullptr;
  client->queueReply(replyLine());
}

void rcServerContext::setResult(int status, std::string value) {
  resultStatus_ = status;
  resultValue_ = std::move(value);
}

std::string& rcServerContext::replyLine() {
  replyLine_.clear();
  rcResult::serialize(resultStatus_, resultValue_, replyLine_);
  // A megabyte-sized answer is written once; its copies need not stay.
  if (resultValue_.capacity() >= LARGE_BUFFER) {
    std::string().swap(resultValue_);
    releasedLarge_ = true;
  }
  return replyLine_;
}

void rcServerContext::processCommand(const rcCommand& command, Client& client) {
  current_ = &client;
  const bool async = command.isAsync();
  // Until the client has proved itself only the login is served; the
  // caller closes the connection once the answer is out.
  if (!client.info().isValid() && std::string_view(command.getMethod()) != "_login") {
    client.setMethod(nullptr);
    if (!async) setResult(rcResult::ERROR, "Not logged in");
    return;
  }
  auto found = methods_.find(command.getMethod());
  if (found == methods_.end()) {
    client.setMethod(nullptr);
    if (!async) setResult(rcResult::ERROR, std::string("Unknown method: ") + command.getMethod());
    return;
  }
  const int objectId = std::atoi(command.getObjectId());
  void* object = nullptr;
  if (objectId != 0) {
    bool known = false;
    {
      std::lock_guard<std::mutex> lock(objectsMutex_);
      auto target = objects_.find(objectId);
      known = target != objects_.end();
      if (known) object = target->second;
    }
    if (!known) {
      client.setMethod(nullptr);
      if (!async) setResult(rcResult::ERROR, "Invalid Object: " + std::to_string(objectId));
      return;
    }
  }
  const rcMethod& method = found->second;
  client.setMethod(&method);
  std::string text;
  const bool ok = method.callMethod(object, command.getParams().value(), text);
  if (!async && method.getMethodType() == rcMethod::IMMEDIATE)
    setResult(ok ? rcResult::OK : rcResult::ERROR, std::move(text));
}

}  // namespace Kestrix

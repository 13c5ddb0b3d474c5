#pragma once
// The server end of the remote-call protocol: listens on a TCP port,
// accepts clients, parses their request lines, dispatches each to a
// registered method (on a registered object, or none for id 0) and writes
// the reply line. Every context serves the system methods "_ping" and
// "_login"; a client must log in before anything else, unless
// QV_RC_CONNINFO gives it a valid record: until then any other request is
// answered "Not logged in" and the connection closed, so nothing a peer
// that has not proved itself sends reaches a method.
//
// Single-threaded: the thread that runs the loop (run() or callIOHandlers)
// serves every client, one command at a time. Replies never wait for a
// client: what its socket does not take waits in its output buffer, and the
// client's further requests wait unread until that buffer is empty and a
// delayed method has answered (returnFromDelayedCommand, on the loop's
// thread), so replies keep their order. Limits bound what one client can cost; a client
// past one is told why where the protocol allows it, and dropped.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "common/base/rcApi/rcAppContext.h"
#include "common/base/rcApi/rcCommand.h"
#include "common/base/rcApi/rcConnectionInfo.h"
#include "common/base/rcApi/rcLoginProof.h"
#include "common/base/rcApi/rcMethod.h"
#include "common/base/rcApi/rcResult.h"
#include "common/base/tcp/CoIoTcpServerHandler.h"

namespace Kestrix {

class rcServerContext : public rcAppContext, private CoIoTcpServerHandler {
 public:
  struct Limits {
    uint64_t maxRequestBytes = uint64_t{512} << 20;      // one request line
    uint64_t maxPendingOutputBytes = uint64_t{1} << 30;  // unsent replies of one client
    uint64_t maxBufferedInputBytes = uint64_t{2} << 30;  // unfinished requests of all clients
    unsigned maxClients = 10000;
    unsigned stallTimeoutMs = 30000;  // a client that takes no byte of its reply for this long goes
    unsigned idleTimeoutMs = 0;       // a client that sends nothing for this long goes; 0: never
  };

  // One connected client, served by the loop.
  class Client : public CoIoHandler {
   public:
    Client(CoIoTcpDescriptor* connection, rcServerContext& context);
    ~Client() override;

    CoIoDescriptor* descriptor() override { return connection_.get(); }
    const CoIoDescriptor* descriptor() const override { return connection_.get(); }
    bool handleRead() override;
    bool handleWrite() override;
    bool handleException() override;

    unsigned getId() const { return static_cast<unsigned>(info_.getSerial()); }
    rcConnectionInfo& info() { return info_; }
    CoIoTcpDescriptor* connection() const { return connection_.get(); }
    const rcMethod* method() const { return method_; }
    void setMethod(const rcMethod* method) { method_ = method; }
    // Sends one serialised reply, keeping what the socket does not take
    // (line's buffer may be taken over); false when the client was dropped.
    bool queueReply(std::string& line);

   private:
    friend class rcServerContext;

    // Feeds read bytes to the request parser and answers each whole line.
    bool handleBytes(const char* data, size_t n);
    bool flush();
    // Answers "Request too large", forgets the request, then closes.
    bool refuse(uint64_t limit);
    // Reads no more requests; the connection closes once the replies are out.
    void finish();
    void resetCommand();
    void watch(int events);
    // The time by which the client must take a byte (or, closing, go); -1: none.
    int64_t deadlineMs() const;
    // Further requests wait: a reply is pending, or a delayed one to come.
    bool holding() const { return outPos_ < out_.size() || delayed_ != Delayed::NONE; }

    std::unique_ptr<CoIoTcpDescriptor> connection_;
    rcServerContext& context_;
    std::unique_ptr<rcCommand> command_;
    rcConnectionInfo info_;
    const rcMethod* method_ = nullptr;
    uint64_t lineBytes_ = 0;  // of the unfinished request line, on the wire
    std::string stash_;       // read, but waiting for the output to drain
    // A delayed command has not answered yet: with a reply to come (REPLY),
    // or none for an async command (SILENT).
    enum class Delayed { NONE, REPLY, SILENT };
    Delayed delayed_ = Delayed::NONE;
    std::string out_;
    size_t outPos_ = 0;
    int64_t progressMs_ = 0;  // when the client last took a byte
    int64_t inputMs_ = 0;     // when the client last sent a byte
    int64_t lingerUntilMs_ = -1;
    bool closing_ = false;
  };

  // Listens on port (0: a port the system chooses).
  explicit rcServerContext(int port);
  // Listens on the first free port of [firstPort, lastPort].
  rcServerContext(int firstPort, int lastPort);
  // Listens on each of the numeric addresses, on port (0: a port the system
  // chooses for the first, then the same for the others). With
  // optionalIPv6, an IPv6 address that cannot be had is only warned of.
  rcServerContext(const std::vector<std::string>& addresses, int port, bool optionalIPv6);
  ~rcServerContext() override;

  // Decides whether a client with a valid record may stay.
  virtual bool login(const rcConnectionInfo& info);
  // Decides whether a peer (its numeric address) may connect at all; one
  // refused gets "Access denied" and is closed.
  virtual bool allowPeer(const std::string& address);

  bool isValid() const { return valid_; }
  int getPort() const;
  // Listens on these addresses instead (the constructor's kind of context
  // only): new ones are opened first, and when one fails nothing changes.
  bool setListenAddresses(const std::vector<std::string>& addresses, bool optionalIPv6,
                          std::string& error);

  bool registerMethod(const rcMethod& method);
  bool registerObject(int id, void* object);
  bool unregisterObject(int id);
  const std::string& lastError() const { return lastError_; }
  // With a proof checker, a login must prove its secret (rcLoginProof);
  // null: the checksum alone admits a client.
  void setLoginProof(std::shared_ptr<rcLoginProof> proof) { proof_ = std::move(proof); }
  rcLoginProof* loginProof() const { return proof_.get(); }
  // Whether QV_RC_CONNINFO may log clients in without a "_login" (it may
  // by default).
  void setPresetLogin(bool allowed) { presetLogin_ = allowed; }

  unsigned getCurrentClientId() const;
  const rcConnectionInfo* getCurrentConnectionInfo() const;
  // The numeric address of the current client's socket peer (an IPv4 peer
  // of a dual-stack listener without its "::ffff:" prefix); empty without a
  // current client. Unlike the login record's address, no peer can choose it.
  std::string getCurrentPeerAddress() const;
  void setCurrentConnectionInfo(const rcConnectionInfo& info);
  // The current client's login was refused: it is closed after the answer.
  void invalidateCurrentConnectionInfo();
  bool isIdValid(unsigned id) const;
  bool isLoginCommand(const rcCommand& command) const;
  bool ping() const { return true; }
  // Sends the reply of a delayed method to the client that asked (none to
  // an async command), and lets the client's next requests go on.
  void returnFromDelayedCommand(unsigned clientId, bool ok, const char* value);
  void returnFromDelayedCommand(unsigned clientId, bool ok, std::string&& value);
  int getNbClients() const { return static_cast<int>(clients_.size()); }

  // Set before clients come: the idle time applies to those that come after.
  void setLimits(const Limits& limits) { limits_ = limits; }
  const Limits& getLimits() const { return limits_; }
  // Called after a round in which a large request or reply ended, so that a
  // program can give the freed memory back to the system.
  void setLargeBufferReleasedHook(std::function<void()> hook) { released_ = std::move(hook); }

 protected:
  void processCommand(const rcCommand& command, Client& client);
  void setResult(int status, std::string value);
  // The reply line of the current result.
  std::string& replyLine();
  // A subclass with deadlines of its own calls these from its overrides.
  int timerWaitMs() override;
  void onTimers() override;

 private:
  friend class Client;

  void setUp(int firstPort, int lastPort);
  bool handleRead() override;
  bool handleException() override { return true; }
  bool handleConnection(CoIoTcpDescriptor* connection) override;
  // Answers one error line to a connection that is not taken, and closes it.
  static void refuseConnection(std::unique_ptr<CoIoTcpDescriptor> connection, const char* text);
  class Listener;
  bool openListeners(const std::vector<std::string>& addresses, int port, bool optionalIPv6,
                     std::vector<std::unique_ptr<Listener>>& opened, std::string& error);
  // Accepts a burst on listener; pauses it when descriptors run out.
  void accept(CoIoTcpServerHandler& listener);
  void resumeAccepting();
  // Takes the client out of the loop; it is deleted after the round.
  void drop(Client* client);
  void watchDeadline(int64_t deadlineMs);
  // Keeps the client among those with a deadline while it has one.
  void waitIdle(Client* client);
  Client* findClient(unsigned id) const;

  Limits limits_;
  std::unordered_set<Client*> clients_;
  std::unordered_set<Client*> waiting_;  // with a deadline: pending output, or closing
  std::vector<std::unique_ptr<Client>> dropped_;
  int64_t nextDeadlineMs_ = -1;
  int64_t acceptResumeMs_ = -1;  // while accepting is paused
  bool presetLogin_ = true;
  uint64_t bufferedInput_ = 0;
  // One buffer for every client's reads: the loop may run on a thread with
  // a small stack.
  std::vector<char> readBuffer_ = std::vector<char>(65536);
  bool releasedLarge_ = false;
  std::function<void()> released_;
  std::map<std::string, rcMethod> methods_;
  // Objects may come and go on other threads than the loop's.
  std::mutex objectsMutex_;
  std::map<int, void*> objects_;
  // The current result: status and value of the command being answered.
  int resultStatus_ = rcResult::OK;
  std::string resultValue_;
  Client* current_ = nullptr;
  std::shared_ptr<rcLoginProof> proof_;
  std::vector<std::unique_ptr<Listener>> listeners_;  // besides the base one
  bool valid_ = false;
  std::string lastError_;
  std::string replyLine_;
};

}  // namespace Kestrix

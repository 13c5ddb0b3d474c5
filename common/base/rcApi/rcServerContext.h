#pragma once
// The server end of the remote-call protocol: listens on a TCP port,
// accepts clients, parses their request lines, dispatches each to a
// registered method (on a registered object, or none for id 0) and writes
// the reply line. Every context serves the system methods "_ping" and
// "_login"; a client must log in before anything else, unless
// QV_RC_CONNINFO gives it a valid record.
//
// Single-threaded: the thread that runs the loop (run() or callIOHandlers)
// serves every client, one command at a time. Replies are written with a
// bounded wait, so a client that stops reading is dropped instead of
// holding up the others.

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/base/rcApi/rcAppContext.h"
#include "common/base/rcApi/rcCommand.h"
#include "common/base/rcApi/rcConnectionInfo.h"
#include "common/base/rcApi/rcMethod.h"
#include "common/base/rcApi/rcResult.h"
#include "common/base/tcp/CoIoTcpServerHandler.h"

namespace Kestrix {

class rcServerContext : public rcAppContext, private CoIoTcpServerHandler {
 public:
  // One connected client, served by the loop.
  class Client : public CoIoHandler {
   public:
    Client(CoIoTcpDescriptor* connection, rcServerContext& context);
    ~Client() override;

    CoIoDescriptor* descriptor() override { return connection_.get(); }
    const CoIoDescriptor* descriptor() const override { return connection_.get(); }
    bool handleRead() override;
    bool handleException() override;

    unsigned getId() const { return static_cast<unsigned>(info_.getSerial()); }
    rcConnectionInfo& info() { return info_; }
    CoIoTcpDescriptor* connection() const { return connection_.get(); }
    const rcMethod* method() const { return method_; }
    void setMethod(const rcMethod* method) { method_ = method; }
    // Writes one serialised reply; false (connection closed) when it fails.
    bool writeReply(const std::string& line);

   private:
    // Feeds read bytes to the request parser and answers each whole line.
    bool handleBytes(const char* data, size_t n);

    std::unique_ptr<CoIoTcpDescriptor> connection_;
    rcServerContext& context_;
    rcCommand command_;
    rcConnectionInfo info_;
    const rcMethod* method_ = nullptr;
  };

  // Listens on port (0: a port the system chooses).
  explicit rcServerContext(int port);
  // Listens on the first free port of [firstPort, lastPort].
  rcServerContext(int firstPort, int lastPort);
  ~rcServerContext() override;

  // Decides whether a client with a valid record may stay.
  virtual bool login(const rcConnectionInfo& info);

  bool isValid() const { return valid_; }
  int getPort() const { return CoIoTcpServerHandler::getPort(); }

  bool registerMethod(const rcMethod& method);
  bool registerObject(int id, void* object);
  bool unregisterObject(int id);
  const std::string& lastError() const { return lastError_; }

  unsigned getCurrentClientId() const;
  const rcConnectionInfo* getCurrentConnectionInfo() const;
  void setCurrentConnectionInfo(const rcConnectionInfo& info);
  bool isIdValid(unsigned id) const;
  bool isLoginCommand(const rcCommand& command) const;
  bool ping() const { return true; }
  // Sends the reply of a delayed method to the client that asked.
  void returnFromDelayedCommand(unsigned clientId, bool ok, const char* value);
  int getNbClients() const { return static_cast<int>(clients_.size()); }

  // The longest a reply write may wait for a client that does not read.
  static constexpr unsigned REPLY_WRITE_TIMEOUT_MS = 5000;

 protected:
  void processCommand(const rcCommand& command, Client& client);
  void setResult(int status, std::string value);
  // The reply line of the current result.
  const std::string& replyLine();

 private:
  friend class Client;

  void setUp(int firstPort, int lastPort);
  bool handleRead() override;
  bool handleException() override { return true; }
  bool handleConnection(CoIoTcpDescriptor* connection) override;
  void dropInvalidClients();
  Client* findClient(unsigned id) const;

  std::vector<Client*> clients_;
  std::map<std::string, rcMethod> methods_;
  std::map<int, void*> objects_;
  // The current result: status and value of the command being answered.
  int resultStatus_ = rcResult::OK;
  std::string resultValue_;
  Client* current_ = nullptr;
  bool valid_ = false;
  std::string lastError_;
  std::string replyLine_;
};

}  // namespace Kestrix

#pragma once
// The base of every byte stream the library reads and writes. A descriptor
// owns one system handle (a socket here) and turns a subclass's two
// non-blocking primitives into blocking reads and writes, reads and writes
// with a time-out, a line reader and a liveness probe. No I/O failure
// throws: an operation returns -1 (or 0 where stated) and leaves the reason
// in lastError(). The blocking loops wake at least once a second, so stop()
// from another thread ends them quickly.
//
// CoIoHandler is how a server-side event loop drives a descriptor;
// CoIoMsgQDescriptor is a descriptor named by a path.

#include <atomic>
#include <string>
#include <utility>

namespace Kestrix {

class CoIoDescriptor {
 public:
  // Each cause stands for one socket error, whose text becomes the last error.
  enum IoError {
    IO_NO_ERROR = 0,
    IO_SYSTEM_ERROR = 1,  // whatever the socket library reports now
    IO_INTERRUPTED = 2,
    IO_WOULD_BLOCK = 3,
    IO_NOT_CONNECTED = 4,
    IO_CONNECTION_ABORTED = 5,
    IO_CONNECTION_RESET = 6,
    IO_TIMED_OUT = 7,
    IO_CONNECTION_REFUSED = 8,
    IO_HOST_NOT_FOUND = 9,
  };

  CoIoDescriptor() = default;
  explicit CoIoDescriptor(int id) : id_(id) {}
  // Moving takes the handle, the text and the stop flag; the source is left
  // without a handle. The target must not hold an open handle.
  CoIoDescriptor(CoIoDescriptor&& other) noexcept;
  CoIoDescriptor& operator=(CoIoDescriptor&& other) noexcept;
  CoIoDescriptor(const CoIoDescriptor&) = delete;
  CoIoDescriptor& operator=(const CoIoDescriptor&) = delete;
  virtual ~CoIoDescriptor();

  // One write: the count taken, 0 when it would block, -1 on failure.
  virtual int nonBlockingWrite(const void* buf, unsigned int size);
  // All of buf, or -1.
  virtual int blockingWrite(const void* buf, unsigned int size);
  // One read: the count, 0 when nothing is there, -1 on failure or when the
  // peer has closed.
  virtual int nonBlockingRead(void* buf, unsigned int size);
  // Exactly size bytes, or -1.
  virtual int blockingRead(void* buf, unsigned int size);
  // One read or write once the handle is ready within timeoutMs; 0 when it
  // did not become ready.
  virtual int nonBlockingReadSelect(void* buf, unsigned int size, unsigned int timeoutMs);
  virtual int nonBlockingWriteSelect(const void* buf, unsigned int size, unsigned int timeoutMs);
  // False once the peer has closed or the handle has failed.
  virtual bool isActive();
  // Numeric addresses of the local and the far end; every concrete
  // descriptor answers these.
  virtual void getSocketIP(std::string& ip) const;
  virtual void getPeerIP(std::string& ip) const;

  int id() const { return id_; }
  bool isValid() const { return id_ != -1; }
  bool ioStopped() const { return stopped_; }
  const std::string& lastError() const { return lastError_; }

  // Asks a blocking loop in another thread to give up.
  void stop() { stopped_ = true; }
  // True when closed (or not open); the handle is gone either way.
  bool close();
  void setLastError(const std::string& text) { lastError_ = text; }

  // The socket library's current error as a cause.
  static IoError getIoError();
  // The platform's text for a cause, into buf (always terminated).
  static void getIoError(IoError error, char* buf, int size);

  // One line without its line feed, into buff (terminated); the count of
  // bytes stored. A line longer than size - 1 keeps its first size - 1 bytes
  // and is consumed up to its line feed. 0 when the stream fails first.
  int readLine(char* buff, int size);
  // True when all of str (without its terminator) was written.
  bool writeStr(const char* str);

 protected:
  // Sets the text for the cause (for IO_SYSTEM_ERROR: of the current error)
  // and returns it.
  const char* setLastError(IoError error);
  void setId(int id) { id_ = id; }
  void setSendBufferSizeSocketOption(int size);
  void setReceiveBufferSizeSocketOption(int size);

 private:
  // Waits up to a second at a time until the handle is readable or stop()
  // is called: 1 ready, 0 stopped, -1 failed (last error set).
  int waitReadable();

  int id_ = -1;
  std::string lastError_;
  std::atomic<bool> stopped_{false};
};

// The interface through which a server-side event loop drives a descriptor.
class CoIoHandler {
 public:
  explicit CoIoHandler(int handlerType) : handlerType_(handlerType) {}
  CoIoHandler(const CoIoHandler& other) = default;
  CoIoHandler& operator=(const CoIoHandler&) = delete;

  virtual CoIoDescriptor* descriptor() = 0;
  virtual const CoIoDescriptor* descriptor() const = 0;
  // Called by the loop when the descriptor is readable (resp. writable, or
  // has an exceptional condition); false asks the loop to drop the handler.
  virtual bool handleRead() { return true; }
  virtual bool handleWrite() { return true; }
  virtual bool handleException() { return true; }
  virtual ~CoIoHandler() = default;

  int handlerType() const { return handlerType_; }

 protected:
  // The loop learns of a change from its owner (the loop's update call) or
  // after the handler's own callback returns.
  void setHandlerType(int type) { handlerType_ = type; }

 private:
  int handlerType_;
};

// A descriptor named by a path (a local message queue); it is always local.
class CoIoMsgQDescriptor : public CoIoDescriptor {
 public:
  explicit CoIoMsgQDescriptor(std::string path, int id = -1)
      : CoIoDescriptor(id), path_(std::move(path)) {}

  const std::string& getPath() const { return path_; }
  void getSocketIP(std::string& ip) const override { ip = "127.0.0.1"; }
  void getPeerIP(std::string& ip) const override { ip = "127.0.0.1"; }

 private:
  std::string path_;
};

}  // namespace Kestrix

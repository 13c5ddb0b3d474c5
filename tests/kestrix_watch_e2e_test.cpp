// End-to-end: kestrix_watch run as a user would against kestrixd (reloads,
// a restart, signals, bad use), and the event connection that every run of
// kestrix_translate_path makes and withdraws, seen by a recording server.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/base/rcApi/rcAttrStream.h"
#include "common/base/rcApi/rcRemoteCallTestUtil.h"
#include "kestrix/client/api/KestrixDaemonInfo.h"
#include "tests/KestrixdProcess.h"
#include "tests/ProcessRunner.h"

namespace {

using namespace std::chrono_literals;
using KestrixTest::readFile;
using KestrixTest::ServerProcess;

const std::string kWatch = KESTRIX_WATCH_BINARY;

const char* const kRules =
    "[Group farm]\nOsType = Linux\nHosts = fs, r1\n"
    "[HostTranslation a]\nsrcHost = fs\nsrcPath = /data\ndstHost = r1\ndstPath = /mnt\n";

// kestrix_watch in the background, its output in a file.
class Watch {
 public:
  explicit Watch(const std::string& host) {
    char name[] = "/tmp/kestrix-watch-XXXXXX";
    const int fd = ::mkstemp(name);
    path_ = name;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(fd, 1);
      ::dup2(fd, 2);
      ::execl(kWatch.c_str(), kWatch.c_str(), "-h", host.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(fd);
  }
  ~Watch() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::unlink(path_.c_str());
  }
  std::string output() const { return readFile(path_); }
  // Waits until the output holds text n times.
  bool waitFor(const std::string& text, int n = 1, std::chrono::milliseconds limit = 10s) const {
    for (auto start = std::chrono::steady_clock::now();
         std::chrono::steady_clock::now() - start < limit; std::this_thread::sleep_for(20ms)) {
      const std::string out = output();
      int found = 0;
      for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1))
        ++found;
      if (found >= n) return true;
    }
    return false;
  }
  // Sends sig; the exit code, -1 when it did not exit within 5 s.
  int stop(int sig) {
    ::kill(pid_, sig);
    for (int i = 0; i < 500; ++i, std::this_thread::sleep_for(10ms)) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
    }
    return -1;
  }

 private:
  std::string path_;
  pid_t pid_ = -1;
};

TEST(KestrixWatch, SeesReloadsAcrossARestartUntilInterrupted) {
  std::optional<ServerProcess> server(std::in_place, kRules);
  const int port = server->port;
  Watch watch(server->address());
  ASSERT_TRUE(watch.waitFor("-- watching node 'kestrixd:rules'")) << watch.output();
  KestrixTest::writeFile(server->rulesPath,
                         std::string(kRules) + "[Group edit]\nOsType = WindowsNT\nHosts = e1\n");
  server->signal(SIGHUP);
  ASSERT_TRUE(watch.waitFor(" kestrixd:rules Modified RulesFile=" + server->rulesPath +
                            " Groups=2 HostTranslations=1 OsTypeTranslations=0"))
      << watch.output();

  server.reset();
  ASSERT_TRUE(watch.waitFor("-- lost server '127.0.0.1:" + std::to_string(port) + "'"))
      << watch.output();
  server.emplace(kRules, port);
  ASSERT_TRUE(watch.waitFor("-- server '127.0.0.1:" + std::to_string(port) + "' is back"))
      << watch.output();
  server->signal(SIGHUP);
  ASSERT_TRUE(watch.waitFor(" Groups=1 HostTranslations=1", 1)) << watch.output();
  EXPECT_EQ(watch.stop(SIGINT), 0);
  const std::string out = watch.output();
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 5) << out;
}

TEST(KestrixWatch, AnUnreachableServerEndsWithOneATimeOutWithZero) {
  const std::string nobody = "127.0.0.1:" + std::to_string(KestrixTest::freePort());
  const KestrixTest::RunResult down = KestrixTest::runProgram({kWatch, "-h", nobody});
  EXPECT_EQ(down.exitCode, 1);
  EXPECT_EQ(down.out, "");
  EXPECT_EQ(down.err, "Unable to watch node 'kestrixd:rules' on server '" + nobody +
                          "': Connection refused\n");
  ServerProcess server(kRules);
  const KestrixTest::RunResult timed =
      KestrixTest::runProgram({kWatch, "-h", server.address(), "-t", "1"}, 5000);  // else -1
  EXPECT_EQ(timed.exitCode, 0) << timed.err;
  EXPECT_EQ(timed.out, "");  // no event came: the status line is not data
  EXPECT_NE(timed.err.find("-- watching node 'kestrixd:rules'"), std::string::npos) << timed.err;
}

// Answers "TranslatePaths" (and "GetDaemonInfo") and records what the event connection asks.
class RecordingServer : public Kestrix::rcServerContext {
 public:
  RecordingServer() : rcServerContext(0) {
    using Kestrix::rcMethod;
    static const Kestrix::rcParam::Info text[] = {{&Kestrix::rcParamString::getType(), "params"},
                                                  {nullptr, nullptr}};
    for (const char* name : {"TranslatePaths", "GetDaemonInfo"})
      registerMethod(rcMethod(*this, name, answer, Kestrix::rcParamString::getType(), text));
    for (const char* name : {"RegisterEvents", "UnregisterEvents"})
      registerMethod(rcMethod(*this, name, record, Kestrix::rcParamVoid::getType(), text));
    thread_.emplace(*this);
  }
  // Waits up to 2 s for n of them: a withdrawal awaits no reply.
  static std::vector<std::string> requests(size_t n) {
    for (int i = 0; i < 200 && size() < n; ++i) std::this_thread::sleep_for(10ms);
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }
  static size_t size() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_.size();
  }

 private:
  static bool answer(void*, const Kestrix::rcMethod& method, const Kestrix::rcParam::Array&,
                     Kestrix::rcParam& result) {
    KestrixDaemonInfo self;  // the command needs only its display name
    self.setDisplayName("fs");
    result.setStringValue(std::string(method.getName()) == "TranslatePaths"
                              ? "/mnt/x"
                              : self.toAttrStream().getStreamStr());
    return true;
  }
  static bool record(void*, const Kestrix::rcMethod& method, const Kestrix::rcParam::Array& args,
                     Kestrix::rcParam&) {
    const Kestrix::rcAttrStream stream(args[0].stringValue());
    int port = 0;
    std::string subject = "?";
    stream.getIntValue("Port", port);
    stream.getStringValue("Subject", subject);
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(std::string(method.getName()) + " [" + subject + "]" +
                        (port > 0 ? "" : " without a monitor port"));
    return true;
  }
  static inline std::mutex mutex_;
  static inline std::vector<std::string> requests_;
  std::optional<Kestrix::rcTest::ServerThread> thread_;
};

TEST(TranslatePathLifecycle, EveryRunWithdrawsItsEventSubscriptionsTwice) {
  RecordingServer server;
  const std::string address = "127.0.0.1:" + std::to_string(server.getPort());
  const KestrixTest::RunResult run =
      KestrixTest::runProgram({KESTRIX_TRANSLATE_PATH_BINARY, "-h", address, "-p", "/data/x"});
  EXPECT_EQ(run.out, "/mnt/x\n");
  EXPECT_EQ(run.exitCode, 0);
  // Once when the first connection is made, once when the handle goes.
  EXPECT_EQ(RecordingServer::requests(2),
            (std::vector<std::string>{"UnregisterEvents []", "UnregisterEvents []"}));
}

}  // namespace

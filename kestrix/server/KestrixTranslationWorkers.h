#pragma once
// kestrixd's path translation beside its event loop. One "TranslatePaths"
// may carry a million paths; translated on the loop it would hold up every
// other client for seconds. The loop hands each request, with the rules it
// was asked under, to a few worker threads and carries on (a short one it
// translates at once); an answer waits in a queue until the loop takes it
// (notify, called on the worker, wakes the loop). The rules are an
// immutable snapshot, so a reload never changes them under a running
// translation. Stopping is prompt: a worker looks at the stop flag between
// chunks of paths, and answers not yet taken are dropped.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kestrix/server/KestrixTranslationRules.h"

namespace Kestrix {

class KestrixTranslationWorkers {
 public:
  static constexpr unsigned THREADS = 2;
  // Paths between two looks at the stop flag: a few milliseconds of work.
  static constexpr size_t CHUNK_PATHS = 4096;
  // A path list this short takes less time to translate than the two thread
  // switches a worker adds to its reply: it is translated by the caller.
  static constexpr size_t INLINE_BYTES = size_t{16} << 10;

  struct Job {
    unsigned clientId;
    std::shared_ptr<const KestrixTranslationRules::Index> rules;  // the request points into it
    KestrixTranslationRules::Request request;
    // The request's parameter text, and where its path list starts in it:
    // the list is empty, or "p1","p2",...,"pn" in outer quotes.
    std::string text;
    size_t listPos;
  };
  struct Answer {
    unsigned clientId = 0;
    bool ok = false;
    std::string value;
  };

  explicit KestrixTranslationWorkers(std::function<void()> notify, unsigned threads = THREADS);
  KestrixTranslationWorkers(const KestrixTranslationWorkers&) = delete;
  KestrixTranslationWorkers& operator=(const KestrixTranslationWorkers&) = delete;
  // Stops the workers, breaking off what they translate, and joins them.
  ~KestrixTranslationWorkers();

  // Translates the job, on a worker unless it is short; either way the
  // answer comes through take().
  void submit(Job job);
  // Queues an answer the loop already has (a request it refused), so that
  // every answer reaches the client the same way.
  void answer(Answer answer);
  // The answers ready so far, oldest first.
  std::vector<Answer> take();
  // The request text held by jobs queued or running: what the loop no
  // longer counts as a client's input, and must bound all the same.
  uint64_t pendingBytes() const { return pendingBytes_; }

  // The reply to a whole request: the paths' translations joined by ',',
  // or the error of the first path without one. False when stop was set
  // before the end.
  static bool translate(Job& job, const std::atomic<bool>& stop, Answer& answer);

 private:
  void work();

  std::function<void()> notify_;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> pendingBytes_{0};
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job> jobs_;
  std::vector<Answer> answers_;
  std::vector<std::thread> threads_;
};

}  // namespace Kestrix

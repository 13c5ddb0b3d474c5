#include "kestrix/server/KestrixTranslationWorkers.h"

#include <pthread.h>

#include <algorithm>
#include <string_view>
#include <utility>

#include "common/base/osal/CoMemory.h"

namespace Kestrix {

KestrixTranslationWorkers::KestrixTranslationWorkers(std::function<void()> notify, unsigned threads)
    : notify_(std::move(notify)) {
  for (unsigned i = 0; i < threads; ++i) threads_.emplace_back([this] { work(); });
}

KestrixTranslationWorkers::~KestrixTranslationWorkers() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

void KestrixTranslationWorkers::submit(Job job) {
  if (job.text.size() - job.listPos <= INLINE_BYTES) {
    static const std::atomic<bool> never{false};
    Answer result;
    translate(job, never, result);
    answer(std::move(result));
    return;
  }
  pendingBytes_ += job.text.size();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_.push_back(std::move(job));
  }
  wake_.notify_one();
}

void KestrixTranslationWorkers::answer(Answer answer) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    answers_.push_back(std::move(answer));
  }
  notify_();
}

std::vector<KestrixTranslationWorkers::Answer> KestrixTranslationWorkers::take() {
  std::vector<Answer> ready;
  std::lock_guard<std::mutex> lock(mutex_);
  ready.swap(answers_);
  return ready;
}

void KestrixTranslationWorkers::work() {
  pthread_setname_np(pthread_self(), "kestrixd paths");
  for (;;) {
    Answer result;
    size_t bytes = 0;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stop_ || !jobs_.empty(); });
      if (stop_) return;
      Job job = std::move(jobs_.front());
      jobs_.pop_front();
      lock.unlock();
      bytes = job.text.size();
      if (!translate(job, stop_, result)) return;
    }  // the request, maybe hundreds of megabytes, goes before its answer waits for the loop
    pendingBytes_ -= bytes;
    answer(std::move(result));
  }
}

bool KestrixTranslationWorkers::translate(Job& job, const std::atomic<bool>& stop, Answer& answer) {
  answer = {job.clientId, true, {}};
  std::string_view list = std::string_view(job.text).substr(job.listPos);
  if (list.size() < 2) return true;
  list = list.substr(1, list.size() - 2);
  std::string& reply = answer.value;
  reply.reserve(list.size() + list.size() / 4);
  CoMemory::adviseLarge(reply.data(), reply.capacity());
  std::string error;
  // Paths are quoted but not escaped: only "," between two quotes parts them.
  for (size_t start = 0, count = 1;; ++count) {
    if (count % CHUNK_PATHS == 0 && stop) return false;
    const size_t end = std::min(list.find("\",\"", start), list.size());
    if (start > 0) reply += ',';
    if (!job.request.translate(list.substr(start, end - start), reply, error)) {
      answer = {job.clientId, false, std::move(error)};
      return true;
    }
    if (end == list.size()) return true;
    start = end + 3;
  }
}

}  // namespace Kestrix

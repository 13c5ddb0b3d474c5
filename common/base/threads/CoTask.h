#pragma once
// The work a CoThread runs. run() is the thread's body; stop() asks it to
// end and is called from another thread, so a task that loops must watch
// for it. attach() and detach() tell the task which thread carries it.

namespace Kestrix {

class CoThread;

class CoTask {
 public:
  CoTask() = default;
  CoTask(const CoTask&) = delete;
  CoTask& operator=(const CoTask&) = delete;
  virtual ~CoTask() = 0;

  virtual void attach(CoThread* thread);
  virtual void detach(CoThread* thread);
  virtual void run(CoThread* thread) = 0;
  virtual void stop(CoThread* thread);
};

}  // namespace Kestrix

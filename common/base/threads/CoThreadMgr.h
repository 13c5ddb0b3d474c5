#pragma once
// The process-wide registry of threads: it makes threads, finds them by
// system id or name, stops the managed ones at shutdown and, at process
// exit, reports on standard error every thread its owner never deleted.
// The thread that first asks for the manager is adopted as "main". From
// then on every log line carries the system id of the posting thread.

#include <cstdint>
#include <functional>

#include "common/base/threads/CoThread.h"

namespace Kestrix {

class CoTask;

class CoThreadMgr {
 public:
  // Returns -1 or 1 to end the walk with that answer, anything else to go on.
  using Visitor = std::function<int(CoThread*)>;

  // Creates the manager on first call.
  static CoThreadMgr* getInstance();
  // The manager if it exists, without creating it.
  static CoThreadMgr* existingInstance();
  // The registered thread that is the caller, or null.
  static CoThread* findCurrentThread();
  // Makes and starts a thread that calls function(argument). The caller
  // owns the thread and must delete it.
  static CoThread* createThread(const char* name, CoThread::ThreadType type,
                                void (*function)(void*), void* argument);
  // Has hook run at process exit before the manager ends the threads it
  // still knows, so that a library started by a static object stops its
  // own threads first. Hooks run newest first; adding one twice runs it once.
  static void addExitHook(void (*hook)());

  CoThreadMgr(const CoThreadMgr&) = delete;
  CoThreadMgr& operator=(const CoThreadMgr&) = delete;

  virtual uint32_t getCurrentThreadId() = 0;
  // The instance form of findCurrentThread().
  virtual CoThread* findCurrent() = 0;
  virtual CoThread* findThread(uint32_t id) = 0;
  virtual CoThread* findMainThread() = 0;
  // Exact name comparison.
  virtual CoThread* findThread(const char* name) = 0;
  // Makes (does not start) a thread for task, which it takes over. It
  // inherits the scheduling of the calling thread and is registered unless
  // its type is UNREGISTERED_THREAD.
  virtual CoThread* createCoThread(CoTask* task, const char* name, CoThread::ThreadType type) = 0;
  virtual bool addThread(CoThread* thread) = 0;
  virtual bool removeThread(CoThread* thread) = 0;
  virtual void terminateThread(CoThread* thread) = 0;
  // Stops, waits for and deletes every MANAGED_THREAD, newest first.
  virtual void stopManagedThreads() = 0;
  // Posts, at user level, the name and id of every thread.
  virtual void dumpThreads() = 0;
  // Calls visitor on each thread in registration order with the list
  // locked (the visitor must not call back into the manager). Returns the
  // first -1 or 1, else the last answer; -1 for an empty list.
  virtual int forEachThread(const Visitor& visitor) = 0;
  virtual void setPriorityTables(const int roundRobin[CoThreadPriority::NUM_PRIO_LEVELS],
                                 const int timeSharing[CoThreadPriority::NUM_PRIO_LEVELS]) = 0;
  virtual ~CoThreadMgr();

 protected:
  CoThreadMgr() = default;
};

// Made by the platform's file; called once, by getInstance().
CoThreadMgr* newPlatformThreadMgr();

}  // namespace Kestrix

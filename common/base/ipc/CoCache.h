#pragma once
// A thread-safe, fixed-size table of reusable objects looked up by key,
// with ageing, least-recently-used recycling and per-entry locking.
//
// Derive from CoCache and supply create(), the factory for entries; derive
// entries from Entry (one holder at a time) or SharedEntry (many holders at
// once) and keys from Key. getCacheEntry() hands out an entry locked for
// the caller, who gives it back with releaseCacheEntry() (or an
// EntryLockGuard). An entry goes away when it expires unheld, is recycled
// or removed, or with the cache.

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "common/base/threads/CoLock.h"
#include "common/base/threads/CoMutex.h"

namespace Kestrix {

class CoCache {
 public:
  class Key {
   public:
    virtual ~Key() = default;
  };

  class Entry {
   public:
    Entry() = default;
    Entry(const Entry&) = delete;
    Entry& operator=(const Entry&) = delete;
    virtual ~Entry();

    // Whether this entry serves key.
    virtual bool match(const Key& key) = 0;
    // Takes the entry's lock unit, waiting for it, and marks it locked.
    virtual void lock(const Key* key);
    // Marks it unlocked and gives the unit back.
    virtual void release();

    void lock() { lock(nullptr); }
    // Takes the unit only if it is free now.
    bool tryLock();
    bool isLocked() const { return locked_.load(); }
    // Microseconds since 1970 (CoTime::getTime) of the last lookup that
    // returned the entry.
    uint64_t getLastAccessTime() const { return lastAccess_.load(); }
    std::string getLastAccessTimeStr() const;

   private:
    friend class CoCache;

    std::atomic<uint64_t> lastAccess_{0};
    std::atomic<bool> locked_{false};
    CoLock lock_{1};
  };

  // An entry that many threads hold at once: the first holder takes the
  // lock unit, the last to release gives it back (after decref() and
  // outside the entry's mutex, as its last use of the entry).
  class SharedEntry : public Entry {
   public:
    using Entry::lock;
    void lock(const Key* key) override;
    void release() override;
    int32_t getRefCount() const;

   protected:
    virtual void incref();
    virtual void decref();

   private:
    mutable CoMutex mutex_;
    int32_t refCount_ = 0;
  };

  // Walks the occupied slots from the last to the first, holding the cache
  // mutex for its whole life.
  class Iterator {
   public:
    explicit Iterator(CoCache& cache);
    Iterator(const Iterator&) = delete;
    Iterator& operator=(const Iterator&) = delete;
    ~Iterator();

    Entry* next();
    // Empties the slot of the entry next() returned last; the entry is not
    // deleted: the caller now owns it.
    void remove();
    // Empties the next occupied slot and returns its entry (now the
    // caller's), or null.
    Entry* pop();

   private:
    CoCache& cache_;
    int index_;
  };

  // Releases a locked entry when it goes out of scope.
  class EntryLockGuard {
   public:
    EntryLockGuard(CoCache& cache, Entry* lockedEntry);
    EntryLockGuard(const EntryLockGuard&) = delete;
    EntryLockGuard& operator=(const EntryLockGuard&) = delete;
    virtual ~EntryLockGuard();

    void setEntry(Entry* lockedEntry);
    Entry* getEntry() const { return lockedEntry_; }

   private:
    Entry* lockedEntry_;
    CoCache& cache_;
  };

  // capacity: live entries at which recycling starts (at least 1).
  // maxAge: microseconds after the last access at which an entry expires;
  // negative for never. keepExpired: an expired entry can still be found
  // for its own key. manyPerKey: several entries may serve one key, the
  // least recently used is chosen.
  CoCache(int capacity, int64_t maxAge, bool keepExpired = false, bool manyPerKey = false);
  CoCache(const CoCache&) = delete;
  CoCache& operator=(const CoCache&) = delete;
  virtual ~CoCache();

  // The entry for key, locked for the caller, or null. Missing entries are
  // made when create is set; a held plain entry is waited for when
  // waitIfLocked is set (with the cache locked); a full cache recycles its
  // least recently used unheld entry when recycle is set, else grows by
  // growBy slots when that is above 0.
  Entry* getCacheEntry(const Key& key, bool create = true, bool waitIfLocked = true,
                       bool recycle = true, int growBy = 0);
  void releaseCacheEntry(Entry* entry);
  // Releases the first locked entry that matches key.
  bool releaseCacheEntry(const Key& key);
  void removeEntry(const Key& key, bool skipLocked);
  void removeAllEntries(const Key& key, bool skipLocked);
  // The entry must be locked by the caller; it is deleted.
  void removeCacheEntry(Entry* entry);
  void resetCache(bool skipLocked);

  int getTotalCapacity();
  float getUsageRatio();
  float getCacheHitRatio() const;

  virtual void dump();

 protected:
  // The factory: a new entry for key, or null.
  virtual Entry* create(const Key& key) = 0;
  // May turn an existing (unheld) entry into one for key instead of a new
  // entry being made.
  virtual bool reset(Entry& entry, const Key& key);

 private:
  // Removes matching entries; stops after the first unless all is set.
  void removeMatching(const Key& key, bool skipLocked, bool all);
  // Takes the entry's lock unit (waiting for its holder) and deletes it.
  static void deleteEntry(Entry* entry);
  static void lockForDeletion(Entry* entry);

  std::vector<Entry*> slots_;
  int capacity_;
  int slotCount_;
  int64_t maxAge_;
  bool keepExpired_;
  bool manyPerKey_;
  CoMutex mutex_;
  std::atomic<uint64_t> hits_{0};
  std::atomic<uint64_t> misses_{0};
};

}  // namespace Kestrix

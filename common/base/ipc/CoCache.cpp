#include "common/base/ipc/CoCache.h"

#include "common/base/loggerBase/CoMsg.h"
#include "common/base/loggerBase/qvAssert.h"
#include "common/base/osal/CoTime.h"

namespace Kestrix {

// ---- Entry -----------------------------------------------------------

CoCache::Entry::~Entry() = default;

void CoCache::Entry::lock(const Key*) {
  lock_.get();
  locked_ = true;
}

void CoCache::Entry::release() {
  locked_ = false;
  lock_.release();
}

bool CoCache::Entry::tryLock() {
  if (!lock_.tryGet()) return false;
  locked_ = true;
  return true;
}

std::string CoCache::Entry::getLastAccessTimeStr() const {
  const uint64_t time = getLastAccessTime();
  return CoTime::getDateStr(time) + " " + CoTime::getTimeStr(time);
}

// ---- SharedEntry -----------------------------------------------------

void CoCache::SharedEntry::lock(const Key*) {
  CoMutexGuard guard(mutex_);
  incref();
}

void CoCache::SharedEntry::release() {
  bool last;
  {
    CoMutexGuard guard(mutex_);
    decref();
    last = refCount_ == 0;
  }
  // Once the unit is back, a lookup may delete the entry at once: giving it
  // back is the last thing done here, with the mutex already let go.
  if (last) Entry::release();
}

int32_t CoCache::SharedEntry::getRefCount() const {
  CoMutexGuard guard(mutex_);
  return refCount_;
}

void CoCache::SharedEntry::incref() {
  if (++refCount_ != 1) return;
  // Nobody holds it; the unit is free, or about to be given back by the
  // last holder's release().
  Entry::lock(nullptr);
}

void CoCache::SharedEntry::decref() {
  --refCount_;
}

// ---- CoCache ---------------------------------------------------------

CoCache::CoCache(int capacity, int64_t maxAge, bool keepExpired, bool manyPerKey)
    : capacity_(capacity < 1 ? 1 : capacity),
      slotCount_(capacity_),
      maxAge_(maxAge),
      keepExpired_(keepExpired),
      manyPerKey_(manyPerKey) {
  slots_.assign(static_cast<size_t>(slotCount_), nullptr);
}

CoCache::~CoCache() {
  for (int i = slotCount_ - 1; i >= 0; --i) {
    deleteEntry(slots_[i]);
    slots_[i] = nullptr;
  }
}

void CoCache::lockForDeletion(Entry* entry) {
  entry->lock_.get();
  entry->locked_ = true;
}

void CoCache::deleteEntry(Entry* entry) {
  if (entry == nullptr) return;
  lockForDeletion(entry);
  delete entry;
}

bool CoCache::reset(Entry&, const Key&) {
  return false;
}

void CoCache::dump() {}

CoCache::Entry* CoCache::getCacheEntry(const Key& key, bool create, bool waitIfLocked, bool recycle,
                                       int growBy) {
  CoMutexGuard guard(mutex_);
  const uint64_t now = CoTime::getTime();
  int freeSlot = -1;
  int oldest = -1;
  int count = 0;
  Entry* match = nullptr;

  for (int i = 0; i < slotCount_; ++i) {
    Entry* entry = slots_[i];
    if (entry == nullptr) {
      if (freeSlot < 0) freeSlot = i;
      continue;
    }
    const uint64_t last = entry->getLastAccessTime();
    const bool locked = entry->isLocked();
    // A clock set back makes no entry expire.
    const bool expired =
        maxAge_ >= 0 && now >= last && now - last >= static_cast<uint64_t>(maxAge_);
    const bool candidate = (match == nullptr || manyPerKey_) && (waitIfLocked || !locked);
    if (candidate && !(expired && !keepExpired_) && entry->match(key)) {
      if (match == nullptr || (manyPerKey_ && last < match->getLastAccessTime())) match = entry;
      ++count;
      continue;
    }
    if (expired && !locked) {
      deleteEntry(entry);
      slots_[i] = nullptr;
      if (freeSlot < 0) freeSlot = i;
      continue;
    }
    if (!locked && (oldest < 0 || last < slots_[oldest]->getLastAccessTime())) oldest = i;
    ++count;
  }

  if (match != nullptr) {
    ++hits_;
    // Waits here, cache locked, when a plain entry has another holder.
    match->lock(&key);
    match->lastAccess_ = now;
    return match;
  }
  ++misses_;
  if (!create) return nullptr;

  if (freeSlot < 0 && (!recycle || oldest < 0)) {
    if (growBy <= 0) return nullptr;
    freeSlot = slotCount_;
    slotCount_ += growBy;
    slots_.resize(static_cast<size_t>(slotCount_), nullptr);
  }

  if (freeSlot >= 0 && (count < capacity_ || !recycle || oldest < 0)) {
    Entry* made = this->create(key);
    if (made == nullptr) {
      CO_POST_ERROR("Cache factory returned NULL.");
      return nullptr;
    }
    slots_[freeSlot] = made;
    made->lock(&key);
    made->lastAccess_ = now;
    return made;
  }

  Entry* old = slots_[oldest];
  bool reused = false;
  try {
    reused = reset(*old, key);
  } catch (...) {
    deleteEntry(old);
    slots_[oldest] = nullptr;
    throw;
  }
  if (!reused) {
    Entry* made = this->create(key);
    if (made == nullptr) {
      CO_POST_ERROR("Cache factory returned NULL.");
      return nullptr;
    }
    deleteEntry(old);
    slots_[oldest] = made;
  }
  Entry* entry = slots_[oldest];
  entry->lock(&key);
  entry->lastAccess_ = now;
  return entry;
}

void CoCache::releaseCacheEntry(Entry* entry) {
  if (entry) entry->release();
}

bool CoCache::releaseCacheEntry(const Key& key) {
  CoMutexGuard guard(mutex_);
  for (Entry* entry : slots_) {
    if (entry == nullptr || !entry->isLocked() || !entry->match(key)) continue;
    entry->release();
    return true;
  }
  return false;
}

void CoCache::removeMatching(const Key& key, bool skipLocked, bool all) {
  CoMutexGuard guard(mutex_);
  for (int i = 0; i < slotCount_; ++i) {
    Entry* entry = slots_[i];
    if (entry == nullptr || (skipLocked && entry->isLocked()) || !entry->match(key)) continue;
    deleteEntry(entry);
    slots_[i] = nullptr;
    if (!all) return;
  }
}

void CoCache::removeEntry(const Key& key, bool skipLocked) {
  removeMatching(key, skipLocked, false);
}

void CoCache::removeAllEntries(const Key& key, bool skipLocked) {
  removeMatching(key, skipLocked, true);
}

void CoCache::removeCacheEntry(Entry* entry) {
  QV_ASSERT(entry && entry->isLocked());
  if (entry == nullptr) return;
  CoMutexGuard guard(mutex_);
  for (int i = 0; i < slotCount_; ++i) {
    if (slots_[i] != entry) continue;
    slots_[i] = nullptr;
    // The caller's hold is the lock that deletion needs.
    delete entry;
    return;
  }
}

void CoCache::resetCache(bool skipLocked) {
  CoMutexGuard guard(mutex_);
  for (int i = 0; i < slotCount_; ++i) {
    Entry* entry = slots_[i];
    if (entry == nullptr || (skipLocked && entry->isLocked())) continue;
    deleteEntry(entry);
    slots_[i] = nullptr;
  }
}

int CoCache::getTotalCapacity() {
  CoMutexGuard guard(mutex_);
  return slotCount_;
}

float CoCache::getUsageRatio() {
  CoMutexGuard guard(mutex_);
  if (slotCount_ == 0) return 1.0f;
  int used = 0;
  for (Entry* entry : slots_)
    if (entry) ++used;
  return static_cast<float>(used) / static_cast<float>(slotCount_);
}

float CoCache::getCacheHitRatio() const {
  const uint64_t hits = hits_.load();
  const uint64_t total = hits + misses_.load();
  if (total < 1) return 1.0f;
  return static_cast<float>(hits) / static_cast<float>(total);
}

// ---- Iterator --------------------------------------------------------

CoCache::Iterator::Iterator(CoCache& cache) : cache_(cache), index_(0) {
  cache_.mutex_.lock();
  index_ = cache_.slotCount_;
}

CoCache::Iterator::~Iterator() {
  cache_.mutex_.unlock();
}

CoCache::Entry* CoCache::Iterator::next() {
  while (--index_ >= 0)
    if (cache_.slots_[index_]) return cache_.slots_[index_];
  index_ = -1;
  return nullptr;
}

void CoCache::Iterator::remove() {
  if (index_ >= 0 && index_ < cache_.slotCount_) cache_.slots_[index_] = nullptr;
}

CoCache::Entry* CoCache::Iterator::pop() {
  Entry* entry = next();
  if (entry) remove();
  return entry;
}

// ---- EntryLockGuard --------------------------------------------------

CoCache::EntryLockGuard::EntryLockGuard(CoCache& cache, Entry* lockedEntry)
    : lockedEntry_(lockedEntry), cache_(cache) {
  if (lockedEntry_) QV_ASSERT(lockedEntry_->isLocked());
}

CoCache::EntryLockGuard::~EntryLockGuard() {
  cache_.releaseCacheEntry(lockedEntry_);
}

void CoCache::EntryLockGuard::setEntry(Entry* lockedEntry) {
  QV_ASSERT(lockedEntry_ == 0);
  lockedEntry_ = lockedEntry;
  if (lockedEntry_) QV_ASSERT(lockedEntry_->isLocked());
}

}  // namespace Kestrix

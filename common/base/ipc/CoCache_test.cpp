#include "common/base/ipc/CoCache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace Kestrix {
namespace {

using Clock = std::chrono::steady_clock;

struct TextKey : CoCache::Key {
  explicit TextKey(std::string t) : text(std::move(t)) {}
  std::string text;
};

std::atomic<int> gDeleted{0};

template <typename Base>
struct TextEntry : Base {
  explicit TextEntry(std::string t) : text(std::move(t)) {}
  ~TextEntry() override { ++gDeleted; }
  bool match(const CoCache::Key& key) override {
    return static_cast<const TextKey&>(key).text == text;
  }
  std::string text;
};
using PlainEntry = TextEntry<CoCache::Entry>;
using SharedTextEntry = TextEntry<CoCache::SharedEntry>;

// Lingers in release() right after the last reference went, until the
// test's lookup has run (or 200 ms have passed), so that the lookup falls
// into the window where the releasing thread still uses the entry.
std::atomic<bool> gLingering{false};
std::atomic<bool> gLookupDone{false};
std::atomic<bool> gDeletedWhileReleasing{false};
struct LingeringEntry : SharedTextEntry {
  using SharedTextEntry::SharedTextEntry;
  void decref() override {
    SharedTextEntry::decref();
    if (getRefCount() != 0) return;
    gLingering = true;
    const auto deadline = Clock::now() + std::chrono::milliseconds(200);
    while (!gLookupDone && Clock::now() < deadline) std::this_thread::yield();
    gDeletedWhileReleasing = gDeleted > 0;
    gLingering = false;
  }
};

class TextCache : public CoCache {
 public:
  enum class Kind { plain, shared, lingering };
  enum class Reset { refuse, reuse, fail };
  TextCache(int capacity, int64_t maxAge, bool keepExpired = false, bool manyPerKey = false,
            Kind kind = Kind::plain)
      : CoCache(capacity, maxAge, keepExpired, manyPerKey), kind_(kind) {}

  std::atomic<int> created{0};
  bool factoryFails = false;
  Reset onReset = Reset::refuse;

  PlainEntry* get(const std::string& text, bool create = true, bool waitIfLocked = true,
                  bool recycle = true, int growBy = 0) {
    return static_cast<PlainEntry*>(
        getCacheEntry(TextKey(text), create, waitIfLocked, recycle, growBy));
  }
  void use(const std::string& text) { releaseCacheEntry(get(text)); }

 protected:
  Entry* create(const Key& key) override {
    if (factoryFails) return nullptr;
    ++created;
    const std::string& text = static_cast<const TextKey&>(key).text;
    if (kind_ == Kind::lingering) return new LingeringEntry(text);
    if (kind_ == Kind::shared) return new SharedTextEntry(text);
    return new PlainEntry(text);
  }
  bool reset(Entry& entry, const Key& key) override {
    if (onReset == Reset::fail) throw std::runtime_error("reset failed");
    if (onReset == Reset::refuse) return false;
    static_cast<PlainEntry&>(entry).text = static_cast<const TextKey&>(key).text;
    return true;
  }

 private:
  Kind kind_;
};

// Lets the clock move past a last access, at millisecond resolution.
void passMs(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

class CoCacheTest : public ::testing::Test {
 protected:
  void SetUp() override { gDeleted = 0; }
};

TEST_F(CoCacheTest, MissMakesALockedEntryThatLaterLookupsFind) {
  TextCache cache(4, -1);
  EXPECT_EQ(cache.get("a", false), nullptr) << "no entry is made without create";
  PlainEntry* a = cache.get("a");
  ASSERT_NE(a, nullptr);
  EXPECT_TRUE(a->isLocked());
  { CoCache::EntryLockGuard guard(cache, a); }
  EXPECT_FALSE(a->isLocked());
  EXPECT_EQ(cache.get("a"), a);
  EXPECT_EQ(cache.created, 1);
  EXPECT_FLOAT_EQ(cache.getCacheHitRatio(), 1.0f / 3.0f);
  EXPECT_TRUE(cache.releaseCacheEntry(TextKey("a")));
  EXPECT_FALSE(cache.releaseCacheEntry(TextKey("a"))) << "only locked entries are released";
  EXPECT_FLOAT_EQ(cache.getUsageRatio(), 0.25f);
}

TEST_F(CoCacheTest, ExpiredUnheldEntriesGoOnAnyLookupUnlessKeptForTheirKey) {
  TextCache cache(4, 1000);
  cache.use("old");
  PlainEntry* held = cache.get("held");
  passMs(3);
  cache.use("new");
  EXPECT_EQ(gDeleted, 1) << "the expired unheld entry, and only that one";
  EXPECT_EQ(cache.get("old", false), nullptr);
  cache.releaseCacheEntry(held);

  TextCache keeping(4, 1000, true);
  PlainEntry* a = keeping.get("a");
  keeping.releaseCacheEntry(a);
  passMs(3);
  EXPECT_EQ(keeping.get("a"), a);
  keeping.releaseCacheEntry(a);
  passMs(3);
  keeping.use("b");  // another key's lookup clears it all the same
  EXPECT_EQ(keeping.get("a", false), nullptr);
}

TEST_F(CoCacheTest, ManyPerKeyGivesTheLeastRecentlyUsedAndRemovalCanSkipHeldOnes) {
  TextCache cache(6, -1, false, true);
  PlainEntry* held = cache.get("a");
  PlainEntry* first = cache.get("a", true, false);
  PlainEntry* second = cache.get("a", true, false);
  cache.releaseCacheEntry(first);
  passMs(2);
  cache.releaseCacheEntry(second);
  // first was last used before second; using it makes second the older.
  EXPECT_EQ(cache.get("a", true, false), first);
  cache.releaseCacheEntry(first);
  passMs(2);
  EXPECT_EQ(cache.get("a", true, false), second);
  cache.releaseCacheEntry(second);
  cache.use("b");
  cache.removeEntry(TextKey("a"), true);
  EXPECT_EQ(gDeleted, 1);
  cache.removeAllEntries(TextKey("a"), true);
  EXPECT_EQ(gDeleted, 2);
  EXPECT_TRUE(held->isLocked()) << "the held entry is still there";
  cache.resetCache(true);
  EXPECT_EQ(gDeleted, 3) << "b goes, the held entry stays";
  cache.removeCacheEntry(held);
  EXPECT_EQ(gDeleted, 4);
  EXPECT_FLOAT_EQ(cache.getUsageRatio(), 0.0f);
}

TEST_F(CoCacheTest, FullCacheRecyclesTheLeastRecentlyUsedUnheldEntryOrGrows) {
  TextCache cache(3, -1);
  PlainEntry* oldestButHeld = cache.get("held");
  passMs(2);
  cache.use("a");
  passMs(2);
  cache.use("b");
  cache.use("c");
  EXPECT_EQ(gDeleted, 1);
  EXPECT_EQ(cache.get("a", false), nullptr) << "a was the least recently used unheld entry";
  EXPECT_EQ(cache.get("d", true, true, false, 0), nullptr) << "neither recycled nor grown";
  cache.releaseCacheEntry(cache.get("d", true, true, false, 2));
  EXPECT_EQ(cache.getTotalCapacity(), 5);
  EXPECT_FLOAT_EQ(cache.getUsageRatio(), 4.0f / 5.0f) << "grown without recycling";
  cache.releaseCacheEntry(oldestButHeld);

  TextCache one(0, -1);
  EXPECT_EQ(one.getTotalCapacity(), 1) << "capacity 0 gives one slot";
  PlainEntry* held = one.get("a");
  EXPECT_EQ(one.get("b"), nullptr) << "all held: nothing to recycle and no growth";
  one.releaseCacheEntry(one.get("b", true, true, true, 1));
  EXPECT_EQ(one.getTotalCapacity(), 2);
  one.releaseCacheEntry(held);
}

TEST_F(CoCacheTest, RecyclingReusesWhatResetAcceptsAndOtherwiseNeedsTheFactory) {
  TextCache cache(1, -1);
  cache.factoryFails = true;
  testing::internal::CaptureStdout();
  EXPECT_EQ(cache.get("a"), nullptr);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("Cache factory returned NULL."),
            std::string::npos);
  cache.factoryFails = false;
  PlainEntry* a = cache.get("a");
  cache.releaseCacheEntry(a);
  cache.factoryFails = true;
  EXPECT_EQ(cache.get("b"), nullptr) << "reset refused: recycling needs a new entry";
  EXPECT_EQ(cache.get("a", false), a) << "and the old one is kept";
  cache.releaseCacheEntry(a);
  cache.onReset = TextCache::Reset::reuse;
  PlainEntry* b = cache.get("b");
  EXPECT_EQ(b, a);
  EXPECT_EQ(b->text, "b");
  cache.releaseCacheEntry(b);
  EXPECT_EQ(cache.created, 1);
  cache.onReset = TextCache::Reset::fail;
  EXPECT_THROW(cache.get("c"), std::runtime_error);
  EXPECT_EQ(gDeleted, 1);
  EXPECT_FLOAT_EQ(cache.getUsageRatio(), 0.0f);
}

TEST_F(CoCacheTest, IteratorWalksFromTheLastSlotAndHandsOverRemovedEntries) {
  TextCache cache(3, -1);
  for (const char* text : {"a", "b", "c"}) cache.use(text);
  std::unique_ptr<CoCache::Entry> c, b;
  {
    CoCache::Iterator it(cache);
    c.reset(it.next());
    it.remove();
    b.reset(it.pop());
    EXPECT_EQ(static_cast<PlainEntry*>(it.next())->text, "a");
    EXPECT_EQ(it.next(), nullptr);
    EXPECT_EQ(it.pop(), nullptr);
  }
  EXPECT_EQ(static_cast<PlainEntry*>(c.get())->text, "c");
  EXPECT_EQ(static_cast<PlainEntry*>(b.get())->text, "b");
  EXPECT_EQ(gDeleted, 0) << "removed entries are not deleted";
  EXPECT_FLOAT_EQ(cache.getUsageRatio(), 1.0f / 3.0f);
}

// Waits, at most five seconds, until count reaches target.
bool reach(std::atomic<int>& count, int target) {
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (count < target && Clock::now() < deadline) std::this_thread::yield();
  return count >= target;
}

TEST_F(CoCacheTest, ASharedEntryIsHeldByManyAndFreedByTheLast) {
  constexpr int kHolders = 4;
  TextCache cache(2, -1, false, false, TextCache::Kind::shared);
  std::atomic<int> holding{0}, checked{0};
  std::atomic<bool> allHeldTogether{true};
  std::vector<std::thread> threads;
  for (int i = 0; i < kHolders; ++i)
    threads.emplace_back([&] {
      auto* entry = static_cast<SharedTextEntry*>(cache.getCacheEntry(TextKey("s")));
      ++holding;
      // Everyone holds it at once, and sees that, before anyone lets go.
      if (!reach(holding, kHolders) || entry->getRefCount() != kHolders || !entry->isLocked())
        allHeldTogether = false;
      ++checked;
      reach(checked, kHolders);
      cache.releaseCacheEntry(entry);
    });
  for (std::thread& t : threads) t.join();
  EXPECT_TRUE(allHeldTogether);
  EXPECT_EQ(cache.created, 1);
  auto* entry = static_cast<SharedTextEntry*>(CoCache::Iterator(cache).next());
  EXPECT_EQ(entry->getRefCount(), 0);
  EXPECT_FALSE(entry->isLocked()) << "the last release gives the unit back";
}

// The last holder's release still uses the entry after it dropped its
// reference: a lookup meanwhile must neither delete the entry (it has
// expired) nor fail to take it again for its own key.
TEST_F(CoCacheTest, ASharedEntryOutlivesTheReleaseOfItsLastHolder) {
  TextCache cache(2, 0, true, false, TextCache::Kind::lingering);
  CoCache::Entry* entry = cache.getCacheEntry(TextKey("s"));
  auto releaseWhileLookingUp = [&](const char* key, bool create) {
    gLookupDone = false;
    std::thread releaser([&] { cache.releaseCacheEntry(entry); });
    while (!gLingering) std::this_thread::yield();
    CoCache::Entry* got = cache.getCacheEntry(TextKey(key), create);
    gLookupDone = true;
    releaser.join();
    return got;
  };
  EXPECT_EQ(releaseWhileLookingUp("other", false), nullptr);
  EXPECT_FALSE(gDeletedWhileReleasing) << "deleted while its last holder still released it";
  ASSERT_EQ(gDeleted, 0);
  ASSERT_EQ(cache.getCacheEntry(TextKey("s")), entry);
  EXPECT_EQ(releaseWhileLookingUp("s", true), entry);
  EXPECT_TRUE(entry->isLocked());
  cache.releaseCacheEntry(entry);
  EXPECT_EQ(cache.getCacheEntry(TextKey("other"), false), nullptr);
  EXPECT_EQ(gDeleted, 1) << "unheld and expired, it goes at the next lookup";
}

TEST_F(CoCacheTest, APlainEntryMakesASecondHolderAndItsRemovalWait) {
  TextCache cache(2, -1);
  std::atomic<bool> held{true};
  auto releaseLater = [&](PlainEntry* entry) {
    return std::thread([&, entry] {
      passMs(20);
      held = false;
      cache.releaseCacheEntry(entry);
    });
  };
  std::thread first = releaseLater(cache.get("a"));
  PlainEntry* a = cache.get("a");
  EXPECT_FALSE(held) << "the second holder did not wait";
  held = true;
  std::thread second = releaseLater(a);
  cache.removeEntry(TextKey("a"), false);
  EXPECT_FALSE(held) << "deleted while still held";
  first.join();
  second.join();
  EXPECT_EQ(gDeleted, 1);
}

}  // namespace
}  // namespace Kestrix

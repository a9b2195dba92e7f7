// The program's locks hold no handle: a lock contended once and then destroyed (an engine, a
// track) leaves nothing open, and a first contention during a lesson opens nothing either.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include "common/Locks.h"
#include "tests/support/LiveHandles.h"

namespace {

// Holds the lock while a thread of the system's own waits for it, so that the lock is really
// contended.
template <class Lock>
void Contend(Lock& lock) {
  struct Waiter {
    Lock* lock;
    std::atomic<bool> waiting{false};
    static DWORD WINAPI Run(LPVOID p) {
      auto* self = static_cast<Waiter*>(p);
      self->waiting = true;
      std::lock_guard<Lock> hold(*self->lock);
      return 0;
    }
  } waiter{&lock};
  lock.lock();
  HANDLE other = CreateThread(nullptr, 0, Waiter::Run, &waiter, 0, nullptr);
  ASSERT_NE(other, nullptr);
  WaitUntil([&] { return waiter.waiting.load(); });
  Sleep(20);  // lets the waiter reach the wait inside lock()
  lock.unlock();
  WaitForSingleObject(other, INFINITE);
  CloseHandle(other);
}

template <class Lock>
void ExpectNoHandleLeft() {
  // Whatever the process makes once, on its first contended lock, is made before the count.
  Lock first;
  Contend(first);
  const LiveHandleSet before = SnapshotLiveHandles();
  auto lock = std::make_unique<Lock>();
  for (int i = 0; i < 20; ++i) Contend(*lock);
  const LiveHandleSet contended = SnapshotLiveHandles();
  EXPECT_EQ(contended.size(), before.size()) << "contention opened " << DescribeNewHandles(before, contended);
  lock.reset();
  const LiveHandleSet after = SnapshotLiveHandles();
  EXPECT_EQ(after.size(), before.size()) << "the destroyed lock left " << DescribeNewHandles(before, after);
}

}  // namespace

TEST(Locks, AContendedLockHoldsNoHandle) {
  ExpectNoHandleLeft<Mutex>();
  ExpectNoHandleLeft<RecursiveMutex>();
}

TEST(Locks, TheRecursiveLockIsTakenAgainByItsHolder) {
  RecursiveMutex lock;
  std::lock_guard<RecursiveMutex> outer(lock);
  EXPECT_TRUE(lock.try_lock());
  lock.unlock();
  bool other = true;
  std::thread([&] { other = lock.try_lock(); }).join();
  EXPECT_FALSE(other) << "another thread took a held lock";
}

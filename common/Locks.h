// The program's locks, on the system's own primitives. The runtime's std::mutex makes a kernel
// event on a lock's first contention and never closes it, not even when the lock is destroyed:
// every engine, track or buffer whose lock was once contended would leave a handle behind. These
// hold no handle at all and need no destruction. Both work with std::lock_guard and std::unique_lock.
#pragma once

#include <windows.h>

#include <atomic>

class Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;
  void lock() { AcquireSRWLockExclusive(&lock_); }
  bool try_lock() { return TryAcquireSRWLockExclusive(&lock_) != FALSE; }
  void unlock() { ReleaseSRWLockExclusive(&lock_); }

 private:
  SRWLOCK lock_ = SRWLOCK_INIT;
};

// A thread that holds it may take it again. Only the holder ever writes its own id into owner_,
// so a thread finds its id there exactly when it holds the lock.
class RecursiveMutex {
 public:
  RecursiveMutex() = default;
  RecursiveMutex(const RecursiveMutex&) = delete;
  RecursiveMutex& operator=(const RecursiveMutex&) = delete;
  void lock() {
    if (Reenter()) return;
    AcquireSRWLockExclusive(&lock_);
    Own();
  }
  bool try_lock() {
    if (Reenter()) return true;
    if (!TryAcquireSRWLockExclusive(&lock_)) return false;
    Own();
    return true;
  }
  void unlock() {
    if (--depth_ != 0) return;
    owner_.store(0, std::memory_order_relaxed);
    ReleaseSRWLockExclusive(&lock_);
  }

 private:
  bool Reenter() {
    if (owner_.load(std::memory_order_relaxed) != GetCurrentThreadId()) return false;
    ++depth_;
    return true;
  }
  void Own() {
    owner_.store(GetCurrentThreadId(), std::memory_order_relaxed);
    depth_ = 1;
  }

  SRWLOCK lock_ = SRWLOCK_INIT;
  std::atomic<DWORD> owner_{0};
  unsigned depth_ = 0;
};

// PoisonableMutex: a mutex that remembers a fault raised while it was held.
//
// A fault (a C++ exception) that unwinds through a PoisonGuard poisons the
// mutex for good: the data it guards may be half-changed. Every later
// PoisonGuard on it fails with a fault instead of handing out that data.
#pragma once

#include <exception>
#include <mutex>
#include <string>

#include "lib/fault.hpp"

namespace nimbo::py {

class PoisonableMutex {
 public:
  explicit PoisonableMutex(const char* what) noexcept : what_(what) {}

 private:
  friend class PoisonGuard;

  std::mutex mutex_;
  bool poisoned_ = false;
  const char* what_;  // what the mutex guards, for the fault message
};

class PoisonGuard {
 public:
  explicit PoisonGuard(PoisonableMutex& mutex) : mutex_(mutex), lock_(mutex.mutex_) {
    if (mutex_.poisoned_) {
      lock_.unlock();
      throw Fault(std::string("called `Result::unwrap()` on an `Err` value: PoisonError: ") +
                  mutex_.what_ + " was poisoned by an earlier internal fault");
    }
  }
  ~PoisonGuard() {
    if (lock_.owns_lock() && std::uncaught_exceptions() > exceptions_at_entry_) {
      mutex_.poisoned_ = true;
    }
  }
  PoisonGuard(const PoisonGuard&) = delete;
  PoisonGuard& operator=(const PoisonGuard&) = delete;

 private:
  PoisonableMutex& mutex_;
  std::unique_lock<std::mutex> lock_;
  const int exceptions_at_entry_ = std::uncaught_exceptions();
};

}  // namespace nimbo::py

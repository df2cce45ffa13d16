// CallLock: one call at a time on an object shared between threads.
//
// A call holds the lock from its arguments to its result. While it runs, the
// interpreter lock may pass to other threads (a finaliser, an allocation, an
// interrupt poll lets them run): a call from another thread then waits for
// the running one, with the interpreter lock released, as a mutex would
// make it. A call from the thread that holds the lock (a finaliser run in
// the middle of the call, a callback) cannot wait for itself and is refused.
#pragma once

#include <condition_variable>
#include <mutex>

#include "lib/python.hpp"

namespace nimbo::py {

class CallLock {
 public:
  // Takes the lock for the running thread (the interpreter lock held).
  // False with an exception set: RuntimeError naming `what` when this thread
  // holds it already, or whatever a signal handler raised while the main
  // thread waited.
  bool acquire(const char* what);
  void release();

 private:
  std::mutex mutex_;
  std::condition_variable free_;
  bool held_ = false;
  unsigned long owner_ = 0;  // PyThread_get_thread_ident() of the holder
};

// Holds a CallLock for one call; test it before going on.
class CallGuard {
 public:
  CallGuard(CallLock& lock, const char* what) : lock_(lock), held_(lock.acquire(what)) {}
  ~CallGuard() {
    if (held_) lock_.release();
  }
  CallGuard(const CallGuard&) = delete;
  CallGuard& operator=(const CallGuard&) = delete;
  explicit operator bool() const noexcept { return held_; }

 private:
  CallLock& lock_;
  bool held_;
};

}  // namespace nimbo::py

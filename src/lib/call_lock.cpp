#include "lib/call_lock.hpp"

#include <chrono>

#include "lib/interpreter.hpp"

namespace nimbo::py {
namespace {

// How long a waiting thread sleeps before it looks for signals again.
constexpr std::chrono::milliseconds kSignalCheck{20};

}  // namespace

bool CallLock::acquire(const char* what) {
  const unsigned long self = PyThread_get_thread_ident();
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!held_) {
      held_ = true;
      owner_ = self;
      return true;
    }
    if (owner_ == self) {
      PyErr_Format(PyExc_RuntimeError,
                   "the %s is in the middle of another call on this thread (a finaliser or a "
                   "callback run by that call cannot use it); call it after that call returns",
                   what);
      return false;
    }
  }
  // Another thread's call runs: wait for it without the interpreter lock,
  // which that call may need back. Signals are looked at now and then (only
  // the main thread handles them), so Ctrl-C still reaches a waiting main
  // thread.
  while (true) {
    if (exiting_here()) {
      // The holder may be a thread that waits for the process to end; any
      // other thread comes to wait for it too when it takes the interpreter
      // lock back below.
      PyErr_Format(PyExc_RuntimeError,
                   "the %s is in the middle of a call on another thread while the interpreter "
                   "exits; it cannot be used any more",
                   what);
      return false;
    }
    bool taken = false;
    PyThreadState* saved = PyEval_SaveThread();
    {
      std::unique_lock<std::mutex> lock(mutex_);
      taken = free_.wait_for(lock, kSignalCheck, [this] { return !held_; });
      if (taken) {
        held_ = true;
        owner_ = self;
      }
    }
    retake_interpreter(saved);
    if (taken) return true;
    if (PyErr_CheckSignals() < 0) return false;
  }
}

void CallLock::release() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    held_ = false;
  }
  free_.notify_one();
}

}  // namespace nimbo::py

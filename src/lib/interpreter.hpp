// What the extension modules share about the interpreter that runs them.
#pragma once

#include "engine/update_control.hpp"
#include "lib/python.hpp"

namespace nimbo::py {

// Checks that the current interpreter is the one that first loaded any of
// nimbo's modules; their state is process-wide. False with ImportError set
// otherwise (naming `module`).
bool check_interpreter(const char* module);

// Takes the interpreter lock back after PyEval_SaveThread() gave `saved`
// up in the middle of a call. Once the interpreter has begun to exit, a
// thread other than the exiting one never returns: the interpreter would end
// it from inside the call; it waits for the process to end instead.
void retake_interpreter(PyThreadState* saved);
// Whether the interpreter has begun to exit (its atexit callbacks ran) on
// this thread.
bool exiting_here();

// The control for updates run from Python: a pending Ctrl-C stops them. It
// runs no Python code and keeps the interpreter lock, so it may be polled
// with a lock held that other threads take with the interpreter lock held.
UpdateControl interrupt_control();

// The same for a call that holds no such lock: each poll also lets other
// threads run for a moment. Signals are the main thread's to handle, so a
// long call on another thread lets the main thread take a Ctrl-C; threads
// also share the interpreter during a long call on the main thread.
UpdateControl call_control();

// Lets go of the interpreter lock for a call whose work runs in C++ alone
// (on threads of its own, see sequence_threads.hpp) and takes it back when
// it ends. control() stops that work on a pending Ctrl-C, taking the lock
// for the moment it looks. retake() takes the lock back early, for a part of
// the call that makes Python objects; control() then works as
// call_control(). One at a time on a thread.
class ReleasedInterpreter {
 public:
  ReleasedInterpreter();
  ReleasedInterpreter(const ReleasedInterpreter&) = delete;
  ReleasedInterpreter& operator=(const ReleasedInterpreter&) = delete;
  ~ReleasedInterpreter();
  void retake();
  static UpdateControl control();
};

// After an update stopped on Ctrl-C, with every lock released: hands the
// signal to Python's handler and returns null with its exception set
// (KeyboardInterrupt unless the handler raised something else).
PyObject* raise_interrupt();

}  // namespace nimbo::py

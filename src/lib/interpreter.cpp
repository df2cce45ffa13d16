#include "lib/interpreter.hpp"

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

#include "lib/py_ref.hpp"

namespace nimbo::py {
namespace {

std::int64_t g_interpreter_id = -1;

// The interpreter's exit, as seen by threads that let go of the interpreter
// lock in the middle of a call: once it has begun, taking the lock back would
// end the thread through C++ frames that cannot be unwound that way, so such
// a thread waits for the process to end instead (see retake_interpreter).
std::mutex g_exit_mutex;
std::condition_variable g_exit_retaken;
bool g_exiting = false;
unsigned long g_exiting_thread = 0;  // the thread that runs the exit
std::size_t g_retaking = 0;          // threads between the check and taking the lock

[[noreturn]] void wait_for_the_end() {
  while (true) std::this_thread::sleep_for(std::chrono::hours(1));
}

// Run by atexit, before the interpreter stops other threads from taking its
// lock: from now on, threads that let go of it in a call keep away from it,
// and those already on their way back get it first.
PyObject* close_calls(PyObject*, PyObject*) {
  {
    const std::lock_guard<std::mutex> lock(g_exit_mutex);
    g_exiting = true;
    g_exiting_thread = PyThread_get_thread_ident();
  }
  Py_BEGIN_ALLOW_THREADS {
    std::unique_lock<std::mutex> lock(g_exit_mutex);
    g_exit_retaken.wait(lock, [] { return g_retaking == 0; });
  }
  Py_END_ALLOW_THREADS Py_RETURN_NONE;
}

PyMethodDef g_close_calls = {"_close_nimbo_calls", close_calls, METH_NOARGS, nullptr};

bool watch_exit() {
  PyRef atexit = PyRef::steal(PyImport_ImportModule("atexit"));
  if (!atexit) return false;
  PyRef function = PyRef::steal(PyCFunction_New(&g_close_calls, nullptr));
  if (!function) return false;
  PyRef registered =
      PyRef::steal(PyObject_CallMethod(atexit.get(), "register", "O", function.get()));
  return static_cast<bool>(registered);
}

// Clears the interpreter's pending-SIGINT flag when it reports true;
// raise_interrupt() sets it again for the handler.
bool sigint_pending() {
  return PyOS_InterruptOccurred() != 0;
}

// Lets other threads take the interpreter lock (one that asked for it gets
// it before this thread goes on), then looks for a pending Ctrl-C (on the
// main thread; elsewhere the answer is no).
bool yield_then_sigint_pending() {
  retake_interpreter(PyEval_SaveThread());
  return sigint_pending();
}

// The state of the thread whose ReleasedInterpreter let go of the lock
// (null while the thread holds it).
thread_local PyThreadState* t_released = nullptr;

// Takes the lock for the moment of the look when the thread let go of it.
bool released_sigint_pending() {
  if (t_released == nullptr) return yield_then_sigint_pending();
  retake_interpreter(t_released);
  const bool pending = sigint_pending();
  t_released = PyEval_SaveThread();
  return pending;
}

}  // namespace

ReleasedInterpreter::ReleasedInterpreter() {
  t_released = PyEval_SaveThread();
}

ReleasedInterpreter::~ReleasedInterpreter() {
  retake();
}

void ReleasedInterpreter::retake() {
  if (t_released == nullptr) return;
  PyThreadState* saved = t_released;
  t_released = nullptr;
  retake_interpreter(saved);
}

UpdateControl ReleasedInterpreter::control() {
  return UpdateControl{&released_sigint_pending, 0};
}

bool check_interpreter(const char* module) {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) return false;
  if (g_interpreter_id < 0) {
    if (!watch_exit()) return false;
    g_interpreter_id = id;
  }
  if (id != g_interpreter_id) {
    PyErr_Format(PyExc_ImportError,
                 "%s does not support sub-interpreters: it is already loaded in another "
                 "interpreter of this process",
                 module);
    return false;
  }
  return true;
}

void retake_interpreter(PyThreadState* saved) {
  bool closed = false;
  {
    const std::lock_guard<std::mutex> lock(g_exit_mutex);
    closed = g_exiting && PyThread_get_thread_ident() != g_exiting_thread;
    if (!closed) ++g_retaking;
  }
  if (closed) wait_for_the_end();
  PyEval_RestoreThread(saved);
  {
    const std::lock_guard<std::mutex> lock(g_exit_mutex);
    --g_retaking;
  }
  g_exit_retaken.notify_all();
}

bool exiting_here() {
  const std::lock_guard<std::mutex> lock(g_exit_mutex);
  return g_exiting && PyThread_get_thread_ident() == g_exiting_thread;
}

UpdateControl interrupt_control() {
  return UpdateControl{&sigint_pending, 0};
}

UpdateControl call_control() {
  return UpdateControl{&yield_then_sigint_pending, 0};
}

PyObject* raise_interrupt() {
  PyErr_SetInterruptEx(SIGINT);
  if (PyErr_CheckSignals() < 0) return nullptr;
  // The handler returned normally, but the update did not finish.
  PyErr_SetNone(PyExc_KeyboardInterrupt);
  return nullptr;
}

}  // namespace nimbo::py

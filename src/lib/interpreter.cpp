#include "lib/interpreter.hpp"

#include <csignal>
#include <cstdint>

namespace nimbo::py {
namespace {

std::int64_t g_interpreter_id = -1;

// Clears the interpreter's pending-SIGINT flag when it reports true;
// raise_interrupt() sets it again for the handler.
bool sigint_pending() {
  return PyOS_InterruptOccurred() != 0;
}

// Lets other threads take the interpreter lock (one that asked for it gets
// it before this thread goes on), then looks for a pending Ctrl-C (on the
// main thread; elsewhere the answer is no).
bool yield_then_sigint_pending() {
  PyThreadState* saved = PyEval_SaveThread();
  PyEval_RestoreThread(saved);
  return sigint_pending();
}

}  // namespace

bool check_interpreter(const char* module) {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) return false;
  if (g_interpreter_id < 0) g_interpreter_id = id;
  if (id != g_interpreter_id) {
    PyErr_Format(PyExc_ImportError,
                 "%s does not support sub-interpreters: it is already loaded in another "
                 "interpreter of this process",
                 module);
    return false;
  }
  return true;
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

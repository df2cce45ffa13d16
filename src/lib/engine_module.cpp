// PyInit__engine: the extension module nimbo._engine, home of the APIs the
// nimbo package offers beside nimbo.core (which keeps its fixed surface).
#include "lib/fault.hpp"
#include "lib/interpreter.hpp"
#include "lib/number_functions.hpp"
#include "lib/py_ref.hpp"
#include "lib/python.hpp"
#include "lib/simulator_type.hpp"
#include "lib/testbench_type.hpp"
#include "lib/value_dict.hpp"
#include "lib/vector_error.hpp"

namespace nimbo::py {
namespace {

PyModuleDef engine_module = {
    PyModuleDef_HEAD_INIT,
    "nimbo._engine",
    "Batch simulation for the nimbo package: Simulator, VectorError, PanicException.",
    0,
    number_functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* g_module = nullptr;

bool add(PyObject* module, const char* name, PyObject* value) {
  if (value == nullptr) return false;
  return PyModule_AddObjectRef(module, name, value) == 0;
}

PyObject* init_engine() {
  if (!check_interpreter("nimbo._engine")) return nullptr;
  if (g_module == nullptr) {
    PyRef module = PyRef::steal(PyModule_Create(&engine_module));
    if (!module || !init_value_texts()) return nullptr;
    if (!add(module.get(), "Simulator", simulator_type()) ||
        !add(module.get(), "Testbench", testbench_type()) ||
        !add(module.get(), "VectorError", vector_error_type()) ||
        !add(module.get(), "PanicException", panic_exception_type())) {
      return nullptr;
    }
    g_module = module.release();
  }
  return Py_NewRef(g_module);
}

}  // namespace
}  // namespace nimbo::py

PyMODINIT_FUNC PyInit__engine() {
  return nimbo::py::entry([] { return nimbo::py::init_engine(); });
}

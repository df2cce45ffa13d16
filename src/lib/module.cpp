// PyInit_core: the entry of the extension module nimbo.core.
//
// Single-phase initialisation: the module object is made once per process
// and handed out again on later initialisations. Only the interpreter that
// first initialised the module may use it.
#include "lib/component_type.hpp"
#include "lib/fault.hpp"
#include "lib/interpreter.hpp"
#include "lib/py_ref.hpp"
#include "lib/python.hpp"
#include "lib/renderer_type.hpp"
#include "lib/value_dict.hpp"

namespace nimbo::py {
namespace {

PyModuleDef core_module = {
    PyModuleDef_HEAD_INIT, "core", "Módulo Python", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* g_module = nullptr;
// Appends `name` to the module's __all__ (creating it when absent), then sets
// the attribute. False with an exception set on failure.
bool register_attribute(PyObject* module, const char* name, PyObject* value) {
  if (value == nullptr) return false;
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  PyRef text = PyRef::steal(PyUnicode_FromString(name));
  if (!text || !PyList_Check(all.get()) || PyList_Append(all.get(), text.get()) < 0) {
    PyErr_Clear();
    throw Fault("could not append __name__ to __all__");
  }
  return PyObject_SetAttrString(module, name, value) == 0;
}

PyObject* create_module() {
  PyRef module = PyRef::steal(PyModule_Create2(&core_module, PYTHON_API_VERSION));
  if (!module) return nullptr;
  if (!init_value_texts()) return nullptr;
  if (!register_attribute(module.get(), "Component", component_type())) return nullptr;
  if (!register_attribute(module.get(), "Renderer", renderer_type())) return nullptr;
  PyRef version = PyRef::steal(PyUnicode_FromString(NIMBO_VERSION));
  if (!register_attribute(module.get(), "__version__", version.get())) return nullptr;
  return module.release();
}

PyObject* init_core() {
  if (!check_interpreter("nimbo.core")) return nullptr;
  if (g_module == nullptr) {
    g_module = create_module();
    if (g_module == nullptr) return nullptr;
  }
  Py_INCREF(g_module);
  return g_module;
}

}  // namespace
}  // namespace nimbo::py

PyMODINIT_FUNC PyInit_core() {
  return nimbo::py::entry([] { return nimbo::py::init_core(); });
}

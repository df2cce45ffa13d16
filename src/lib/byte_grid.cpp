#include "lib/byte_grid.hpp"

#include <algorithm>
#include <utility>

#include "lib/in_object.hpp"
#include "lib/py_ref.hpp"

namespace nimbo::py {
namespace {

constexpr int kMaxDimensions = 3;

struct Grid {
  std::vector<std::uint8_t> bytes;
  int dimensions = 0;
  Py_ssize_t shape[kMaxDimensions] = {};
  Py_ssize_t strides[kMaxDimensions] = {};
  Py_ssize_t length = 0;
};

struct GridObject {
  PyObject_HEAD InObject<Grid> grid;
};

Grid& grid_of(PyObject* self) {
  return reinterpret_cast<GridObject*>(self)->grid.get();
}

int grid_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  Grid& grid = grid_of(self);
  // Rows are C-contiguous: a consumer that asks for no shape reads them as
  // plain bytes.
  static std::uint8_t nothing = 0;
  view->buf = grid.bytes.empty() ? &nothing : grid.bytes.data();
  view->obj = Py_NewRef(self);
  view->len = grid.length;
  view->itemsize = 1;
  view->readonly = 0;
  view->ndim = grid.dimensions;
  view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? const_cast<char*>("B") : nullptr;
  view->shape = (flags & PyBUF_ND) == PyBUF_ND ? grid.shape : nullptr;
  view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? grid.strides : nullptr;
  view->suboffsets = nullptr;
  view->internal = nullptr;
  return 0;
}

void grid_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<GridObject*>(self)->grid.destroy();
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot grid_slots[] = {
    {Py_tp_doc, const_cast<char*>("Bytes behind a memoryview of simulation results.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(grid_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(grid_getbuffer)},
    {0, nullptr},
};

PyType_Spec grid_spec = {
    "nimbo.ByteGrid", static_cast<int>(sizeof(GridObject)), 0, Py_TPFLAGS_DEFAULT, grid_slots,
};

PyTypeObject* grid_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) type = PyType_FromSpec(&grid_spec);
  return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace

PyObject* byte_grid(std::vector<std::uint8_t> bytes, std::initializer_list<std::size_t> shape) {
  PyTypeObject* type = grid_type();
  if (type == nullptr) return nullptr;
  Grid grid;
  grid.dimensions = static_cast<int>(std::min<std::size_t>(shape.size(), kMaxDimensions));
  std::size_t length = 1;
  for (int d = 0; d < grid.dimensions; ++d) {
    grid.shape[d] = static_cast<Py_ssize_t>(shape.begin()[d]);
    length *= shape.begin()[d];
  }
  Py_ssize_t stride = 1;
  for (int d = grid.dimensions - 1; d >= 0; --d) {
    grid.strides[d] = stride;
    stride *= std::max<Py_ssize_t>(grid.shape[d], 1);
  }
  bytes.resize(length);
  grid.length = static_cast<Py_ssize_t>(length);
  grid.bytes = std::move(bytes);
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  reinterpret_cast<GridObject*>(self)->grid.construct(std::move(grid));
  PyRef owner = PyRef::steal(self);
  return PyMemoryView_FromObject(owner.get());
}

}  // namespace nimbo::py

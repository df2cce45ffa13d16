#include "lib/renderer_type.hpp"

#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "lib/arguments.hpp"
#include "lib/component_store.hpp"
#include "lib/component_type.hpp"
#include "lib/fault.hpp"
#include "lib/in_object.hpp"
#include "lib/py_text.hpp"
#include "lib/unraisable.hpp"
#include "renderer/renderer.hpp"

namespace nimbo::py {
namespace {

// Guards the renderer against overlapping use: any number of shared users
// or one exclusive user.
class AccessState {
 public:
  class Shared {
   public:
    explicit Shared(AccessState& state) : state_(state) {
      if (state_.users_ < 0) throw AccessError("Already mutably borrowed");
      ++state_.users_;
    }
    ~Shared() { --state_.users_; }
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;

   private:
    AccessState& state_;
  };

  class Exclusive {
   public:
    explicit Exclusive(AccessState& state) : state_(state) {
      if (state_.users_ != 0) throw AccessError("Already borrowed");
      state_.users_ = -1;
    }
    ~Exclusive() { state_.users_ = 0; }
    Exclusive(const Exclusive&) = delete;
    Exclusive& operator=(const Exclusive&) = delete;

   private:
    AccessState& state_;
  };

  // Overlapping use, raised as RuntimeError.
  struct AccessError {
    const char* message;
  };

 private:
  int users_ = 0;  // > 0: shared users, -1: exclusive
};

struct RendererData {
  explicit RendererData(Renderer rendered) : renderer(std::move(rendered)) {}

  Renderer renderer;
  std::thread::id owner = std::this_thread::get_id();
  AccessState access;
};

struct RendererObject {
  PyObject_HEAD InObject<RendererData> data;
};

constexpr Parameter kRendererNew{"Renderer.__new__", "ir"};

RendererData& data_of(PyObject* self) {
  return reinterpret_cast<RendererObject*>(self)->data.get();
}

bool on_owner_thread(const RendererData& data) {
  return data.owner == std::this_thread::get_id();
}

// The owner-thread check every entry point starts with.
RendererData& owned_data(PyObject* self) {
  RendererData& data = data_of(self);
  if (!on_owner_thread(data)) {
    throw Fault("nimbo::Renderer is unsendable, but sent to another thread");
  }
  return data;
}

PyObject* raise_access_error(const AccessState::AccessError& error) {
  PyErr_SetString(PyExc_RuntimeError, error.message);
  return nullptr;
}

PyObject* renderer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return entry([&]() -> PyObject* {
    PyObject* argument = single_argument(kRendererNew, args, kwargs);
    if (argument == nullptr) return nullptr;
    const std::optional<std::string_view> ir = utf8_argument(kRendererNew, argument);
    if (!ir) return nullptr;
    Renderer renderer{std::string(*ir)};
    Result<Component> rendered = renderer.render();
    if (!rendered.ok()) {
      return raise_error(PyExc_RuntimeError, "Failed to render circuit: " + rendered.error());
    }
    renderer.component() = std::move(rendered).value();
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    reinterpret_cast<RendererObject*>(self)->data.construct(std::move(renderer));
    return self;
  });
}

void renderer_dealloc(PyObject* self) {
  PendingErrorKeeper keep_pending;
  PyTypeObject* type = Py_TYPE(self);
  // The state holds nothing bound to its thread, so it is freed wherever the
  // last reference goes; a release on a foreign thread is still reported.
  if (!on_owner_thread(data_of(self))) {
    report_unraisable(PyExc_RuntimeError,
                      "nimbo::Renderer is unsendable, but is being dropped on another thread",
                      reinterpret_cast<PyObject*>(type));
  }
  reinterpret_cast<RendererObject*>(self)->data.destroy();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* renderer_text(PyObject* self) {
  return entry([&]() -> PyObject* {
    RendererData& data = owned_data(self);
    std::string text;
    try {
      AccessState::Shared access(data.access);
      text = "Renderer with IR length: " + std::to_string(data.renderer.ir().size());
    } catch (const AccessState::AccessError& error) {
      return raise_access_error(error);
    }
    return new_str(text);
  });
}

PyObject* get_component(PyObject* self, void*) {
  return entry([&]() -> PyObject* {
    RendererData& data = owned_data(self);
    std::optional<AccessState::Exclusive> access;
    try {
      access.emplace(data.access);
    } catch (const AccessState::AccessError& error) {
      return raise_access_error(error);
    }
    std::optional<Component> component = std::move(data.renderer.component());
    data.renderer.component().reset();
    if (!component) {
      PyErr_SetString(PyExc_RuntimeError, "Component not available or already taken");
      return nullptr;
    }
    std::string id = component->id();
    ComponentStore& store = ComponentStore::instance();
    const ComponentStore::Key key = store.add(std::move(*component));
    component.reset();
    PyObject* handle = make_component_handle(std::move(id), key);
    if (handle == nullptr) {
      // Without a handle the component is unreachable: release it.
      std::optional<Simulation> unreachable = store.take(key);
    }
    return handle;
  });
}

PyGetSetDef renderer_getset[] = {
    {"component", get_component, nullptr,
     "Obtém o componente renderizado - move para armazenamento global", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot renderer_slots[] = {
    {Py_tp_doc, const_cast<char*>("Renderer(ir)\n--\n\nWrapper PyClass para Renderer")},
    {Py_tp_new, reinterpret_cast<void*>(renderer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(renderer_dealloc)},
    {Py_tp_str, reinterpret_cast<void*>(renderer_text)},
    {Py_tp_repr, reinterpret_cast<void*>(renderer_text)},
    {Py_tp_getset, renderer_getset},
    {0, nullptr},
};

PyType_Spec renderer_spec = {
    "builtins.Renderer", static_cast<int>(sizeof(RendererObject)), 0, Py_TPFLAGS_DEFAULT,
    renderer_slots,
};

PyObject* g_renderer_type = nullptr;

}  // namespace

PyObject* renderer_type() {
  if (g_renderer_type == nullptr) g_renderer_type = PyType_FromSpec(&renderer_spec);
  return g_renderer_type;
}

}  // namespace nimbo::py

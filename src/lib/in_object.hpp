// InObject<T>: raw storage for one C++ object inside a CPython object layout.
//
// CPython allocates and frees the object's memory; the C++ member is placed
// into it explicitly after allocation and destroyed explicitly before the
// memory goes back. The storage keeps the enclosing struct standard-layout,
// so a PyObject* can be cast to it.
#pragma once

#include <memory>
#include <new>
#include <utility>

namespace nimbo::py {

template <class T>
class InObject {
 public:
  template <class... Args>
  T& construct(Args&&... args) {
    return *std::construct_at(pointer(), std::forward<Args>(args)...);
  }
  void destroy() noexcept { std::destroy_at(&get()); }

  T& get() noexcept { return *std::launder(pointer()); }

 private:
  T* pointer() noexcept { return reinterpret_cast<T*>(storage_); }

  alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace nimbo::py

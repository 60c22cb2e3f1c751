#pragma once

#include <memory>
#include <new>
#include <utility>

namespace linac {

// An allocator whose new elements are left uninitialised: a work array
// sized before a particle loop is first written by the thread that owns
// its slots, instead of being zero-filled by one thread beforehand.
template <class T>
struct UninitAllocator : std::allocator<T> {
  using std::allocator<T>::allocator;
  template <class U>
  struct rebind {
    using other = UninitAllocator<U>;
  };
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    if constexpr (sizeof...(Args) == 0)
      ::new (static_cast<void*>(p)) U;
    else
      ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

}  // namespace linac

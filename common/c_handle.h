#pragma once
// Owning handles for objects that C libraries allocate and free through a function of their
// own (json-c, libarchive, OpenSSL, libusb, libusbredirparser): `CHandle<json_object,
// json_object_put>` frees with json_object_put when it goes out of scope, and costs no more
// than the raw pointer because the free function is part of the type.

#include <memory>

template <auto Free>
struct FreeWith {
  template <typename T>
  void operator()(T* object) const {
    Free(object);
  }
};

template <typename T, auto Free>
using CHandle = std::unique_ptr<T, FreeWith<Free>>;

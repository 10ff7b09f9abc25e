#pragma once
// Owns one handle of the C-style modules (archive, settings, device manager, session): the
// handle variable starts empty, the module's init fills it through address(), and the
// module's destroy operation runs when the owner goes out of scope. Destroy operations accept
// an empty handle, so a failed init needs no special case.
template <typename Record, void (*Destroy)(Record**)>
class OwnedHandle {
 public:
  OwnedHandle() = default;
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  ~OwnedHandle() { Destroy(&record_); }

  Record** address() { return &record_; }
  Record* get() const { return record_; }

 private:
  Record* record_ = nullptr;
};

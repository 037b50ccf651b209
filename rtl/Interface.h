// Interfaces: GUIDs, the base interface, the one smart pointer template for
// every interface, and an intrusively counted object base.
//
// An interface is an abstract struct deriving (directly or through another
// interface) from IInterface, declaring `static constexpr GUID IID` and
// `using Base = <parent interface>`.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "rtl/Types.h"

namespace rtl {

struct GUID {
  uint32_t d1;
  uint16_t d2;
  uint16_t d3;
  uint8_t d4[8];
  friend constexpr bool operator==(const GUID& a, const GUID& b) {
    if (a.d1 != b.d1 || a.d2 != b.d2 || a.d3 != b.d3) return false;
    for (int i = 0; i < 8; ++i)
      if (a.d4[i] != b.d4[i]) return false;
    return true;
  }
};

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" upper case.
std::string GUIDToString(const GUID& g);

struct IInterface {
  static constexpr GUID IID = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
  // Stores a counted reference in *obj and returns S_OK, or stores null and
  // returns E_NOINTERFACE.
  virtual HResult QueryInterface(const GUID& iid, void** obj) = 0;
  // Return the new count.
  virtual int32_t AddRef() = 0;
  virtual int32_t Release() = 0;

 protected:
  ~IInterface() = default;
};

template <class I>
constexpr const GUID& IIDOf() { return I::IID; }

// Thrown by ComPtr::query when the object lacks the interface.
[[noreturn]] void ThrowIntfCastError(const GUID& iid);

// The one smart pointer for every interface: counted, copy-and-swap,
// explicit bool, adopt/detach/put for raw boundaries.
template <class T>
class ComPtr {
 public:
  ComPtr() noexcept = default;
  ComPtr(std::nullptr_t) noexcept {}
  // Takes a new reference.
  ComPtr(T* p) noexcept : p_(p) { if (p_) p_->AddRef(); }
  ComPtr(const ComPtr& o) noexcept : p_(o.p_) { if (p_) p_->AddRef(); }
  ComPtr(ComPtr&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  ComPtr(const ComPtr<U>& o) noexcept : p_(o.get()) { if (p_) p_->AddRef(); }
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  ComPtr(ComPtr<U>&& o) noexcept : p_(o.detach()) {}
  ~ComPtr() { if (p_) p_->Release(); }

  ComPtr& operator=(ComPtr o) noexcept { swap(o); return *this; }
  ComPtr& operator=(std::nullptr_t) noexcept { reset(); return *this; }

  // Wraps a pointer that already carries a reference for us.
  static ComPtr adopt(T* p) noexcept { ComPtr r; r.p_ = p; return r; }
  // Gives up ownership of the reference without releasing it.
  T* detach() noexcept { T* p = p_; p_ = nullptr; return p; }
  // Releases the current reference and returns the address to fill, for
  // out-parameters of interface calls.
  T** put() noexcept { reset(); return &p_; }
  void reset() noexcept { if (T* p = std::exchange(p_, nullptr)) p->Release(); }
  void swap(ComPtr& o) noexcept { std::swap(p_, o.p_); }

  T* get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  T& operator*() const noexcept { return *p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }

  // The same object as interface I, or null when it does not support it.
  template <class I>
  ComPtr<I> try_query() const {
    ComPtr<I> r;
    if (p_) p_->QueryInterface(I::IID, reinterpret_cast<void**>(r.put()));
    return r;
  }
  // The same object as interface I; throws the interface-cast error when it
  // does not support it (or is null).
  template <class I>
  ComPtr<I> query() const {
    ComPtr<I> r = try_query<I>();
    if (!r) ThrowIntfCastError(I::IID);
    return r;
  }

  friend bool operator==(const ComPtr& a, const ComPtr& b) { return a.p_ == b.p_; }
  friend bool operator==(const ComPtr& a, std::nullptr_t) { return a.p_ == nullptr; }

 private:
  T* p_ = nullptr;
};

// Whether two references denote the same object (compared by their
// IInterface identity).
bool SameObject(IInterface* a, IInterface* b);

namespace detail {
template <class I>
bool InterfaceMatches(const GUID& iid) {
  if (iid == I::IID) return true;
  if constexpr (!std::is_same_v<I, IInterface>) return InterfaceMatches<typename I::Base>(iid);
  return false;
}
}  // namespace detail

// Takes one reference off a count and returns what is left. The caller's
// reference being the only one left, no other thread can count the object
// any more (a thread only counts an object it holds a reference to), and
// the acquiring load orders every other thread's last use before the
// caller frees it: an atomic step fewer for every object freed.
inline int32_t DropReference(std::atomic<int32_t>& refs) noexcept {
  if (refs.load(std::memory_order_acquire) == 1) {
    refs.store(0, std::memory_order_relaxed);
    return 0;
  }
  return refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
}

// Counted object base: atomic count starting at 0, deleted when it drops to
// 0. Copying does not copy the count; assignment is deleted.
class TRefCounted {
 public:
  TRefCounted() = default;
  TRefCounted(const TRefCounted&) noexcept : refs_(0) {}
  TRefCounted& operator=(const TRefCounted&) = delete;
  virtual ~TRefCounted() = default;

  int32_t RefCount() const noexcept { return refs_.load(std::memory_order_acquire); }
  // The first reference to a fresh object, for its maker: nobody else can
  // see the object yet, so it takes no atomic step.
  void CountFirstReference() noexcept { refs_.store(1, std::memory_order_relaxed); }

 protected:
  int32_t DoAddRef() noexcept { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
  int32_t DoRelease() noexcept {
    const int32_t n = DropReference(refs_);
    if (n == 0) delete this;
    return n;
  }
  std::atomic<int32_t> refs_{0};
};

// Implements IInterface for a class that implements the interfaces Is...:
// QueryInterface answers each of them and their base interfaces; the first
// interface provides the IInterface identity.
template <class... Is>
class TInterfacedObject : public TRefCounted, public Is... {
 public:
  HResult QueryInterface(const GUID& iid, void** obj) override {
    if (!obj) return E_POINTER_;
    *obj = nullptr;
    if (iid == IInterface::IID) {
      *obj = static_cast<IInterface*>(static_cast<First*>(this));
    } else {
      (void)((detail::InterfaceMatches<Is>(iid) ? (*obj = static_cast<Is*>(this), true) : false) || ...);
      if (!*obj) return QueryOther(iid, obj);
    }
    AddRef();
    return S_OK_;
  }
  int32_t AddRef() override { return DoAddRef(); }
  int32_t Release() override { return DoRelease(); }

 protected:
  using First = std::tuple_element_t<0, std::tuple<Is...>>;
  // Extension point for interfaces that are not bases of this class: stores
  // a counted reference in *obj and returns S_OK, or returns E_NOINTERFACE
  // (the default).
  virtual HResult QueryOther(const GUID&, void**) { return E_NOINTERFACE_; }
};

}  // namespace rtl

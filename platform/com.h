// The small part of the component object model that the control and its
// containers share: result codes, GUIDs, reference-counted interfaces, the
// variant that crosses the script boundary, and the ids of the interfaces
// the control answers for.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace com {

using HRESULT = std::int32_t;
using ULONG = std::uint32_t;
using DWORD = std::uint32_t;
using DISPID = std::int32_t;

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001);
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002);
constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003);
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005);
constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFF);
constexpr HRESULT E_ACCESSDENIED = static_cast<HRESULT>(0x80070005);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000E);
constexpr HRESULT CLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = static_cast<HRESULT>(0x80040111);
constexpr HRESULT SELFREG_E_TYPELIB = static_cast<HRESULT>(0x80040200);
constexpr HRESULT SELFREG_E_CLASS = static_cast<HRESULT>(0x80040201);
constexpr HRESULT DISP_E_UNKNOWNNAME = static_cast<HRESULT>(0x80020006);
constexpr HRESULT DISP_E_MEMBERNOTFOUND = static_cast<HRESULT>(0x80020003);
constexpr HRESULT DISP_E_TYPEMISMATCH = static_cast<HRESULT>(0x80020005);
constexpr HRESULT DISP_E_BADPARAMCOUNT = static_cast<HRESULT>(0x8002000E);
constexpr HRESULT DISP_E_EXCEPTION = static_cast<HRESULT>(0x80020009);

constexpr DISPID DISPID_UNKNOWN = -1;

inline bool Succeeded(HRESULT hr) { return hr >= 0; }
inline bool Failed(HRESULT hr) { return hr < 0; }

// A 128-bit identifier in the usual layout; its text form is
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (upper-case hex).
struct GUID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];

  friend bool operator==(const GUID&, const GUID&) = default;
};
using IID = GUID;
using CLSID = GUID;

std::string GuidToString(const GUID& guid);
// Accepts the text form with or without braces, in any case.
std::optional<GUID> GuidFromString(std::string_view text);

// Reference-counted interface base. Every interface pointer handed out
// carries one reference for its receiver.
class IUnknown {
 public:
  virtual HRESULT QueryInterface(const IID& iid, void** out) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  ~IUnknown() = default;
};

// Owning pointer to an interface: releases its reference when it goes.
template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(std::nullptr_t) {}
  // Takes over a reference the caller already holds.
  static ComPtr Adopt(T* p) {
    ComPtr r;
    r.p_ = p;
    return r;
  }
  // Adds a reference of its own.
  static ComPtr Share(T* p) {
    if (p) p->AddRef();
    return Adopt(p);
  }
  ComPtr(const ComPtr& o) : p_(o.p_) {
    if (p_) p_->AddRef();
  }
  ComPtr(ComPtr&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  // A pointer to a derived interface or implementation, as its base.
  template <typename U>
    requires(!std::is_same_v<U, T> && std::is_convertible_v<U*, T*>)
  ComPtr(ComPtr<U> o) noexcept : p_(o.Detach()) {}
  ComPtr& operator=(ComPtr o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~ComPtr() { Reset(); }

  void Reset() {
    if (p_) {
      T* p = p_;
      p_ = nullptr;
      p->Release();
    }
  }
  T* Get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // For out parameters: releases what is held and gives the slot.
  T** Put() {
    Reset();
    return &p_;
  }
  void** PutVoid() { return reinterpret_cast<void**>(Put()); }
  T* Detach() {
    T* p = p_;
    p_ = nullptr;
    return p;
  }

 private:
  T* p_ = nullptr;
};

// Thread-safe reference count for implementations.
class RefCount {
 public:
  ULONG Add() { return ++n_; }
  ULONG Sub() { return --n_; }

 private:
  std::atomic<ULONG> n_{1};
};

// The one reference-counting base of every implementation of interfaces:
// an object starts with one reference, held by whoever made it, and
// deletes itself when its last reference goes. `Faces` are the interfaces
// it implements; it answers QueryInterface itself, handing each face out
// through Give.
template <typename... Faces>
class RefCounted : public Faces... {
 public:
  ULONG AddRef() override { return refs_.Add(); }
  ULONG Release() override {
    const ULONG n = refs_.Sub();
    if (n == 0) delete this;
    return n;
  }

 protected:
  RefCounted() = default;
  virtual ~RefCounted() = default;
  RefCounted(const RefCounted&) = delete;
  RefCounted& operator=(const RefCounted&) = delete;

  // Hands `face` out with a reference for the receiver.
  template <typename T>
  HRESULT Give(T* face, void** out) {
    *out = face;
    AddRef();
    return S_OK;
  }
  // The answer for a face the object lacks.
  static HRESULT NoInterface(void** out) {
    *out = nullptr;
    return E_NOINTERFACE;
  }

 private:
  RefCount refs_;
};

// A new reference-counted object, owned by the pointer returned.
template <typename T, typename... Args>
ComPtr<T> MakeRef(Args&&... args) {
  return ComPtr<T>::Adopt(new T(std::forward<Args>(args)...));
}

// A value crossing the script boundary. Texts are UTF-8 here; the control
// converts them to and from its ANSI code page at its dispatch boundary.
struct Null {
  friend bool operator==(Null, Null) { return true; }
};
using Variant = std::variant<std::monostate, Null, bool, std::int32_t, double, std::string>;

inline bool IsEmpty(const Variant& v) { return std::holds_alternative<std::monostate>(v); }

// Coercions in the manner of the platform's variant conversion, with the
// choices this system makes: a number becomes a 16-bit short by wrapping,
// a numeric text is read as a number first, other texts do not convert.
std::optional<std::int16_t> VariantToShort(const Variant& v);
// Numbers print as script prints them (no ".0" for integers), booleans as
// "true"/"false", empty and null as the empty text.
std::string VariantToText(const Variant& v);

// Ordered positional arguments of a call, first argument first.
using DispParams = std::vector<Variant>;

class IDispatch : public IUnknown {
 public:
  // Names match without regard to case.
  virtual HRESULT GetIDsOfNames(std::string_view name, DISPID* id) = 0;
  virtual HRESULT Invoke(DISPID id, const DispParams& args, Variant* result) = 0;

 protected:
  ~IDispatch() = default;
};

class IClassFactory : public IUnknown {
 public:
  virtual HRESULT CreateInstance(IUnknown* outer, const IID& iid, void** out) = 0;
  virtual HRESULT LockServer(bool lock) = 0;

 protected:
  ~IClassFactory() = default;
};

// Object safety: what a container asks before it lets script call the
// control or initialise it from persistent data.
constexpr DWORD INTERFACESAFE_FOR_UNTRUSTED_CALLER = 1;
constexpr DWORD INTERFACESAFE_FOR_UNTRUSTED_DATA = 2;

class IObjectSafety : public IUnknown {
 public:
  virtual HRESULT GetInterfaceSafetyOptions(const IID& iid, DWORD* supported, DWORD* enabled) = 0;
  virtual HRESULT SetInterfaceSafetyOptions(const IID& iid, DWORD mask, DWORD enabled) = 0;

 protected:
  ~IObjectSafety() = default;
};

class IServiceProvider : public IUnknown {
 public:
  virtual HRESULT QueryService(const GUID& service, const IID& iid, void** out) = 0;

 protected:
  ~IServiceProvider() = default;
};

// The container's side of an embedded object. It answers IServiceProvider
// when it can hand out the browser that shows the page.
class IOleClientSite : public IUnknown {
 protected:
  ~IOleClientSite() = default;
};

constexpr std::int32_t OLEIVERB_INPLACEACTIVATE = -5;

// An embedded object as its container drives it: sited, activated in place
// (it then creates its window on the calling thread's message loop), sized
// in pixels, and closed (its window destroyed) before the last release.
class IOleObject : public IUnknown {
 public:
  // A null site unsites the object.
  virtual HRESULT SetClientSite(IOleClientSite* site) = 0;
  virtual HRESULT DoVerb(std::int32_t verb) = 0;
  virtual HRESULT SetExtent(int width, int height) = 0;
  virtual HRESULT Close() = 0;

 protected:
  ~IOleObject() = default;
};

// Named properties, as a page's <param> elements give them.
class IPropertyBag : public IUnknown {
 public:
  virtual HRESULT Read(std::string_view name, Variant* value) = 0;
  virtual HRESULT Write(std::string_view name, const Variant& value) = 0;

 protected:
  ~IPropertyBag() = default;
};

class IPersistPropertyBag : public IUnknown {
 public:
  virtual HRESULT InitNew() = 0;
  virtual HRESULT Load(IPropertyBag* bag) = 0;
  virtual HRESULT Save(IPropertyBag* bag) = 0;

 protected:
  ~IPersistPropertyBag() = default;
};

// Persistent state as a block of bytes (stream and memory persistence share it).
class IPersistStreamInit : public IUnknown {
 public:
  virtual HRESULT InitNew() = 0;
  virtual HRESULT Load(const std::vector<std::uint8_t>& stream) = 0;
  virtual HRESULT Save(std::vector<std::uint8_t>* stream) = 0;

 protected:
  ~IPersistStreamInit() = default;
};

class IPersistMemory : public IUnknown {
 public:
  virtual HRESULT InitNew() = 0;
  virtual HRESULT Load(const std::uint8_t* data, std::size_t size) = 0;
  virtual HRESULT Save(std::uint8_t* data, std::size_t size) = 0;
  virtual HRESULT GetSizeMax(std::size_t* size) = 0;

 protected:
  ~IPersistMemory() = default;
};

// Well-known interface and service ids.
extern const IID IID_IUnknown;
extern const IID IID_IDispatch;
extern const IID IID_IClassFactory;
extern const IID IID_IObjectSafety;
extern const IID IID_IServiceProvider;
extern const IID IID_IOleClientSite;
extern const IID IID_IOleObject;
extern const IID IID_IPersistPropertyBag;
extern const IID IID_IPersistStreamInit;
extern const IID IID_IPersistStorage;
extern const IID IID_IPersistMemory;
extern const IID IID_IPropertyBag;
extern const IID IID_IWebBrowserApp;
extern const IID IID_IWebBrowser2;
extern const GUID SID_STopLevelBrowser;
extern const GUID SID_SWebBrowserApp;
extern const GUID GUID_NULL;

}  // namespace com

#include "control/WendexDispatch.h"

#include <tuple>
#include <type_traits>

#include "control/WendexCtrl.h"
#include "platform/codepage.h"

namespace {

// Argument coercion per parameter type.
template <typename T>
struct Param;

template <>
struct Param<const CString&> {
  using Value = CString;
  static bool From(const com::Variant& v, Value* out) {
    *out = codepage::Utf8ToAnsi(com::VariantToText(v));
    return true;
  }
};

template <>
struct Param<short> {
  using Value = short;
  static bool From(const com::Variant& v, Value* out) {
    auto s = com::VariantToShort(v);
    if (!s) return false;
    *out = *s;
    return true;
  }
};

inline void SetResult(com::Variant* result, short v) {
  if (result) *result = static_cast<std::int32_t>(v);
}
inline void SetResult(com::Variant* result, const CString& v) {
  if (result) *result = codepage::AnsiToUtf8(v);
}

template <typename R, typename... Args, std::size_t... I>
com::HRESULT InvokeWith(CWendexCtrl& ctrl, R (CWendexCtrl::*method)(Args...),
                        const com::DispParams& args, com::Variant* result,
                        std::index_sequence<I...>) {
  if (args.size() != sizeof...(Args)) return com::DISP_E_BADPARAMCOUNT;
  std::tuple<typename Param<Args>::Value...> values;
  bool ok = (Param<Args>::From(args[I], &std::get<I>(values)) && ...);
  if (!ok) return com::DISP_E_TYPEMISMATCH;
  if constexpr (std::is_void_v<R>) {
    (ctrl.*method)(std::get<I>(values)...);
    if (result) *result = std::monostate{};
  } else {
    SetResult(result, (ctrl.*method)(std::get<I>(values)...));
  }
  return com::S_OK;
}

template <auto Method>
com::HRESULT Thunk(CWendexCtrl& ctrl, const com::DispParams& args, com::Variant* result) {
  return []<typename R, typename... Args>(R (CWendexCtrl::*m)(Args...), CWendexCtrl& c,
                                          const com::DispParams& a, com::Variant* r) {
    return InvokeWith(c, m, a, r, std::index_sequence_for<Args...>{});
  }(Method, ctrl, args, result);
}

constexpr DispatchEntry kDispatchMap[] = {
    {1, "firstM", "()", &Thunk<&CWendexCtrl::firstM>},
    {2, "FPostM", "(BSTR HttpUrl, BSTR HttpHeader, BSTR HttpPara, BSTR MakeValue, SHORT GetType, SHORT ISRedirect, BSTR timeOut, BSTR appendMsg)", &Thunk<&CWendexCtrl::FPostM>},
    {3, "FGetM", "(BSTR HttpUrl, BSTR HttpHeader, BSTR MakeValue, SHORT GetType, SHORT ISRedirect, BSTR timeOut, BSTR appendMsg)", &Thunk<&CWendexCtrl::FGetM>},
    {4, "FFillForm", "(BSTR FormName, BSTR FormValue, BSTR appendMsg) SHORT", &Thunk<&CWendexCtrl::FFillForm>},
    {5, "FFillFormS", "(BSTR FormName, BSTR FormValue, BSTR appendMsg) SHORT", &Thunk<&CWendexCtrl::FFillFormS>},
    {6, "FSubmitForm", "(BSTR FormName, BSTR appendMsg) SHORT", &Thunk<&CWendexCtrl::FSubmitForm>},
    {7, "FAddToBody", "(BSTR addValue, BSTR appendMsg) SHORT", &Thunk<&CWendexCtrl::FAddToBody>},
    {8, "FAddToForm", "(BSTR FormName, BSTR NewValue, BSTR appendMsg) SHORT", &Thunk<&CWendexCtrl::FAddToForm>},
    {9, "FCallJSF", "(BSTR HttpUrl, BSTR JSFName, BSTR JSFValue, BSTR appendMsg) SHORT", &Thunk<&CWendexCtrl::FCallJSF>},
    {10, "FCallJSF1", "(BSTR HttpUrl, BSTR JSFName, BSTR JSFValue, BSTR appendMsg) SHORT", &Thunk<&CWendexCtrl::FCallJSF1>},
    {11, "FClickLink", "(BSTR LinkText, BSTR LinkSrc, BSTR appendMsg) SHORT", &Thunk<&CWendexCtrl::FClickLink>},
    {12, "FGetSource", "() BSTR", &Thunk<&CWendexCtrl::FGetSource>},
    {13, "FGetSrc", "() BSTR", &Thunk<&CWendexCtrl::FGetSrc>},
    {14, "FGetStatue", "() SHORT", &Thunk<&CWendexCtrl::FGetStatue>},
    {15, "FSetSrc", "(BSTR NewSrc, BSTR appendMsg) SHORT", &Thunk<&CWendexCtrl::FSetSrc>},
    {16, "FGetCookie", "() BSTR", &Thunk<&CWendexCtrl::FGetCookie>},
    {17, "FSetTarget", "(BSTR Target, SHORT IsChangeTarget, BSTR appendMsg) SHORT", &Thunk<&CWendexCtrl::FSetTarget>},
    {18, "FSetCookie", "(BSTR NewCookie, BSTR appendMsg) SHORT", &Thunk<&CWendexCtrl::FSetCookie>},
    {19, "FClickAction", "(BSTR type, BSTR name, BSTR src, BSTR appendMsg)", &Thunk<&CWendexCtrl::FClickAction>},
    {20, "FIsAlert", "(SHORT IsAlert, BSTR appendMsg)", &Thunk<&CWendexCtrl::FIsAlert>},
    {21, "FRefresh", "()", &Thunk<&CWendexCtrl::FRefresh>},
    {22, "FBack", "()", &Thunk<&CWendexCtrl::FBack>},
    {23, "FForward", "()", &Thunk<&CWendexCtrl::FForward>},
    {24, "FChangeAction", "(BSTR FormName, BSTR ActionValue, BSTR appendMsg) SHORT", &Thunk<&CWendexCtrl::FChangeAction>},
    {25, "FClickInput", "(BSTR type, BSTR name, BSTR value, BSTR appendMsg)", &Thunk<&CWendexCtrl::FClickInput>},
    {26, "FCloseEvent", "()", &Thunk<&CWendexCtrl::FCloseEvent>},
    {27, "FFillForm1", "(BSTR FormName, BSTR FormValue, SHORT IsChange, BSTR newAction, BSTR appendMsg) SHORT", &Thunk<&CWendexCtrl::FFillForm1>},
};

// A DISPID is the entry's 1-based position in the table.
constexpr bool DispidsArePositions() {
  for (std::size_t i = 0; i < std::size(kDispatchMap); ++i)
    if (kDispatchMap[i].dispid != static_cast<com::DISPID>(i + 1)) return false;
  return true;
}
static_assert(std::size(kDispatchMap) == 27 && DispidsArePositions());

bool NameEquals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

}  // namespace

std::span<const DispatchEntry> WendexDispatchTable() { return kDispatchMap; }

const DispatchEntry* FindDispatchEntry(std::string_view name) {
  for (const auto& e : kDispatchMap)
    if (NameEquals(e.name, name)) return &e;
  return nullptr;
}

const DispatchEntry* FindDispatchEntry(com::DISPID id) {
  if (id < 1 || id > static_cast<com::DISPID>(std::size(kDispatchMap))) return nullptr;
  return &kDispatchMap[id - 1];
}

#include "control/WendexApp.h"

#include <atomic>
#include <filesystem>

#include "control/Resources.h"
#include "control/WendexCtrl.h"
#include "control/WendexIds.h"
#include "platform/module.h"
#include "platform/registry.h"

namespace {

std::atomic<long> g_objects{0};
std::atomic<long> g_locks{0};
std::atomic<bool> g_factoriesAvailable{false};

constexpr const char* kClassesRoot = "HKEY_CLASSES_ROOT";
constexpr const char* kThreadingModel = "Apartment";
// The dispatch interfaces are marshalled by the automation marshaller.
constexpr const char* kAutomationProxy = "{00020424-0000-0000-C000-000000000046}";

// A class factory: creates one kind of object and registers its class.
class CClassFactory final : public com::IClassFactory {
 public:
  using Create = com::IUnknown* (*)();
  CClassFactory(const com::CLSID& clsid, Create create) : m_clsid(clsid), m_create(create) {}

  com::HRESULT QueryInterface(const com::IID& iid, void** out) override {
    if (!out) return com::E_POINTER;
    *out = nullptr;
    if (iid != com::IID_IUnknown && iid != com::IID_IClassFactory) return com::E_NOINTERFACE;
    *out = static_cast<com::IClassFactory*>(this);
    AddRef();
    return com::S_OK;
  }
  // Factories are static objects of the module; their references only count locks.
  com::ULONG AddRef() override { return 2; }
  com::ULONG Release() override { return 1; }

  com::HRESULT CreateInstance(com::IUnknown* outer, const com::IID& iid, void** out) override {
    if (!out) return com::E_POINTER;
    *out = nullptr;
    if (outer) return com::CLASS_E_NOAGGREGATION;
    if (!m_create) return com::CLASS_E_CLASSNOTAVAILABLE;
    com::IUnknown* object = m_create();
    if (!object) return com::E_OUTOFMEMORY;
    com::HRESULT hr = object->QueryInterface(iid, out);
    object->Release();
    return hr;
  }
  com::HRESULT LockServer(bool lock) override {
    CWendexApp::LockServer(lock);
    return com::S_OK;
  }

  const com::CLSID& clsid() const { return m_clsid; }

 private:
  com::CLSID m_clsid;
  Create m_create;
};

com::IUnknown* CreateWendexCtrl() { return static_cast<com::IDispatch*>(new CWendexCtrl()); }

// The property page is registered so that containers can find it; as a
// separate object it has nothing to show on this platform, so its factory
// creates none.
CClassFactory g_ctrlFactory(wendex::CLSID_WendexCtrl, &CreateWendexCtrl);
CClassFactory g_pageFactory(wendex::CLSID_WendexPropPage, nullptr);

struct FactoryRegistration {
  CClassFactory* factory;
  const char* progId;
  int typeNameId;
  bool isControl;
};

const FactoryRegistration kFactories[] = {
    {&g_ctrlFactory, wendex::kCtrlProgId, wendex::IDS_WENDEX, true},
    {&g_pageFactory, wendex::kPropPageProgId, wendex::IDS_WENDEX_PPG, false},
};

std::string Key(std::initializer_list<std::string> parts) {
  std::string k = kClassesRoot;
  for (const auto& p : parts) k += "\\" + p;
  return k;
}

bool Set(const std::string& key, const std::string& name, const std::string& value) {
  return registry::SetValue(key, name, value) == registry::Result::Ok;
}

bool Removed(registry::Result r) { return r == registry::Result::Ok || r == registry::Result::NotFound; }

std::string TypeLibVersion() {
  return std::to_string(wendex::kTypeLibMajor) + "." + std::to_string(wendex::kTypeLibMinor);
}

// The type library: the library entry and the two dispatch interfaces.
bool RegisterTypeLib(const std::string& path) {
  const std::string lib = com::GuidToString(wendex::LIBID_WendexLib);
  const std::string ver = TypeLibVersion();
  const std::string dir = std::filesystem::path(path).parent_path().string();
  if (!Set(Key({"TypeLib", lib, ver}), "", wendex::kTypeLibName)) return false;
  if (!Set(Key({"TypeLib", lib, ver, "0", "linux"}), "", path)) return false;
  if (!Set(Key({"TypeLib", lib, ver, "FLAGS"}), "", "0")) return false;
  if (!Set(Key({"TypeLib", lib, ver, "HELPDIR"}), "", dir)) return false;
  struct {
    const com::IID* iid;
    const char* name;
    const char* doc;
  } interfaces[] = {{&wendex::DIID__DWendex, "_DWendex", wendex::kDispatchDoc},
                    {&wendex::DIID__DWendexEvents, "_DWendexEvents", wendex::kEventsDoc}};
  for (const auto& i : interfaces) {
    const std::string id = com::GuidToString(*i.iid);
    if (!Set(Key({"Interface", id}), "", i.name)) return false;
    if (!Set(Key({"Interface", id, "ProxyStubClsid32"}), "", kAutomationProxy)) return false;
    if (!Set(Key({"Interface", id, "TypeLib"}), "", lib)) return false;
    if (!Set(Key({"Interface", id, "TypeLib"}), "Version", ver)) return false;
  }
  return true;
}

bool UnregisterTypeLib() {
  const std::string lib = com::GuidToString(wendex::LIBID_WendexLib);
  for (const com::IID* iid : {&wendex::DIID__DWendex, &wendex::DIID__DWendexEvents})
    if (!Removed(registry::DeleteKey(Key({"Interface", com::GuidToString(*iid)})))) return false;
  if (!Removed(registry::DeleteKey(Key({"TypeLib", lib, TypeLibVersion()})))) return false;
  if (registry::SubKeys(Key({"TypeLib", lib}), registry::View::Own).empty())
    if (!Removed(registry::DeleteKey(Key({"TypeLib", lib})))) return false;
  return true;
}

bool RegisterClass(const FactoryRegistration& f, const std::string& path) {
  const std::string clsid = com::GuidToString(f.factory->clsid());
  const std::string typeName = wendex::LoadString(f.typeNameId);
  if (!Set(Key({"CLSID", clsid}), "", typeName)) return false;
  if (!Set(Key({"CLSID", clsid, "InprocServer32"}), "", path)) return false;
  if (!Set(Key({"CLSID", clsid, "InprocServer32"}), "ThreadingModel", kThreadingModel)) return false;
  if (!Set(Key({"CLSID", clsid, "ProgID"}), "", f.progId)) return false;
  if (!Set(Key({f.progId}), "", typeName)) return false;
  if (!Set(Key({f.progId, "CLSID"}), "", clsid)) return false;
  if (!f.isControl) return true;
  const std::string lib = com::GuidToString(wendex::LIBID_WendexLib);
  if (registry::CreateKey(Key({"CLSID", clsid, "Control"})) != registry::Result::Ok) return false;
  if (!Set(Key({"CLSID", clsid, "MiscStatus"}), "", "0")) return false;
  if (!Set(Key({"CLSID", clsid, "MiscStatus", "1"}), "", std::to_string(CWendexCtrl::kMiscStatus)))
    return false;
  if (!Set(Key({"CLSID", clsid, "ToolboxBitmap32"}), "", path + ", 1")) return false;
  if (!Set(Key({"CLSID", clsid, "TypeLib"}), "", lib)) return false;
  if (!Set(Key({"CLSID", clsid, "Version"}), "", TypeLibVersion())) return false;
  return true;
}

bool UnregisterClass(const FactoryRegistration& f) {
  return Removed(registry::DeleteKey(Key({"CLSID", com::GuidToString(f.factory->clsid())}))) &&
         Removed(registry::DeleteKey(Key({f.progId})));
}

}  // namespace

// The module object: one per loaded module.
CWendexApp theApp;

CWendexApp::CWendexApp() { g_factoriesAvailable = true; }
CWendexApp::~CWendexApp() { g_factoriesAvailable = false; }

void CWendexApp::ObjectCreated() { ++g_objects; }
void CWendexApp::ObjectDestroyed() { --g_objects; }
void CWendexApp::LockServer(bool lock) { lock ? ++g_locks : --g_locks; }
bool CWendexApp::CanUnloadNow() { return g_objects == 0 && g_locks == 0; }

std::string CWendexApp::ModulePath() { return module::PathOf(reinterpret_cast<const void*>(&DllGetClassObject)); }

com::HRESULT CWendexApp::GetClassObject(const com::CLSID& clsid, const com::IID& iid, void** out) {
  if (!out) return com::E_POINTER;
  *out = nullptr;
  if (!g_factoriesAvailable) return com::CLASS_E_CLASSNOTAVAILABLE;
  for (const auto& f : kFactories)
    if (f.factory->clsid() == clsid) return f.factory->QueryInterface(iid, out);
  return com::CLASS_E_CLASSNOTAVAILABLE;
}

com::HRESULT CWendexApp::RegisterServer() {
  const std::string path = ModulePath();
  // The type library, then every factory's classes. The first failure ends it.
  if (path.empty() || !RegisterTypeLib(path)) return com::SELFREG_E_TYPELIB;
  for (const auto& f : kFactories)
    if (!RegisterClass(f, path)) return com::SELFREG_E_CLASS;
  return com::S_OK;
}

com::HRESULT CWendexApp::UnregisterServer() {
  if (!UnregisterTypeLib()) return com::SELFREG_E_TYPELIB;
  for (const auto& f : kFactories)
    if (!UnregisterClass(f)) return com::SELFREG_E_CLASS;
  return com::S_OK;
}

extern "C" {

[[gnu::visibility("default")]] com::HRESULT DllRegisterServer() { return CWendexApp::RegisterServer(); }
[[gnu::visibility("default")]] com::HRESULT DllUnregisterServer() { return CWendexApp::UnregisterServer(); }
[[gnu::visibility("default")]] com::HRESULT DllGetClassObject(const com::CLSID& clsid, const com::IID& iid,
                                                              void** out) {
  return CWendexApp::GetClassObject(clsid, iid, out);
}
[[gnu::visibility("default")]] com::HRESULT DllCanUnloadNow() {
  return CWendexApp::CanUnloadNow() ? com::S_OK : com::S_FALSE;
}
}

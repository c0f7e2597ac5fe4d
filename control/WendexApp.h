// The module object of Wendex.ocx: its class factories, its count of live
// objects (for DllCanUnloadNow) and its registration.
#pragma once

#include <string>

#include "platform/com.h"

class CWendexApp {
 public:
  // Start: makes the module's class factories available; exit: withdraws them.
  CWendexApp();
  ~CWendexApp();

  static void ObjectCreated();
  static void ObjectDestroyed();
  static bool CanUnloadNow();
  static void LockServer(bool lock);

  // The module's own file, as an absolute path.
  static std::string ModulePath();

  static com::HRESULT GetClassObject(const com::CLSID& clsid, const com::IID& iid, void** out);
  static com::HRESULT RegisterServer();
  static com::HRESULT UnregisterServer();
};

extern "C" {
com::HRESULT DllRegisterServer();
com::HRESULT DllUnregisterServer();
com::HRESULT DllGetClassObject(const com::CLSID& clsid, const com::IID& iid, void** out);
com::HRESULT DllCanUnloadNow();
}

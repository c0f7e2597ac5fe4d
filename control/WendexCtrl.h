// The publishing control: its script interface, object safety, siting in
// the hosting page, persistence of FisByUser, and its window, which holds
// the page with the hidden browser and receives the workers' messages.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "control/Callbacks.h"
#include "control/Messages.h"
#include "control/WendexPropPage.h"
#include "engine/dom.h"
#include "engine/view.h"
#include "platform/com.h"
#include "platform/loop.h"

// Narrow text in the system's ANSI code page.
using CString = std::string;


class enumIE;
class CFileSources;

class CWendexCtrl final : public com::RefCounted<com::IDispatch, com::IOleObject, com::IPersistPropertyBag,
                                                 com::IPersistStreamInit, com::IPersistMemory> {
 public:
  CWendexCtrl();
  CWendexCtrl(const CWendexCtrl&) = delete;
  CWendexCtrl& operator=(const CWendexCtrl&) = delete;

  // IUnknown (reference counting comes from the base)
  com::HRESULT QueryInterface(const com::IID& iid, void** out) override;

  // IDispatch: the 27 script methods, DISPIDs 1 to 27.
  com::HRESULT GetIDsOfNames(std::string_view name, com::DISPID* id) override;
  com::HRESULT Invoke(com::DISPID id, const com::DispParams& args, com::Variant* result) override;

  // IOleObject
  com::HRESULT SetClientSite(com::IOleClientSite* site) override;
  com::HRESULT DoVerb(std::int32_t verb) override;
  com::HRESULT SetExtent(int width, int height) override;
  com::HRESULT Close() override;

  // IPersistPropertyBag, IPersistStreamInit, IPersistMemory (one InitNew serves all three).
  com::HRESULT InitNew() override;
  com::HRESULT Load(com::IPropertyBag* bag) override;
  com::HRESULT Save(com::IPropertyBag* bag) override;
  com::HRESULT Load(const std::vector<std::uint8_t>& stream) override;
  com::HRESULT Save(std::vector<std::uint8_t>* stream) override;
  com::HRESULT Load(const std::uint8_t* data, std::size_t size) override;
  com::HRESULT Save(std::uint8_t* data, std::size_t size) override;
  com::HRESULT GetSizeMax(std::size_t* size) override;

  // Script methods (texts in the ANSI code page).
  void firstM();
  void FPostM(const CString& HttpUrl, const CString& HttpHeader, const CString& HttpPara,
              const CString& MakeValue, short GetType, short ISRedirect, const CString& timeOut,
              const CString& appendMsg);
  void FGetM(const CString& HttpUrl, const CString& HttpHeader, const CString& MakeValue,
             short GetType, short ISRedirect, const CString& timeOut, const CString& appendMsg);
  short FFillForm(const CString& FormName, const CString& FormValue, const CString& appendMsg);
  short FFillFormS(const CString& FormName, const CString& FormValue, const CString& appendMsg);
  short FSubmitForm(const CString& FormName, const CString& appendMsg);
  short FAddToBody(const CString& addValue, const CString& appendMsg);
  short FAddToForm(const CString& FormName, const CString& NewValue, const CString& appendMsg);
  short FCallJSF(const CString& HttpUrl, const CString& JSFName, const CString& JSFValue,
                 const CString& appendMsg);
  short FCallJSF1(const CString& HttpUrl, const CString& JSFName, const CString& JSFValue,
                  const CString& appendMsg);
  short FClickLink(const CString& LinkText, const CString& LinkSrc, const CString& appendMsg);
  CString FGetSource();
  CString FGetSrc();
  short FGetStatue();
  short FSetSrc(const CString& NewSrc, const CString& appendMsg);
  CString FGetCookie();
  short FSetTarget(const CString& Target, short IsChangeTarget, const CString& appendMsg);
  short FSetCookie(const CString& NewCookie, const CString& appendMsg);
  void FClickAction(const CString& type, const CString& name, const CString& src,
                    const CString& appendMsg);
  void FIsAlert(short IsAlert, const CString& appendMsg);
  void FRefresh();
  void FBack();
  void FForward();
  short FChangeAction(const CString& FormName, const CString& ActionValue, const CString& appendMsg);
  void FClickInput(const CString& type, const CString& name, const CString& value,
                   const CString& appendMsg);
  void FCloseEvent();
  short FFillForm1(const CString& FormName, const CString& FormValue, short IsChange,
                   const CString& newAction, const CString& appendMsg);

  // Object safety, through its nested interface.
  class XObjectSafety final : public com::IObjectSafety {
   public:
    explicit XObjectSafety(CWendexCtrl& ctrl) : m_ctrl(ctrl) {}
    com::HRESULT QueryInterface(const com::IID& iid, void** out) override;
    com::ULONG AddRef() override;
    com::ULONG Release() override;
    com::HRESULT GetInterfaceSafetyOptions(const com::IID& iid, com::DWORD* supported,
                                           com::DWORD* enabled) override;
    com::HRESULT SetInterfaceSafetyOptions(const com::IID& iid, com::DWORD mask,
                                           com::DWORD enabled) override;

   private:
    CWendexCtrl& m_ctrl;
  };

  // Fixed answers of the control.
  static constexpr std::uint32_t kMiscStatus = 0x20191;
  static constexpr std::uint32_t kNoFlickerActivate = 8;
  std::uint32_t GetControlFlags() const;
  std::uint32_t GetMiscStatus() const { return kMiscStatus; }
  int GetUserTypeNameID() const { return 1; }
  com::CLSID GetClassID() const;
  std::vector<com::CLSID> GetPropPageIDs() const;

  // What tests and the container may look at.
  loop::HWND hwnd() const;
  CWendexPropPage* page() const { return m_pPage.get(); }
  engine::Browser* hostBrowser() const { return m_pHostBrowser.Get(); }
  engine::ViewBox* viewBox() const { return m_pViewBox.Get(); }
  std::int16_t FisByUser() const { return m_FisByUser; }

  // The value FisByUser takes when the hosting page gives none: the hidden
  // browser then loads pages as a person's browser would.
  static constexpr std::int16_t kDefaultFisByUser = 1;

 private:
  class Window;
  ~CWendexCtrl() override;

  bool ExposesInterface(const com::IID& iid) const;
  void DoPropExchange(com::IPropertyBag* loadFrom);
  void ApplyFisByUser(std::int16_t value);

  // Messages.
  loop::LRESULT WindowProc(loop::Message& m);
  loop::LRESULT OnCreate(loop::Message& m);
  loop::LRESULT OnSize(loop::Message& m);
  loop::LRESULT OnNothing(loop::Message& m);
  loop::LRESULT OnWaitResult(loop::Message& m);
  loop::LRESULT OnPostResult(loop::Message& m);
  loop::LRESULT OnGetResult(loop::Message& m);
  static const loop::MessageMapEntry<CWendexCtrl> kMessageMap[7];

  // The hidden browser's current document (the common frame of the document methods).
  com::ComPtr<engine::Document> HiddenDocument() const;
  // The common frame of the document methods around one enumIE operation.
  template <typename Operation>
  short DocumentMethod(Operation operation);
  // What the control's workers may keep of it.
  CCtrlRef Ref() const;
  // The steps FPostM and FGetM share.
  void StartRequest(bool isPost, const CString& HttpUrl, const CString& HttpHeader, const CString& HttpPara,
                    const CString& MakeValue, short GetType, short ISRedirect, const CString& timeOut,
                    const CString& appendMsg);
  loop::LRESULT OnRequestResult(loop::Message& m);
  std::unique_ptr<CWaitValue> NewWaitJob(const CString& appendMsg) const;

  XObjectSafety m_xObjectSafety{*this};
  std::unique_ptr<CWendexPropPage> m_pPage;
  com::ComPtr<engine::Browser> m_pHostBrowser;
  // The control's area in the hosting page, where its browser is seen and
  // used; empty for a control without one (made by script, not by an element).
  com::ComPtr<engine::ViewBox> m_pViewBox;
  std::unique_ptr<Window> m_pWnd;
  // The files that form fills give file inputs, with the control's own
  // downloads: made at the first document method, gone with the control.
  std::unique_ptr<CFileSources> m_pFileSources;
  std::int16_t m_FisByUser = kDefaultFisByUser;
  int m_cx = CWendexPropPage::kTemplateWidth, m_cy = CWendexPropPage::kTemplateHeight;
};

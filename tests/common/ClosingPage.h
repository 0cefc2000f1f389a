// A property page that closes its frame: when the frame activates it, it
// presses Cancel, so a modal sheet ends by itself under Wine's null display
// driver. The members of IPropertyPage only; the class that serves it adds
// IUnknown (a fake of tests/common/FakeObject.h, or the kit's ObjectRoot) and,
// through Activated, what it records.
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <prsht.h>

namespace veska::test {

class ClosingPropertyPage : public IPropertyPage {
public:
    STDMETHODIMP SetPageSite(IPropertyPageSite*) override { return S_OK; }
    STDMETHODIMP SetObjects(ULONG, IUnknown**) override { return S_OK; }
    STDMETHODIMP Activate(HWND parent, LPCRECT, BOOL) override {
        const HWND frame = ::GetAncestor(parent, GA_ROOT);
        Activated(frame);
        ::PostMessageW(frame, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
        return S_OK;
    }
    STDMETHODIMP Deactivate() override { return S_OK; }
    STDMETHODIMP GetPageInfo(PROPPAGEINFO* info) override {
        if (info == nullptr) return E_POINTER;
        *info = PROPPAGEINFO{sizeof(PROPPAGEINFO), nullptr, {120, 60}, nullptr, nullptr, 0};
        info->pszTitle = static_cast<LPOLESTR>(::CoTaskMemAlloc(sizeof(L"Closing")));
        if (info->pszTitle != nullptr) ::lstrcpyW(info->pszTitle, L"Closing");
        return S_OK;
    }
    STDMETHODIMP Show(UINT) override { return S_OK; }
    STDMETHODIMP Move(LPCRECT) override { return S_OK; }
    STDMETHODIMP IsPageDirty() override { return S_FALSE; }
    STDMETHODIMP Apply() override { return S_OK; }
    STDMETHODIMP Help(LPCOLESTR) override { return E_NOTIMPL; }
    STDMETHODIMP TranslateAccelerator(MSG*) override { return S_FALSE; }

protected:
    // Called with the frame's window when the frame activates the page, before
    // Cancel is pressed.
    virtual void Activated(HWND /*frame*/) {}
};

}  // namespace veska::test

// The installation information component of the product's installation: the
// library asks it for the installation directory.
#pragma once

#include <windows.h>
#include <oaidl.h>

// {479B30A8-93C1-11D4-8EBA-0001022C3670}
inline constexpr CLSID CLSID_InstallationInfo = {
    0x479b30a8, 0x93c1, 0x11d4, {0x8e, 0xba, 0x00, 0x01, 0x02, 0x2c, 0x36, 0x70}};

// Members 1 and 2 are the component's own; the library calls only GetSetting.
MIDL_INTERFACE("F571BD5D-E778-11D3-8EE0-0050DA4F35E9")
IInstallationInfo : public IDispatch {
public:
    virtual HRESULT STDMETHODCALLTYPE get_ProductName(BSTR* name) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ProductVersion(BSTR* version) = 0;
    // The setting of that name; "Installation Dir" answers a VT_BSTR path.
    virtual HRESULT STDMETHODCALLTYPE GetSetting(BSTR name, VARIANT* value) = 0;
};
__CRT_UUID_DECL(IInstallationInfo, 0xf571bd5d, 0xe778, 0x11d3, 0x8e, 0xe0, 0x00, 0x50, 0xda, 0x4f,
                0x35, 0xe9)

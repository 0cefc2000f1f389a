// The embedded contract, read back through the platform's own type-library API:
// every interface, member, DISPID, parameter and help string of both editions.
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <string>

#include "TestPaths.h"
#include "TestRegistry.h"
#include "support/Owners.h"

namespace veska {
namespace {

std::wstring Hex(DWORD value, int digits) {
    wchar_t buffer[16];
    swprintf(buffer, 16, L"%0*lX", digits, value);
    return buffer;
}

std::wstring GuidText(const GUID& guid) {
    wchar_t buffer[40];
    StringFromGUID2(guid, buffer, 40);
    return buffer;
}

std::wstring TypeName(ITypeInfo* info, const TYPEDESC& type) {
    switch (type.vt) {
        case VT_PTR: return TypeName(info, *type.lptdesc) + L"*";
        case VT_SAFEARRAY: return L"SAFEARRAY(" + TypeName(info, *type.lptdesc) + L")";
        case VT_USERDEFINED: {
            ComPtr<ITypeInfo> ref;
            UniqueBstr name;
            if (FAILED(info->GetRefTypeInfo(type.hreftype, ref.put())) ||
                FAILED(ref->GetDocumentation(MEMBERID_NIL, name.put(), nullptr, nullptr, nullptr))) {
                return L"?";
            }
            return name.get();
        }
        case VT_INT: return L"int";
        case VT_I4: return L"long";
        case VT_UI4: return L"unsigned long";
        case VT_I8: return L"hyper";
        case VT_BSTR: return L"BSTR";
        case VT_BOOL: return L"VARIANT_BOOL";
        case VT_VARIANT: return L"VARIANT";
        case VT_UNKNOWN: return L"IUnknown*";
        case VT_HRESULT: return L"HRESULT";
        case VT_VOID: return L"void";
        default: return L"vt" + std::to_wstring(type.vt);
    }
}

std::wstring ParamFlags(const PARAMDESC& desc) {
    std::wstring flags;
    auto add = [&](USHORT bit, const wchar_t* name) {
        if (desc.wParamFlags & bit) flags += flags.empty() ? name : std::wstring(L",") + name;
    };
    add(PARAMFLAG_FIN, L"in");
    add(PARAMFLAG_FOUT, L"out");
    add(PARAMFLAG_FRETVAL, L"retval");
    add(PARAMFLAG_FOPT, L"optional");
    if ((desc.wParamFlags & PARAMFLAG_FHASDEFAULT) && desc.pparamdescex != nullptr) {
        VARIANT value;
        VariantInit(&value);
        VariantChangeType(&value, &desc.pparamdescex->varDefaultValue, 0, VT_BSTR);
        flags += std::wstring(L",default=") + (value.vt == VT_BSTR ? value.bstrVal : L"?");
        VariantClear(&value);
    }
    return L"[" + flags + L"] ";
}

const wchar_t* InvokeKind(INVOKEKIND kind) {
    switch (kind) {
        case INVOKE_PROPERTYGET: return L"propget ";
        case INVOKE_PROPERTYPUT: return L"propput ";
        case INVOKE_PROPERTYPUTREF: return L"propputref ";
        default: return L"";
    }
}

std::wstring TypeFlags(WORD flags) {
    std::wstring text;
    if (flags & TYPEFLAG_FDUAL) text += L" dual";
    if (flags & TYPEFLAG_FOLEAUTOMATION) text += L" oleautomation";
    if (flags & TYPEFLAG_FDISPATCHABLE) text += L" dispatchable";
    if (flags & TYPEFLAG_FCANCREATE) text += L" cancreate";
    return text;
}

// One line for the type, then one per member in vtable order (own members only).
std::wstring DescribeInterface(ITypeInfo* info) {
    TYPEATTR* attr = nullptr;
    if (FAILED(info->GetTypeAttr(&attr))) return L"<no attributes>";
    UniqueBstr name, help;
    info->GetDocumentation(MEMBERID_NIL, name.put(), help.put(), nullptr, nullptr);
    std::wstring text = std::wstring(name.get()) + L" " + GuidText(attr->guid) + TypeFlags(attr->wTypeFlags);
    if (attr->cImplTypes > 0) {
        HREFTYPE baseRef = 0;
        ComPtr<ITypeInfo> base;
        UniqueBstr baseName;
        info->GetRefTypeOfImplType(0, &baseRef);
        info->GetRefTypeInfo(baseRef, base.put());
        base->GetDocumentation(MEMBERID_NIL, baseName.put(), nullptr, nullptr, nullptr);
        text += std::wstring(L" : ") + baseName.get();
    }
    if (help) text += std::wstring(L" \"") + help.get() + L"\"";
    text += L"\n";
    for (UINT i = 0; i < attr->cFuncs; ++i) {
        FUNCDESC* func = nullptr;
        if (FAILED(info->GetFuncDesc(i, &func))) continue;
        BSTR names[16] = {};
        UINT count = 0;
        info->GetNames(func->memid, names, 16, &count);
        UniqueBstr funcHelp;
        info->GetDocumentation(func->memid, nullptr, funcHelp.put(), nullptr, nullptr);
        text += L"  " + Hex(static_cast<DWORD>(func->memid), 0) + L" " + InvokeKind(func->invkind) +
                TypeName(info, func->elemdescFunc.tdesc) + L" " + names[0] + L"(";
        for (SHORT p = 0; p < func->cParams; ++p) {
            const ELEMDESC& param = func->lprgelemdescParam[p];
            if (p > 0) text += L", ";
            text += ParamFlags(param.paramdesc) + TypeName(info, param.tdesc);
            // A property put's value has no name of its own.
            const bool named = func->invkind != INVOKE_PROPERTYPUT || p + 1 < func->cParams;
            if (named && static_cast<UINT>(p + 1) < count) text += std::wstring(L" ") + names[p + 1];
        }
        text += L")";
        if (funcHelp) text += std::wstring(L" \"") + funcHelp.get() + L"\"";
        text += L"\n";
        for (UINT n = 0; n < count; ++n) SysFreeString(names[n]);
        info->ReleaseFuncDesc(func);
    }
    info->ReleaseTypeAttr(attr);
    return text;
}

// The library line, then every type of the library in its order: interfaces with
// their members (the vtable half of dual interfaces), coclasses with their list.
std::wstring DescribeLibrary(const wchar_t* path) {
    ComPtr<ITypeLib> library;
    if (FAILED(LoadTypeLibEx(path, REGKIND_NONE, library.put()))) return L"<cannot load>";
    TLIBATTR* libAttr = nullptr;
    library->GetLibAttr(&libAttr);
    UniqueBstr libName, libHelp;
    library->GetDocumentation(-1, libName.put(), libHelp.put(), nullptr, nullptr);
    std::wstring text = std::wstring(libName.get()) + L" " + GuidText(libAttr->guid) + L" " +
                        std::to_wstring(libAttr->wMajorVerNum) + L"." +
                        std::to_wstring(libAttr->wMinorVerNum) + L" \"" + libHelp.get() + L"\"\n";
    library->ReleaseTLibAttr(libAttr);

    for (UINT i = 0; i < library->GetTypeInfoCount(); ++i) {
        ComPtr<ITypeInfo> info;
        library->GetTypeInfo(i, info.put());
        TYPEKIND kind;
        library->GetTypeInfoType(i, &kind);
        if (kind == TKIND_DISPATCH) {
            // The vtable half of a dual interface carries the member list.
            HREFTYPE ref = 0;
            ComPtr<ITypeInfo> vtable;
            if (SUCCEEDED(info->GetRefTypeOfImplType(-1, &ref)) &&
                SUCCEEDED(info->GetRefTypeInfo(ref, vtable.put()))) {
                text += L"dispatch+" + DescribeInterface(vtable.get());
                continue;
            }
            text += L"dispinterface " + DescribeInterface(info.get());
            continue;
        }
        if (kind == TKIND_COCLASS) {
            TYPEATTR* attr = nullptr;
            info->GetTypeAttr(&attr);
            UniqueBstr name, help;
            info->GetDocumentation(MEMBERID_NIL, name.put(), help.put(), nullptr, nullptr);
            text += std::wstring(L"coclass ") + name.get() + L" " + GuidText(attr->guid) +
                    TypeFlags(attr->wTypeFlags) + L" \"" + help.get() + L"\"\n";
            for (UINT n = 0; n < attr->cImplTypes; ++n) {
                HREFTYPE ref = 0;
                INT implFlags = 0;
                ComPtr<ITypeInfo> impl;
                UniqueBstr implName;
                info->GetRefTypeOfImplType(n, &ref);
                info->GetImplTypeFlags(n, &implFlags);
                info->GetRefTypeInfo(ref, impl.put());
                impl->GetDocumentation(MEMBERID_NIL, implName.put(), nullptr, nullptr, nullptr);
                text += std::wstring(L"  ") + ((implFlags & IMPLTYPEFLAG_FDEFAULT) ? L"[default] " : L"") +
                        ((implFlags & IMPLTYPEFLAG_FSOURCE) ? L"[source] " : L"") + implName.get() + L"\n";
            }
            info->ReleaseTypeAttr(attr);
            continue;
        }
        if (kind == TKIND_INTERFACE) {
            text += L"interface " + DescribeInterface(info.get());
            continue;
        }
        UniqueBstr name;
        info->GetDocumentation(MEMBERID_NIL, name.put(), nullptr, nullptr, nullptr);
        text += L"type " + std::to_wstring(kind) + L" " + name.get() + L"\n";
    }
    return text;
}

// The library as both editions describe it, cut where the editions differ.
const std::wstring kLibraryHead =
    LR"(VESKAOPTIONSLib {479B30AF-93C1-11D4-8EBA-0001022C3670} 1.0 "VeskaOptions 1.0 Type Library"
dispatch+IVeskaOptions {C9525664-3CB1-11D2-8E30-006008CB51DA} dual oleautomation dispatchable : IDispatch "IVeskaOptions Interface"
  1 HRESULT Init([in] int MainKey, [in] BSTR Root) "method Init"
  2 HRESULT Apply() "method Apply"
  3 HRESULT GetKeys([in] BSTR Root, [out] SAFEARRAY(BSTR)* Keys) "method GetKeys"
  4 HRESULT SetKeys([in] BSTR Root, [in] SAFEARRAY(BSTR) Keys, [] long UpdateAll) "method SetKeys"
  5 HRESULT GetValues([in] BSTR Root, [out] SAFEARRAY(VARIANT)* Values) "method GetValues"
  6 HRESULT GetValueByName([in] BSTR Root, [in] BSTR Attr, [out,retval] VARIANT* Val) "method GetValueByName"
  7 HRESULT SetValueByName([in] BSTR Root, [in] BSTR Attr, [in] VARIANT* Val, [in] long ChangeDefault, [in,optional,default=1] long SetDirtyBit) "method SetValueByName"
  8 HRESULT SetValues([in] BSTR Root, [in] SAFEARRAY(VARIANT) Values, [] long UpdateAll) "method SetValues"
  9 propget HRESULT Dirty([out,retval] VARIANT_BOOL* pVal) "property Dirty"
  9 propput HRESULT Dirty([in] VARIANT_BOOL) "property Dirty"
  B HRESULT RemoveValueByName([in] BSTR Root, [in] BSTR Attr, [in,optional,default=0] long ChangeDefault) "method RemoveValueByName"
  C HRESULT RemoveValues([in] BSTR Root, [in,optional,default=0] long ChangeDefault) "method RemoveValues"
  D HRESULT RemoveKey([in] BSTR Root, [in,optional,default=0] long ChangeDefault) "method RemoveKey"
dispatch+IVeskaOptions2 {A7F224D4-740A-11D3-A866-00104B3DEDFC} dual oleautomation dispatchable : IVeskaOptions "IVeskaOptions2 Interface"
  A propget HRESULT Root([out,retval] BSTR* Root) "property Root"
  A propput HRESULT Root([in] BSTR) "property Root"
dispatch+IVeskaOptions3 {5FB4527D-62AA-4B16-AAF6-245D66D324BE} dual oleautomation dispatchable : IVeskaOptions2
  60040000 HRESULT AddKey([in] BSTR Root, [in] long ChangeDefault)
  60040001 HRESULT AddValueByName([in] BSTR Root, [in] BSTR Attr, [in] VARIANT* Val, [in] long ChangeDefault)
dispatch+IVeskaOptionsDiagnostics {FFD013DD-B3F1-4FA4-9273-10E7A05DEAE8} dual oleautomation dispatchable : IDispatch
  1 HRESULT GetValueOrigin([in] BSTR Root, [in] BSTR Attr, [out,retval] VARIANT* Origin)
  2 HRESULT GetSettingsFiles([out,retval] VARIANT* Files)
  3 propget HRESULT KeyCount([out,retval] long* Count)
  4 propget HRESULT ValueCount([out,retval] long* Count)
  5 propget HRESULT OverriddenCount([out,retval] long* Count)
  6 propget HRESULT SettingsFolder([out,retval] BSTR* Folder)
  7 HRESULT CheckSettings([in] BSTR Path, [out,retval] VARIANT* Files)
)";

// Live options: the current edition's library alone describes them.
const std::wstring kLiveInterfaces =
    LR"(dispatch+IVeskaOptionsLive {3D0E8A51-6C2B-4E47-9F0B-2A7D5C81E4B6} dual oleautomation dispatchable : IDispatch
  1 HRESULT Watch([in] long What)
  2 HRESULT Unwatch()
  3 propget HRESULT Watching([out,retval] long* What)
  4 HRESULT Refresh([out,retval] long* Changed)
  5 propput HRESULT OnChanged([in] VARIANT)
  5 propputref HRESULT OnChanged([in] VARIANT)
  6 HRESULT WaitForChange([in] long Milliseconds, [out,retval] VARIANT_BOOL* Delivered)
dispinterface _IVeskaOptionsLiveEvents {8B4F2C17-5E9A-4D63-B1C8-0E6F3A92D7C4} dispatchable : IDispatch
  1 void Changed([in] BSTR Key, [in] BSTR Name, [in] long Kind)
dispatch+IVeskaOptionsPolicy {6A41C3E2-9B57-4F0D-8E26-D1F4A7B3C958} dual oleautomation dispatchable : IDispatch
  1 HRESULT IsLocked([in] BSTR Root, [in] BSTR Attr, [out,retval] VARIANT_BOOL* Locked)
  2 propget HRESULT PolicyRoot([out,retval] BSTR* Root)
  3 propget HRESULT LockedCount([out,retval] long* Count)
type 0 VeskaChange
)";

const std::wstring kProviderHead =
    LR"(dispatch+IPropertyProvider {356744E0-FE39-11D2-9270-00500402D4C2} dual oleautomation dispatchable : IDispatch "IPropertyProvider Interface"
  1 HRESULT RegisterObject([in] IUnknown* pObj) "method RegisterObject"
  2 HRESULT DoPropertySheet([in] wireHWND hwParent) "method DoPropertySheet"
  3 HRESULT UnRegisterObject([in] IUnknown* pObj) "method UnRegisterObject"
type 6 wireHWND
type 1 _RemotableHandle
type 7 __WIDL_VeskaOptions_generated_name_00000008
dispatch+IPropertyProvider2 {B43B53EA-C565-474C-8B9C-543748C88392} dual oleautomation dispatchable : IPropertyProvider "IPropertyProvider2 Interface"
  4 HRESULT DoNewPropertySheet([in] wireHWND hwParent, [in] BSTR sFormTitle) "method DoNewPropertySheet"
interface IPropertyPageInformation {92C9DE82-A116-4935-8469-2294F4FF1CE0} : IUnknown "IPropertyPageInformation Interface"
  1 propget HRESULT ReadOnly([out,retval] VARIANT_BOOL* pVal) "property ReadOnly"
  1 propput HRESULT ReadOnly([in] VARIANT_BOOL) "property ReadOnly"
)";

const std::wstring kCurrentOnlyInterfaces =
    LR"(interface IPropertyPageInformation2 {AA0FA360-E882-4EA4-82B7-564EAC19E93A} : IPropertyPageInformation "IPropertyPageInformation2 Interface"
  2 propget HRESULT PropertySheetReadOnly([out,retval] VARIANT_BOOL* pVal) "property PropertySheetReadOnly"
  2 propput HRESULT PropertySheetReadOnly([in] VARIANT_BOOL) "property PropertySheetReadOnly"
interface IKvtOptions {B7F0EEF0-DD45-4068-8488-62DAB2D31695} : IUnknown
  60010000 HRESULT ShowOptionsDialog([in] unsigned long iObjsCount, [in] SAFEARRAY(VARIANT) aUnkPages, [in] unsigned long iNumPages, [in] SAFEARRAY(BSTR) aPagesGuids, [in] hyper iParentWindow, [in] BSTR sHelpDirectory, [in] VARIANT_BOOL bPropertySheetReadOnly, [in] BSTR sFormTitle)
)";

const std::wstring kPageObjectInterfacesAndOptionsClass =
    LR"(interface IPropertyPageStyle {EDE456D1-F145-4757-848F-9E0BDC5C044D} : IUnknown "IPropertyPageStyle Interface"
  1 propput HRESULT PropertySheetStyle([in] VARIANT_BOOL) "property PropertySheetStyle"
interface IPropertyPageChildrens {B4345F2F-F87C-4F6C-9BD9-C0240EE017D9} : IUnknown "IPropertyPageStyle Interface"
  1 propget HRESULT Childrens([out,retval] SAFEARRAY(BSTR)* Values) "property Childrens"
coclass VeskaOptions {479B30A2-93C1-11D4-8EBA-0001022C3670} cancreate "VeskaOptions Class"
  IVeskaOptions
  [default] IVeskaOptions2
)";

const std::wstring kProviderClass =
    LR"(coclass PropertyProvider {479B30A4-93C1-11D4-8EBA-0001022C3670} cancreate "PropertyProvider Class"
  [default] IPropertyProvider
  IPropertyPageInformation
)";

TEST(TypeLibrary, CurrentEditionDescribesTheWholeContract) {
    const std::wstring expected = kLibraryHead + kLiveInterfaces + kProviderHead +
                                  kCurrentOnlyInterfaces + kPageObjectInterfacesAndOptionsClass +
                                  L"  [default] [source] _IVeskaOptionsLiveEvents\n" + kProviderClass +
                                  LR"(  IPropertyProvider3
  IPropertyProvider4
dispatch+IPropertyProvider3 {87A52BA7-2254-4C03-A1BA-482246ACBB53} dual oleautomation dispatchable : IPropertyProvider2 "IPropertyProvider3 Interface"
  5 HRESULT GetRegisteredObj([in] GUID guidIn, [out] IUnknown** pOutVal) "method GetRegisteredObj"
  6 HRESULT GetRegisteredObjects([out,retval] SAFEARRAY(IUnknown*)* Values) "method GetRegisteredObjects"
  7 HRESULT GetRegisteredPageGuids([out,retval] SAFEARRAY(BSTR)* PageGuids) "method GetRegisteredPageGuids"
dispatch+IPropertyProvider4 {5C5E04FF-6AAC-4846-B767-65BA6B899EA9} dual oleautomation dispatchable : IPropertyProvider3 "IPropertyProvider4 Interface"
  8 propputref HRESULT Options([in] vt9) "property Options"
  8 propget HRESULT Options([out,retval] vt9*) "property Options"
  9 HRESULT IsLocked([in] BSTR Key, [in] BSTR Name, [out,retval] VARIANT_BOOL* Locked) "method IsLocked"
)";
    EXPECT_EQ(DescribeLibrary(VESKA_TEST_TLB(L"current")), expected);
}

TEST(TypeLibrary, EarlierEditionLacksTheNewestProviderInterfaces) {
    const std::wstring expected =
        kLibraryHead + kProviderHead + kPageObjectInterfacesAndOptionsClass + kProviderClass;
    EXPECT_EQ(DescribeLibrary(VESKA_TEST_TLB(L"earlier")), expected);
}

TEST(TypeLibrary, IsBuiltForThisProgramsPlatform) {
    for (const wchar_t* edition : {L"current", L"earlier"}) {
        for (const wchar_t* file : {L"\\VeskaOptions.dll", L"\\VeskaOptions.tlb"}) {
            const std::wstring path = std::wstring(VESKA_TEST_BUILD_DIR) + L"\\" + edition + file;
            ComPtr<ITypeLib> library;
            ASSERT_EQ(LoadTypeLibEx(path.c_str(), REGKIND_NONE, library.put()), S_OK) << path;
            TLIBATTR* attr = nullptr;
            ASSERT_EQ(library->GetLibAttr(&attr), S_OK);
            EXPECT_EQ(attr->syskind, test::kOwnSysKind) << path;
            library->ReleaseTLibAttr(attr);
        }
    }
}

TEST(TypeLibrary, EmbeddedResourceIsTheBuiltLibrary) {
    // The DLL carries the same library as TYPELIB 1, language 1033.
    for (const wchar_t* edition : {L"current", L"earlier"}) {
        const std::wstring dll = std::wstring(VESKA_TEST_BUILD_DIR) + L"\\" + edition + L"\\VeskaOptions.dll";
        const std::wstring tlb = std::wstring(VESKA_TEST_BUILD_DIR) + L"\\" + edition + L"\\VeskaOptions.tlb";
        HMODULE module = LoadLibraryExW(dll.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(module, nullptr) << edition;
        EXPECT_NE(FindResourceExW(module, L"TYPELIB", MAKEINTRESOURCEW(1),
                                  MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)),
                  nullptr);
        FreeLibrary(module);
        EXPECT_EQ(DescribeLibrary(dll.c_str()), DescribeLibrary(tlb.c_str())) << edition;
    }
}

}  // namespace
}  // namespace veska

// The built DLL as the component runtime sees it: its exports, class objects,
// lock count and instances of both classes, loaded from its file.
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "TestPaths.h"
#include "VeskaOptions_h.h"
#include "support/Owners.h"
#include "tests/common/FakeObject.h"

namespace veska {
namespace {

#ifdef VESKA_EARLIER_EDITION
#define EDITION L"earlier"
constexpr bool kCurrent = false;
#else
#define EDITION L"current"
constexpr bool kCurrent = true;
#endif

using GetClassObjectFn = HRESULT(__stdcall*)(REFCLSID, REFIID, void**);
using CanUnloadFn = HRESULT(__stdcall*)();

template <class Fn>
Fn Export(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// Loads the DLL afresh for each test, so its lock count starts from zero.
class Dll : public ::testing::Test {
protected:
    void SetUp() override {
        module_ = LoadLibraryW(VESKA_TEST_DLL(EDITION));
        ASSERT_NE(module_, nullptr);
        getClassObject_ = Export<GetClassObjectFn>(module_, "DllGetClassObject");
        canUnload_ = Export<CanUnloadFn>(module_, "DllCanUnloadNow");
        ASSERT_NE(getClassObject_, nullptr);
        ASSERT_NE(canUnload_, nullptr);
    }
    void TearDown() override {
        EXPECT_EQ(canUnload_(), S_OK) << "the test left something alive";
        FreeLibrary(module_);
    }

    ComPtr<IClassFactory> Factory(REFCLSID clsid) {
        ComPtr<IClassFactory> factory;
        EXPECT_EQ(getClassObject_(clsid, IID_IClassFactory, factory.put_void()), S_OK);
        return factory;
    }

    HMODULE module_ = nullptr;
    GetClassObjectFn getClassObject_ = nullptr;
    CanUnloadFn canUnload_ = nullptr;
};

// The names in the DLL's export directory, read from the mapped image.
std::set<std::string> ExportedNames(HMODULE module) {
    auto* base = reinterpret_cast<const BYTE*>(module);
    auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
    auto* names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
    std::set<std::string> result;
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
        result.insert(reinterpret_cast<const char*>(base + names[i]));
    }
    if (exports->NumberOfFunctions != exports->NumberOfNames) result.insert("<export by ordinal only>");
    return result;
}

// The DLLs named in the import directory, upper-cased.
std::set<std::string> ImportedDlls(HMODULE module) {
    auto* base = reinterpret_cast<const BYTE*>(module);
    auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    std::set<std::string> result;
    for (auto* entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
         entry->Name != 0; ++entry) {
        std::string name = reinterpret_cast<const char*>(base + entry->Name);
        for (char& c : name) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
        result.insert(name);
    }
    return result;
}

TEST_F(Dll, ImportsOnlySystemLibraries) {
    // The C and C++ runtimes are linked in: no libstdc++, libgcc or winpthread DLL.
    const std::set<std::string> system = {"ADVAPI32.DLL", "KERNEL32.DLL", "MSVCRT.DLL",
                                          "OLE32.DLL", "OLEAUT32.DLL", "SHLWAPI.DLL", "USER32.DLL"};
    for (const std::string& name : ImportedDlls(module_)) {
        EXPECT_TRUE(system.count(name)) << name;
    }
}

TEST_F(Dll, ExportsTheFourServerEntryPointsAndNothingElse) {
    const std::set<std::string> expected = {"DllCanUnloadNow", "DllGetClassObject", "DllRegisterServer",
                                            "DllUnregisterServer"};
    EXPECT_EQ(ExportedNames(module_), expected);
}

TEST_F(Dll, LockCountFollowsClassObjectsAndLockServer) {
    EXPECT_EQ(canUnload_(), S_OK) << "fresh load";
    for (const CLSID* clsid : {&CLSID_VeskaOptions, &CLSID_PropertyProvider}) {
        ComPtr<IClassFactory> first = Factory(*clsid);
        ComPtr<IClassFactory> second = Factory(*clsid);
        EXPECT_EQ(first.get(), second.get()) << "one class object per class";
        EXPECT_EQ(canUnload_(), S_FALSE) << "a held class object keeps the library";
        first.reset();
        second.reset();
        EXPECT_EQ(canUnload_(), S_OK) << "the cached reference does not";

        ComPtr<IClassFactory> factory = Factory(*clsid);
        factory->LockServer(TRUE);
        factory.reset();
        EXPECT_EQ(canUnload_(), S_FALSE);
        Factory(*clsid)->LockServer(FALSE);
        EXPECT_EQ(canUnload_(), S_OK);

        // One unbalanced unlock drives the count negative: not unloadable.
        Factory(*clsid)->LockServer(FALSE);
        EXPECT_EQ(canUnload_(), S_FALSE);
        Factory(*clsid)->LockServer(TRUE);
    }
}

TEST_F(Dll, UnknownClassAndNullPointers) {
    void* out = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(getClassObject_(CLSID_StdGlobalInterfaceTable, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(getClassObject_(CLSID_VeskaOptions, IID_IClassFactory, nullptr), E_POINTER);
    out = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(getClassObject_(CLSID_VeskaOptions, IID_IDispatch, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    ComPtr<IClassFactory> factory = Factory(CLSID_PropertyProvider);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);
}

// Every IID each class answers, and one it does not.
TEST_F(Dll, InstancesAnswerTheirInterfaceTables) {
    struct Case {
        const CLSID* clsid;
        const IID* iid;
        bool answers;
    } cases[] = {
        {&CLSID_VeskaOptions, &IID_IUnknown, true},
        {&CLSID_VeskaOptions, &IID_IVeskaOptions, true},
        {&CLSID_VeskaOptions, &IID_IVeskaOptions2, true},
        {&CLSID_VeskaOptions, &IID_IVeskaOptions3, true},
        {&CLSID_VeskaOptions, &IID_IDispatch, true},
        {&CLSID_VeskaOptions, &IID_IPersistStreamInit, true},
        {&CLSID_VeskaOptions, &IID_IPersistStream, false},
        // Live options and their events are the current edition's alone.
        {&CLSID_VeskaOptions, &__uuidof(IVeskaOptionsLive), kCurrent},
        {&CLSID_VeskaOptions, &IID_IConnectionPointContainer, kCurrent},
        {&CLSID_VeskaOptions, &IID_IProvideClassInfo2, kCurrent},
        {&CLSID_VeskaOptions, &__uuidof(IVeskaOptionsPolicy), kCurrent},
        {&CLSID_PropertyProvider, &IID_IUnknown, true},
        {&CLSID_PropertyProvider, &IID_IPropertyProvider, true},
        {&CLSID_PropertyProvider, &IID_IPropertyProvider2, true},
#ifndef VESKA_EARLIER_EDITION
        {&CLSID_PropertyProvider, &IID_IPropertyProvider3, true},
#endif
        {&CLSID_PropertyProvider, &IID_IDispatch, true},
        {&CLSID_PropertyProvider, &IID_IPropertyPageInformation, true},
        {&CLSID_PropertyProvider, &IID_IPropertyPageInformation2, true},
        {&CLSID_PropertyProvider, &IID_IPropertyPageInformationSORConfig, true},
        {&CLSID_PropertyProvider, &IID_IPersistStreamInit, false},
    };
    for (const Case& c : cases) {
        ComPtr<IUnknown> object;
        ASSERT_EQ(Factory(*c.clsid)->CreateInstance(nullptr, IID_IUnknown, object.put_void()), S_OK);
        ComPtr<IUnknown> answer;
        EXPECT_EQ(object->QueryInterface(*c.iid, answer.put_void()), c.answers ? S_OK : E_NOINTERFACE);
        EXPECT_EQ(answer.get() != nullptr, c.answers);
        if (answer) {
            EXPECT_EQ(answer.try_query<IUnknown>().get(), object.get()) << "one identity";
        }
    }
}

// Nothing is registered here: late binding reads the type library embedded in
// the DLL's own file.
TEST_F(Dll, LateBindingNeedsNoRegisteredTypeLibrary) {
    ComPtr<ITypeLib> registered;
    ASSERT_TRUE(FAILED(LoadRegTypeLib(LIBID_VESKAOPTIONSLib, 1, 0, 0, registered.put())))
        << "the type library is registered in this prefix";
    const struct {
        const CLSID* clsid;
        const wchar_t* name;
        bool known;
        DISPID id;  // DISPID_UNKNOWN: any the object chooses
    } cases[] = {{&CLSID_VeskaOptions, L"Init", true, 1},
                 {&CLSID_PropertyProvider, L"DoNewPropertySheet", true, 4},
                 // The earlier edition's IDispatch knows no live member.
                 {&CLSID_VeskaOptions, L"Watch", kCurrent, DISPID_UNKNOWN},
                 {&CLSID_VeskaOptions, L"WaitForChange", kCurrent, DISPID_UNKNOWN}};
    for (const auto& c : cases) {
        ComPtr<IDispatch> dispatch;
        ASSERT_EQ(Factory(*c.clsid)->CreateInstance(nullptr, IID_IDispatch, dispatch.put_void()), S_OK);
        LPOLESTR name = const_cast<LPOLESTR>(c.name);
        DISPID id = -1;
        EXPECT_EQ(dispatch->GetIDsOfNames(IID_NULL, &name, 1, 0, &id),
                  c.known ? S_OK : DISP_E_UNKNOWNNAME) << c.name;
        if (!c.known) {
            EXPECT_EQ(id, DISPID_UNKNOWN) << c.name;
        } else if (c.id != DISPID_UNKNOWN) {
            EXPECT_EQ(id, c.id) << c.name;
        }
    }
}

TEST_F(Dll, BothClassesAggregate) {
    for (const CLSID* clsid : {&CLSID_VeskaOptions, &CLSID_PropertyProvider}) {
        test::CountingOuter outer;
        ComPtr<IClassFactory> factory = Factory(*clsid);
        void* out = reinterpret_cast<void*>(0x1234);
        EXPECT_EQ(factory->CreateInstance(&outer, IID_IDispatch, &out), CLASS_E_NOAGGREGATION);
        EXPECT_EQ(out, nullptr);
        ASSERT_EQ(factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.inner)), S_OK);
        EXPECT_EQ(canUnload_(), S_FALSE) << "an aggregated instance counts like a plain one";
        ComPtr<IDispatch> dispatch;
        ASSERT_EQ(outer.inner->QueryInterface(IID_IDispatch, dispatch.put_void()), S_OK);
        EXPECT_EQ(outer.refs, 2);
        EXPECT_EQ(dispatch.try_query<IUnknown>().get(), &outer) << "identity is the outer object";
        dispatch.reset();
        EXPECT_EQ(outer.refs, 1);
        outer.inner->Release();
    }
}

#ifndef VESKA_EARLIER_EDITION
TEST_F(Dll, AggregatedProviderHandsPagesTheOuterObject) {
    test::CountingOuter outer;
    ASSERT_EQ(Factory(CLSID_PropertyProvider)->CreateInstance(&outer, IID_IUnknown,
                                                              reinterpret_cast<void**>(&outer.inner)),
              S_OK);
    {
        ComPtr<IPropertyProvider3> provider;
        ASSERT_EQ(outer.inner->QueryInterface(IID_IPropertyProvider3, provider.put_void()), S_OK);
        SAFEARRAY* objects = nullptr;
        ASSERT_EQ(provider->GetRegisteredObjects(&objects), S_OK);
        UniqueSafeArray owner = UniqueSafeArray::Adopt(objects);
        LONG last = 0;
        SafeArrayGetUBound(objects, 1, &last);
        IUnknown* controlling = nullptr;
        ASSERT_EQ(SafeArrayGetElement(objects, &last, &controlling), S_OK);
        EXPECT_EQ(controlling, &outer) << "the provider's last object is its controlling unknown";
        controlling->Release();
    }
    EXPECT_EQ(outer.refs, 1);
    outer.inner->Release();
}
#endif

}  // namespace
}  // namespace veska

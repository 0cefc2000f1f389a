// An early-bound C++ client: the generated header, CoCreateInstance by class
// identifier, calls through the vtable. The DLL is registered for the run and
// found by its bare file name from the working directory.
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include "TestPaths.h"
#include "TestRegistry.h"
#include "VeskaOptions_h.h"
#include "support/Owners.h"

namespace veska {
namespace {

using ServerFn = HRESULT(__stdcall*)();

class EarlyBound : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        module_ = LoadLibraryW(VESKA_TEST_DLL(L"current"));
        ASSERT_NE(module_, nullptr);
        ASSERT_EQ(Call("DllRegisterServer"), S_OK);
    }
    static void TearDownTestSuite() {
        EXPECT_EQ(Call("DllUnregisterServer"), S_OK);
        FreeLibrary(module_);
    }
    static HRESULT Call(const char* name) {
        auto fn = reinterpret_cast<ServerFn>(reinterpret_cast<void (*)()>(GetProcAddress(module_, name)));
        return fn ? fn() : E_NOTIMPL;
    }
    static HMODULE module_;
};
HMODULE EarlyBound::module_ = nullptr;

TEST_F(EarlyBound, OptionsThroughTheThirdInterface) {
    test::ScratchKey scratch;
    test::SetString(HKEY_CURRENT_USER, scratch.PathOf(L"Editor"), L"Font", L"Courier");
    ComPtr<IVeskaOptions3> options;
    ASSERT_EQ(CoCreateInstance(CLSID_VeskaOptions, nullptr, CLSCTX_INPROC_SERVER, IID_IVeskaOptions3,
                               options.put_void()),
              S_OK);
    UniqueBstr root = CopyBstr(scratch.Path().c_str());
    ASSERT_EQ(options->Init(1, root.get()), S_OK);

    UniqueBstr editor = CopyBstr(L"Editor");
    UniqueBstr font = CopyBstr(L"FONT");
    UniqueVariant value;
    ASSERT_EQ(options->GetValueByName(editor.get(), font.get(), value.put()), S_OK);
    ASSERT_EQ(value.vt(), VT_BSTR);
    EXPECT_STREQ(value.get()->bstrVal, L"Courier");

    UniqueBstr colors = CopyBstr(L"Editor\\Colors");
    EXPECT_EQ(options->AddKey(colors.get(), 1), S_OK);
    EXPECT_TRUE(test::KeyExists(HKEY_CURRENT_USER, scratch.PathOf(L"Editor\\Colors")));
    UniqueBstr background = CopyBstr(L"Background");
    VARIANT number;
    VariantInit(&number);
    number.vt = VT_I4;
    number.lVal = 0x202020;
    EXPECT_EQ(options->AddValueByName(colors.get(), background.get(), &number, 1), S_OK);
    EXPECT_EQ(test::ReadDword(HKEY_CURRENT_USER, scratch.PathOf(L"Editor\\Colors"), L"Background"), 0x202020u);
}

TEST_F(EarlyBound, ProviderThroughTheThirdInterface) {
    ComPtr<IPropertyProvider3> provider;
    ASSERT_EQ(CoCreateInstance(CLSID_PropertyProvider, nullptr, CLSCTX_INPROC_SERVER, IID_IPropertyProvider3,
                               provider.put_void()),
              S_OK);
    SAFEARRAY* guids = reinterpret_cast<SAFEARRAY*>(0x1234);
    EXPECT_EQ(provider->GetRegisteredPageGuids(&guids), S_OK);
    EXPECT_EQ(guids, nullptr) << "no pages, no array";
    ComPtr<IUnknown> found;
    EXPECT_EQ(provider->GetRegisteredObj(IID_IUnknown, found.put()), S_FALSE);
    EXPECT_EQ(found.get(), nullptr);
}

}  // namespace
}  // namespace veska

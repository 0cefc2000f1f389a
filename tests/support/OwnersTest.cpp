#include "support/Owners.h"

#include <gtest/gtest.h>

namespace veska {
namespace {

// Counts its references so tests can check that owners add and drop exactly one.
class CountedObject : public IUnknown {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** ppv) override {
        if (!InlineIsEqualGUID(iid, IID_IUnknown)) {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        *ppv = this;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }
    ULONG refs = 1;
};

TEST(Owners, ComPtrAdoptCopyDetach) {
    CountedObject object;
    {
        auto copy = ComPtr<IUnknown>::CopyOf(&object);
        EXPECT_EQ(object.refs, 2u);
        auto moved = std::move(copy);
        EXPECT_FALSE(copy);
        EXPECT_EQ(object.refs, 2u);
        auto queried = moved.try_query<IUnknown>();
        EXPECT_EQ(object.refs, 3u);
        EXPECT_FALSE(moved.try_query<IDispatch>());
    }
    EXPECT_EQ(object.refs, 1u);
    auto adopted = ComPtr<IUnknown>::Adopt(&object);
    IUnknown* raw = adopted.detach();
    EXPECT_EQ(raw, &object);
    EXPECT_EQ(object.refs, 1u) << "detach hands the reference back untouched";
}

TEST(Owners, VariantCopyOfDuplicatesAndAdoptTakes) {
    VARIANT source;
    VariantInit(&source);
    source.vt = VT_BSTR;
    source.bstrVal = SysAllocString(L"text");
    {
        UniqueVariant copy = UniqueVariant::CopyOf(source);
        ASSERT_EQ(copy.vt(), VT_BSTR);
        EXPECT_NE(copy.get()->bstrVal, source.bstrVal);
        EXPECT_STREQ(copy.get()->bstrVal, L"text");
    }
    UniqueVariant owner = UniqueVariant::Adopt(source);
    EXPECT_EQ(source.vt, VT_EMPTY);
    EXPECT_EQ(owner.vt(), VT_BSTR);
    VARIANT out = owner.detach();
    EXPECT_EQ(owner.vt(), VT_EMPTY);
    VariantClear(&out);
}

TEST(Owners, VariantCopyFailureThrowsItsHresult) {
    VARIANT bad;
    VariantInit(&bad);
    bad.vt = 0x7FFF;  // not a type tag
    try {
        UniqueVariant copy = UniqueVariant::CopyOf(bad);
        FAIL() << "copy of an invalid VARIANT succeeded";
    } catch (const HResultError& e) {
        EXPECT_TRUE(FAILED(e.Code()));
    }
}

TEST(Owners, SafeArrayOwnerDropsLocksBeforeDestroying) {
    CountedObject element;
    SAFEARRAY* psa = SafeArrayCreateVector(VT_UNKNOWN, 0, 1);
    ASSERT_NE(psa, nullptr);
    LONG index = 0;
    ASSERT_EQ(SafeArrayPutElement(psa, &index, static_cast<IUnknown*>(&element)), S_OK);
    ASSERT_EQ(element.refs, 2u);
    ASSERT_EQ(SafeArrayLock(psa), S_OK);
    ASSERT_EQ(SafeArrayLock(psa), S_OK);
    {
        UniqueSafeArray owner = UniqueSafeArray::Adopt(psa);
        SafeArrayDataAccess access;
        ASSERT_EQ(access.Access(owner.get()), S_OK);
        EXPECT_EQ(owner.get()->cLocks, 3u);
    }
    // A locked array refuses destruction and would keep its element's reference.
    EXPECT_EQ(element.refs, 1u);
}

TEST(Owners, BstrCopyAndPut) {
    UniqueBstr text = CopyBstr(L"abc");
    EXPECT_EQ(SysStringLen(text.get()), 3u);
    EXPECT_FALSE(CopyBstr(nullptr));
    UniqueBstr counted = CopyBstr(L"a\0b", 3);
    EXPECT_EQ(SysStringLen(counted.get()), 3u);
    BSTR* slot = text.put();
    EXPECT_EQ(*slot, nullptr) << "put frees first";
    *slot = SysAllocString(L"x");
    EXPECT_STREQ(text.get(), L"x");
}

TEST(Owners, HkeyClosesOnReset) {
    UniqueHkey key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_READ, key.put()), ERROR_SUCCESS);
    HKEY raw = key.get();
    key.reset();
    EXPECT_EQ(key.get(), nullptr);
    DWORD subkeys = 0;
    EXPECT_NE(RegQueryInfoKeyW(raw, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS)
        << "the handle is still open";
}

}  // namespace
}  // namespace veska

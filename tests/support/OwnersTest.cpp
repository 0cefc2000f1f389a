#include "support/Owners.h"

#include <gtest/gtest.h>

#include "tests/common/FakeObject.h"

namespace veska {
namespace {

// Counts its references so tests can check that owners add and drop exactly one.
class CountedObject final
    : public test::FakeObject<CountedObject, test::FakeLife::Counted, IUnknown> {};

TEST(Owners, ComPtrAdoptCopyDetach) {
    CountedObject object;
    {
        auto copy = ComPtr<IUnknown>::CopyOf(&object);
        EXPECT_EQ(object.refs, 2);
        auto moved = std::move(copy);
        EXPECT_FALSE(copy);
        EXPECT_EQ(object.refs, 2);
        auto queried = moved.try_query<IUnknown>();
        EXPECT_EQ(object.refs, 3);
        EXPECT_FALSE(moved.try_query<IDispatch>());
    }
    EXPECT_EQ(object.refs, 1);
    auto adopted = ComPtr<IUnknown>::Adopt(&object);
    IUnknown* raw = adopted.detach();
    EXPECT_EQ(raw, &object);
    EXPECT_EQ(object.refs, 1) << "detach hands the reference back untouched";
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
    ASSERT_EQ(element.refs, 2);
    ASSERT_EQ(SafeArrayLock(psa), S_OK);
    ASSERT_EQ(SafeArrayLock(psa), S_OK);
    {
        UniqueSafeArray owner = UniqueSafeArray::Adopt(psa);
        SafeArrayDataAccess access;
        ASSERT_EQ(access.Access(owner.get()), S_OK);
        EXPECT_EQ(owner.get()->cLocks, 3u);
    }
    // A locked array refuses destruction and would keep its element's reference.
    EXPECT_EQ(element.refs, 1);
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
    UniqueBstr copy = TryCopyBstr(counted.get());
    ASSERT_TRUE(copy);
    EXPECT_NE(copy.get(), counted.get());
    EXPECT_EQ(SysStringLen(copy.get()), 3u) << "embedded nulls are copied";
    EXPECT_EQ(copy.get()[2], L'b');
    EXPECT_EQ(SysStringLen(TryCopyBstr(nullptr, 4).get()), 4u) << "room for four characters";
}

TEST(Owners, VariantMoveToClearsTheTarget) {
    CountedObject old;
    VARIANT target;
    target.vt = VT_UNKNOWN;
    target.punkVal = &old;
    old.AddRef();
    UniqueVariant value;
    V_VT(value.get()) = VT_I4;
    V_I4(value.get()) = 7;
    value.MoveTo(target);
    EXPECT_EQ(old.refs, 1) << "the target's object is released";
    EXPECT_EQ(target.vt, VT_I4);
    EXPECT_EQ(target.lVal, 7);
    EXPECT_EQ(value.vt(), VT_EMPTY);
}

TEST(Owners, FileOwnerTakesInvalidHandleValueForEmpty) {
    UniqueFile file;
    EXPECT_EQ(file.get(), INVALID_HANDLE_VALUE);
    EXPECT_FALSE(file);
    file = UniqueFile::Adopt(CreateFileW(L"Z:\\no\\such\\folder\\file", GENERIC_READ, 0, nullptr,
                                         OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(file) << "a failed open is empty, and nothing is closed";
    wchar_t path[MAX_PATH];
    ASSERT_NE(GetModuleFileNameW(nullptr, path, MAX_PATH), 0u);
    file = UniqueFile::Adopt(
        CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(file);
    const HANDLE raw = file.get();
    file.reset();
    DWORD flags = 0;
    EXPECT_FALSE(GetHandleInformation(raw, &flags)) << "the handle is still open";
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

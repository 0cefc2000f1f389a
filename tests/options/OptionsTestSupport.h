// Shared pieces of the options store tests: a fresh object per test on its own
// scratch key, and compact renderings of what the reading members hand out.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/common/TestRegistry.h"
#include "options/VeskaOpt.h"
#include "support/Owners.h"

namespace veska::test {

// A BSTR for one call: Bstr(L"x") lives until the end of the full expression.
class Bstr {
public:
    explicit Bstr(const std::wstring& text) : b_(CopyBstr(text.c_str(), UINT(text.size()))) {}
    operator BSTR() const { return b_.get(); }

private:
    UniqueBstr b_;
};

UniqueVariant I4(LONG value);
UniqueVariant Str(const std::wstring& text);

// "vt:text", the text as the platform converts the value to a string; a null
// BSTR is "8:<null>".
std::wstring RenderVariant(const VARIANT& v);

// "name=vt:text|..." for a values array, "a|b|..." for a keys array; "<null>" for
// a null array.
std::wstring RenderValues(SAFEARRAY* values);
std::wstring RenderKeys(SAFEARRAY* keys);

// Every key and value of an object's cache, depth first in map order, then its
// dirty flag, one line each: "path\" for a key, "path\name=vt:text" for a value,
// "dirty=n" last. Just "<not initialised>" when GetKeys fails on the empty path.
std::vector<std::wstring> ReadOut(IVeskaOptions* options);

// Records the trace events "+name" and "-name" while it lives.
class TraceRecorder {
public:
    TraceRecorder();
    ~TraceRecorder();
    std::vector<std::wstring> Events() const;
};

class OptionsTest : public ::testing::Test {
protected:
    static ComPtr<IVeskaOptions3> NewOptions();

    // Init on hive 1 at the scratch key (or its sub-path).
    HRESULT Init(const std::wstring& sub = L"");
    std::wstring Keys(const std::wstring& path, HRESULT expected = S_OK);
    std::wstring Values(const std::wstring& path, HRESULT expected = S_OK);
    // The value as "vt:text", or "fail" when GetValueByName fails.
    std::wstring Value(const std::wstring& path, const std::wstring& name);
    HRESULT Set(const std::wstring& path, const std::wstring& name, const VARIANT& v,
                LONG changeDefault, LONG setDirtyBit = 1);
    VARIANT_BOOL Dirty();
    std::wstring Reg(const std::wstring& sub = L"") const { return scratch.PathOf(sub); }

    ScratchKey scratch;
    ComPtr<IVeskaOptions3> opts = NewOptions();
};

}  // namespace veska::test

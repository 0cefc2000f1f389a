// Test doubles for the property provider: page-owning objects that count their
// references, ordered-pages arrays of any shape, a recorder standing in for the
// platform's property frame, a property page that closes the real frame once it
// is shown, and registration of the companion servers.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <functional>
#include <string>
#include <vector>

#include "provider/PropertyProvider.h"
#include "tests/common/FakeObject.h"

namespace veska::test {

// A distinct page CLSID per number.
CLSID PageClsid(int n);
std::wstring GuidText(REFGUID guid);

// An object whose references are counted and never freed.
class CountedUnknown final : public FakeObject<CountedUnknown, FakeLife::Counted, IUnknown> {};

// One cell of an ordered-pages row; the VARIANT is built when the array is.
struct Cell {
    VARTYPE vt = VT_EMPTY;
    std::wstring text;
    LONG number = 0;
    IUnknown* object = nullptr;
    BSTR* byRef = nullptr;
};
Cell Text(const std::wstring& text);
Cell Page(int n);  // the CLSID of PageClsid(n) as text
Cell I4(LONG n);
Cell I2(SHORT n);
Cell TextByRef(BSTR* text);
Cell Object(IUnknown* object);

// A two-dimensional VARIANT array, dimension 1 the column and dimension 2 the
// row, lower bounds 0; short rows are padded with VT_EMPTY.
SAFEARRAY* OrderedArray(const std::vector<std::vector<Cell>>& rows);

// A page-owning object of another component. It answers the page interfaces
// named in its flags (which a test may change after registration) and IPersist.
class PageOwner final : public FakeObject<PageOwner, FakeLife::Counted, ISpecifyPropertyPages,
                                          IOrderedPropertyPages, IPersist> {
public:
    enum : unsigned { kSpecified = 1, kOrdered = 2, kPersist = 4 };
    explicit PageOwner(unsigned answers) : answers(answers) {}

    bool Answers(REFIID iid) const noexcept;
    STDMETHODIMP GetPages(CAUUID* pages) override;
    STDMETHODIMP GetOrderedPages(SAFEARRAY** pages) override;
    STDMETHODIMP GetClassID(CLSID* clsid) override;

    IUnknown* Identity() { return static_cast<ISpecifyPropertyPages*>(this); }

    unsigned answers;
    // GetPages: the CLSIDs announced; a count without an array when set.
    std::vector<CLSID> specified;
    HRESULT specifiedResult = S_OK;
    bool countWithoutArray = false;
    // GetOrderedPages: a new array per call (null when empty), returned with
    // orderedResult even when that is a failure.
    std::function<SAFEARRAY*()> ordered;
    HRESULT orderedResult = S_OK;
};

// A new provider through the internal creator.
ComPtr<NewestPropertyProvider> NewProvider();

// Stands in for the platform's property frame while it lives and records every
// call, reading the provider's flags through the last object as a page would.
struct FrameCall {
    HWND owner;
    UINT x, y;
    std::wstring caption;
    bool captionNull;
    std::vector<IUnknown*> objects;
    std::vector<CLSID> pages;
    LCID lcid;
    DWORD reserved;
    void* reservedPointer;
    VARIANT_BOOL readOnly, sheetReadOnly;
};
class FrameRecorder {
public:
    explicit FrameRecorder(HRESULT result = S_OK);
    ~FrameRecorder();
    FrameRecorder(const FrameRecorder&) = delete;
    FrameRecorder& operator=(const FrameRecorder&) = delete;
    std::vector<FrameCall> calls;
    HRESULT result;
};

// The page order and objects a collection yields, read through DoPropertySheet.
struct Collection {
    HRESULT hr;
    std::vector<CLSID> pages;
    std::vector<IUnknown*> objects;
};
Collection Collect(IPropertyProvider* provider);

// What the closing page saw while the real frame showed it.
struct PageObservation {
    int activations = 0;
    std::vector<IUnknown*> objects;
    bool lastIsInformation = false;
    VARIANT_BOOL readOnly = 0, sheetReadOnly = 0;
    std::wstring frameTitle;
};

// Makes a property page class available to this apartment while it lives. When
// the frame activates the page, it records what it sees and presses Cancel.
class ClosingPageClass {
public:
    ClosingPageClass();
    ~ClosingPageClass();
    ClosingPageClass(const ClosingPageClass&) = delete;
    ClosingPageClass& operator=(const ClosingPageClass&) = delete;
    static CLSID Clsid();
    PageObservation seen;

private:
    DWORD cookie_ = 0;
};

// Runs a call that shows a modal window on this thread. If it has not returned
// within the limit, a watchdog cancels every window of the thread until it does;
// returns false when the watchdog had to step in.
bool RunModal(const std::function<void()>& call, DWORD limitMs = 30000);

// Runs "regsvr32 /s [/u] path" and returns its exit code (or -1).
int Regsvr32(const std::wstring& path, bool unregister);

// The installer's settings key the InstallationInfo companion reads (HKLM).
inline constexpr wchar_t kInstallationKey[] = L"Software\\Corvane Interactive\\Installation";

}  // namespace veska::test

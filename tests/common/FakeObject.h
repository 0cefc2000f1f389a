// Test doubles on the COM kit's interface table (com/ComObject.h).
//
// A fake derives from FakeObject<Self, Life, I...>, which implements IUnknown
// over InterfaceMap<Entry<I>...> (or over Self::Interfaces when the fake lists
// its own, for a base interface reached through another), and writes only the
// members of the interfaces it fakes:
//
//     class Witness final : public FakeObject<Witness, FakeLife::Counted, IDispatch> { ... };
//
// Fakes never touch the DLL's lock count (the kit's ComObject does), so tests
// that count it are not disturbed. What AddRef and Release do is the fake's
// life:
//   Counted   refs starts at 1, the maker's reference, and is only counted,
//             never freed: tests read it to see that a caller gave back what
//             it took.
//   Immortal  a static object; AddRef and Release count nothing.
//   Heap      made with new (refs 1), deleted when the count drops to 0.
// Two optional members of the fake shape QueryInterface:
//   bool Answers(REFIID iid)                 whether a listed interface other
//                                            than IUnknown is answered now;
//   HRESULT Unlisted(REFIID iid, void** ppv) the answer for the rest (an outer
//                                            object hands them to its inner one).
#pragma once

#include <windows.h>
#include <unknwn.h>

#include "com/ComObject.h"

namespace veska::test {

enum class FakeLife { Counted, Immortal, Heap };

template <class Derived, FakeLife Life, class... Implemented>
class FakeObject : public Implemented... {
public:
    using Interfaces = InterfaceMap<Entry<Implemented>...>;

    STDMETHODIMP QueryInterface(REFIID iid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        Derived* self = static_cast<Derived*>(this);
        const bool identity = ::InlineIsEqualGUID(iid, IID_IUnknown);
        *ppv = identity || self->Answers(iid) ? Derived::Interfaces::Find(self, iid) : nullptr;
        if (*ppv == nullptr) return self->Unlisted(iid, ppv);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override {
        if constexpr (Life == FakeLife::Immortal) {
            return 2;
        } else {
            return static_cast<ULONG>(::InterlockedIncrement(&refs));
        }
    }
    STDMETHODIMP_(ULONG) Release() override {
        if constexpr (Life == FakeLife::Immortal) {
            return 1;
        } else {
            const long count = ::InterlockedDecrement(&refs);
            if constexpr (Life == FakeLife::Heap) {
                if (count == 0) delete static_cast<Derived*>(this);
            }
            return static_cast<ULONG>(count);
        }
    }

    bool Answers(REFIID) const noexcept { return true; }
    HRESULT Unlisted(REFIID, void** ppv) const noexcept {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }

    long refs = 1;  // unused by an Immortal fake
};

// The outer object of an aggregate: answers IUnknown itself, counting its
// references, and hands every other request to inner (E_NOINTERFACE without
// one).
class CountingOuter final : public FakeObject<CountingOuter, FakeLife::Counted, IUnknown> {
public:
    HRESULT Unlisted(REFIID iid, void** ppv) const noexcept {
        if (inner != nullptr) return inner->QueryInterface(iid, ppv);
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    IUnknown* inner = nullptr;
};

}  // namespace veska::test

// COM objects without boilerplate: interface tables, reference counting in two
// threading models, plain and aggregated instances. Used by the library's classes
// and by every companion; it reaches the DLL only through com/ModuleLock.h.
//
// A class derives from ObjectRoot<Self, ThreadModel> and the interfaces it
// implements, and lists what QueryInterface answers:
//
//     using Interfaces = InterfaceMap<Entry<IFoo>, Entry<IDispatch, IFoo>, ...>;
//
// Entry<I, Via> answers __uuidof(I) with the I reached through the base Via (for
// base interfaces that several implemented interfaces share). The first entry is
// the primary interface; IUnknown resolves there. The class does not implement
// IUnknown itself: ComObject<T> (a plain object) and AggregatedObject<T> (an inner
// object controlled by an outer one) do, and both keep one count on the DLL's
// lock count (LockModule) for as long as they live.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include <new>
#include <utility>

#include "com/ModuleLock.h"
#include "support/Owners.h"

namespace veska {

// Reference counts changed with plain operations: the object lives in one
// apartment and is called on one thread.
struct SingleThreadModel {
    static long Increment(volatile long& v) noexcept { return ++v; }
    static long Decrement(volatile long& v) noexcept { return --v; }
};

// Reference counts changed with interlocked operations. Objects guard their own
// state with the locks their class needs; the model adds none.
struct MultiThreadModel {
    static long Increment(volatile long& v) noexcept { return ::InterlockedIncrement(&v); }
    static long Decrement(volatile long& v) noexcept { return ::InterlockedDecrement(&v); }
};

template <class I, class Via = I>
struct Entry {
    static const IID& Iid() noexcept { return __uuidof(I); }
    template <class T>
    static void* Cast(T* self) noexcept {
        return static_cast<I*>(static_cast<Via*>(self));
    }
};

// An entry for an interface whose declaration carries no IID for __uuidof (the
// toolchain's headers stop short of some outside components): the IID is given.
template <class I, const IID& Id>
struct EntryWithIid : Entry<I> {
    static const IID& Iid() noexcept { return Id; }
};

template <class First, class... Rest>
struct InterfaceMap {
    // The interface pointer for iid, without a reference added; null when the
    // table does not list it. Entries are tried in table order.
    template <class T>
    static void* Find(T* self, REFIID iid) noexcept {
        if (::InlineIsEqualGUID(iid, IID_IUnknown)) return First::Cast(self);
        void* found = nullptr;
        (void)(TryEntry<First>(self, iid, found) || ... || TryEntry<Rest>(self, iid, found));
        return found;
    }

    // The primary interface, which is the object's identity.
    template <class T>
    static IUnknown* Primary(T* self) noexcept {
        return static_cast<IUnknown*>(First::Cast(self));
    }

private:
    template <class E, class T>
    static bool TryEntry(T* self, REFIID iid, void*& found) noexcept {
        if (!::InlineIsEqualGUID(iid, E::Iid())) return false;
        found = E::Cast(self);
        return true;
    }
};

// State every class carries: its reference count and, when aggregated, the outer
// object that controls it.
template <class Derived, class ThreadModel>
class ObjectRoot {
public:
    using ThreadModelType = ThreadModel;

    // The outer object when aggregated, otherwise the object's own identity.
    IUnknown* ControllingUnknown() noexcept {
        if (outer_ != nullptr) return outer_;
        return Derived::Interfaces::Primary(static_cast<Derived*>(this));
    }

protected:
    ObjectRoot() noexcept = default;
    ~ObjectRoot() = default;

    ULONG InternalAddRef() noexcept { return ThreadModel::Increment(refCount_); }
    ULONG InternalRelease() noexcept { return ThreadModel::Decrement(refCount_); }
    HRESULT InternalQueryInterface(REFIID iid, void** ppv) noexcept {
        if (ppv == nullptr) return E_POINTER;
        *ppv = Derived::Interfaces::Find(static_cast<Derived*>(this), iid);
        if (*ppv == nullptr) return E_NOINTERFACE;
        static_cast<IUnknown*>(*ppv)->AddRef();
        return S_OK;
    }

    volatile long refCount_ = 0;
    IUnknown* outer_ = nullptr;

    template <class T>
    friend class AggregatedObject;
};

// A standalone object: T with IUnknown implemented on its own count. The
// arguments go to T's constructor.
template <class T>
class ComObject final : public T {
public:
    template <class... Args>
    explicit ComObject(Args&&... args) : T(std::forward<Args>(args)...) {
        LockModule();
    }
    ~ComObject() { UnlockModule(); }

    STDMETHODIMP QueryInterface(REFIID iid, void** ppv) override {
        return this->InternalQueryInterface(iid, ppv);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return this->InternalAddRef(); }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG count = this->InternalRelease();
        if (count == 0) delete this;
        return count;
    }
};

// T living in a scope its user controls, such as a stack frame, and handed to a
// caller that gives its references back before the scope ends: references are
// not counted, the object is never deleted through them and takes no count on
// the DLL.
template <class T>
class ScopedObject final : public T {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** ppv) override {
        return this->InternalQueryInterface(iid, ppv);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
};

// T inside an aggregate: its IUnknown delegates to the outer object.
template <class T>
class ContainedObject final : public T {
public:
    explicit ContainedObject(IUnknown* outer) noexcept { this->outer_ = outer; }

    STDMETHODIMP QueryInterface(REFIID iid, void** ppv) override {
        return this->outer_->QueryInterface(iid, ppv);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return this->outer_->AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return this->outer_->Release(); }
};

// The inner, non-delegating IUnknown of an aggregated T. It answers IID_IUnknown
// with itself and every other interface of T's table; the pointers it hands out
// count on the outer object.
template <class T>
class AggregatedObject final : public IUnknown {
public:
    explicit AggregatedObject(IUnknown* outer) noexcept : contained_(outer) { LockModule(); }
    ~AggregatedObject() { UnlockModule(); }

    STDMETHODIMP QueryInterface(REFIID iid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        if (::InlineIsEqualGUID(iid, IID_IUnknown)) {
            *ppv = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        return contained_.InternalQueryInterface(iid, ppv);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return T::ThreadModelType::Increment(refCount_); }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG count = T::ThreadModelType::Decrement(refCount_);
        if (count == 0) delete this;
        return count;
    }

    T* Inner() noexcept { return &contained_; }

private:
    volatile long refCount_ = 0;
    ContainedObject<T> contained_;
};

// The instance creator of a class: a plain object, or an aggregated one whose
// inner IUnknown is returned when an outer object is given. The caller (the class
// factory) has already refused aggregation for any IID but IUnknown.
template <class T>
HRESULT CreateComInstance(IUnknown* outer, REFIID iid, void** ppv) noexcept {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    IUnknown* object = nullptr;
    try {
        if (outer == nullptr) {
            object = T::Interfaces::Primary(new ComObject<T>());
        } else {
            object = new AggregatedObject<T>(outer);
        }
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    // Hold a reference across QueryInterface so a failure destroys the object.
    object->AddRef();
    const HRESULT hr = object->QueryInterface(iid, ppv);
    object->Release();
    return hr;
}

// The instance creator of a class that cannot be aggregated.
template <class T>
HRESULT CreateUnaggregatedInstance(IUnknown* outer, REFIID iid, void** ppv) noexcept {
    if (ppv != nullptr) *ppv = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    return CreateComInstance<T>(nullptr, iid, ppv);
}

}  // namespace veska

// Move-only owners of the platform resources the library holds.
//
// Every owner frees its resource when it goes out of scope, on every way out.
// Shared verbs:
//   get()      the raw resource, still owned
//   put()      frees what is held, then hands out the address to be filled
//   reset(r)   frees what is held and takes ownership of r
//   detach()   gives up ownership and returns the raw resource to the caller
// Taking ownership of a raw resource is spelled Adopt(r); copying has its own
// named function (CopyBstr, UniqueVariant::CopyOf, ComPtr::CopyOf). No constructor
// copies or adopts implicitly.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <utility>

#include "support/Result.h"

namespace veska {

// Generic owner of a handle-like resource described by Traits:
//   using Type = ...;  static Type Invalid();  static void Close(Type);
template <class Traits>
class UniqueResource {
public:
    using Type = typename Traits::Type;

    UniqueResource() noexcept = default;
    ~UniqueResource() { reset(); }

    UniqueResource(UniqueResource&& other) noexcept : value_(other.detach()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other) reset(other.detach());
        return *this;
    }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;

    [[nodiscard]] static UniqueResource Adopt(Type value) noexcept {
        UniqueResource owner;
        owner.value_ = value;
        return owner;
    }

    Type get() const noexcept { return value_; }
    Type* put() noexcept {
        reset();
        return &value_;
    }
    void reset(Type value = Traits::Invalid()) noexcept {
        Type old = std::exchange(value_, value);
        if (old != Traits::Invalid()) Traits::Close(old);
    }
    [[nodiscard]] Type detach() noexcept { return std::exchange(value_, Traits::Invalid()); }
    explicit operator bool() const noexcept { return value_ != Traits::Invalid(); }

private:
    Type value_ = Traits::Invalid();
};

struct BstrTraits {
    using Type = BSTR;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type b) noexcept { ::SysFreeString(b); }
};
struct HkeyTraits {
    using Type = HKEY;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type k) noexcept { ::RegCloseKey(k); }
};
struct LibraryTraits {
    using Type = HMODULE;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type m) noexcept { ::FreeLibrary(m); }
};
struct FindHandleTraits {
    using Type = HANDLE;
    static Type Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) noexcept { ::FindClose(h); }
};
// A file opened with CreateFileW, which reports failure as INVALID_HANDLE_VALUE
// rather than null.
struct FileHandleTraits {
    using Type = HANDLE;
    static Type Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) noexcept { ::CloseHandle(h); }
};
struct KernelHandleTraits {
    using Type = HANDLE;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type h) noexcept { ::CloseHandle(h); }
};
// Memory from CoTaskMemAlloc, as the platform hands out arrays (a CAUUID's
// elements, for one).
struct CoTaskMemTraits {
    using Type = void*;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type p) noexcept { ::CoTaskMemFree(p); }
};
struct SafeArrayTraits {
    using Type = SAFEARRAY*;
    static Type Invalid() noexcept { return nullptr; }
    // Drops every lock still held on the array, then destroys it with its data.
    static void Close(Type psa) noexcept {
        while (psa->cLocks > 0 && SUCCEEDED(::SafeArrayUnlock(psa))) {
        }
        ::SafeArrayDestroy(psa);
    }
};

using UniqueBstr = UniqueResource<BstrTraits>;
using UniqueHkey = UniqueResource<HkeyTraits>;
using UniqueLibrary = UniqueResource<LibraryTraits>;
using UniqueFindHandle = UniqueResource<FindHandleTraits>;
using UniqueHandle = UniqueResource<KernelHandleTraits>;
using UniqueFile = UniqueResource<FileHandleTraits>;
using UniqueSafeArray = UniqueResource<SafeArrayTraits>;
using UniqueCoTaskMem = UniqueResource<CoTaskMemTraits>;

// The attributes of a type library, held until the owner goes.
class UniqueLibAttr {
public:
    UniqueLibAttr() noexcept = default;
    ~UniqueLibAttr() { reset(); }
    UniqueLibAttr(const UniqueLibAttr&) = delete;
    UniqueLibAttr& operator=(const UniqueLibAttr&) = delete;

    // Asks library for its attributes; on failure the owner stays empty.
    [[nodiscard]] HRESULT Load(ITypeLib* library) noexcept {
        reset();
        TLIBATTR* attr = nullptr;
        const HRESULT hr = library->GetLibAttr(&attr);
        if (SUCCEEDED(hr)) {
            library_ = library;
            library_->AddRef();
            attr_ = attr;
        }
        return hr;
    }
    const TLIBATTR* operator->() const noexcept { return attr_; }
    void reset() noexcept {
        if (attr_ != nullptr) library_->ReleaseTLibAttr(attr_);
        if (library_ != nullptr) library_->Release();
        attr_ = nullptr;
        library_ = nullptr;
    }

private:
    ITypeLib* library_ = nullptr;
    TLIBATTR* attr_ = nullptr;
};

// A new BSTR holding a copy of text (null for null text); throws E_OUTOFMEMORY.
[[nodiscard]] inline UniqueBstr CopyBstr(const wchar_t* text) {
    if (text == nullptr) return UniqueBstr();
    return UniqueBstr::Adopt(ThrowIfNull(::SysAllocString(text)));
}

// A new BSTR holding length characters of text (length uninitialised ones for
// null text), for code that must not throw: empty when the allocation fails.
[[nodiscard]] inline UniqueBstr TryCopyBstr(const wchar_t* text, UINT length) noexcept {
    return UniqueBstr::Adopt(::SysAllocStringLen(text, length));
}

// A new BSTR with the characters of source, embedded nulls included; empty when
// the allocation fails. Callers tell a null source from a failure themselves.
[[nodiscard]] inline UniqueBstr TryCopyBstr(BSTR source) noexcept {
    return TryCopyBstr(source, ::SysStringLen(source));
}

// A new BSTR holding length characters of text; throws E_OUTOFMEMORY.
[[nodiscard]] inline UniqueBstr CopyBstr(const wchar_t* text, UINT length) {
    return UniqueBstr::Adopt(ThrowIfNull(TryCopyBstr(text, length).detach()));
}

// Owner of a VARIANT: initialised empty, cleared when it goes out of scope.
class UniqueVariant {
public:
    UniqueVariant() noexcept { ::VariantInit(&value_); }
    ~UniqueVariant() { reset(); }

    UniqueVariant(UniqueVariant&& other) noexcept : value_(other.detach()) {}
    UniqueVariant& operator=(UniqueVariant&& other) noexcept {
        if (this != &other) {
            reset();
            value_ = other.detach();
        }
        return *this;
    }
    UniqueVariant(const UniqueVariant&) = delete;
    UniqueVariant& operator=(const UniqueVariant&) = delete;

    // Takes ownership of what v holds; v is left VT_EMPTY.
    [[nodiscard]] static UniqueVariant Adopt(VARIANT& v) noexcept {
        UniqueVariant owner;
        owner.value_ = v;
        ::VariantInit(&v);
        return owner;
    }
    // A copy made with VariantCopy (strings duplicated, references added);
    // throws HResultError with the copy's failure.
    [[nodiscard]] static UniqueVariant CopyOf(const VARIANT& source) {
        UniqueVariant owner;
        ThrowIfFailed(::VariantCopy(&owner.value_, const_cast<VARIANT*>(&source)));
        return owner;
    }

    VARIANT* get() noexcept { return &value_; }
    const VARIANT* get() const noexcept { return &value_; }
    VARIANT* put() noexcept {
        reset();
        return &value_;
    }
    void reset() noexcept {
        ::VariantClear(&value_);
        ::VariantInit(&value_);
    }
    [[nodiscard]] VARIANT detach() noexcept {
        VARIANT v = value_;
        ::VariantInit(&value_);
        return v;
    }
    // Clears target (a caller's VARIANT, say one passed by reference) and hands
    // it what this owner holds; the owner is left VT_EMPTY. The reserved words of
    // target are overwritten too.
    void MoveTo(VARIANT& target) noexcept {
        ::VariantClear(&target);
        target = detach();
    }
    VARTYPE vt() const noexcept { return value_.vt; }

private:
    VARIANT value_;
};

// Owner of one interface reference.
template <class T>
class ComPtr {
public:
    ComPtr() noexcept = default;
    ~ComPtr() { reset(); }

    ComPtr(ComPtr&& other) noexcept : p_(other.detach()) {}
    ComPtr& operator=(ComPtr&& other) noexcept {
        if (this != &other) reset(other.detach());
        return *this;
    }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;

    // Takes over the reference the caller holds.
    [[nodiscard]] static ComPtr Adopt(T* p) noexcept {
        ComPtr owner;
        owner.p_ = p;
        return owner;
    }
    // Adds a reference of its own.
    [[nodiscard]] static ComPtr CopyOf(T* p) noexcept {
        if (p != nullptr) p->AddRef();
        return Adopt(p);
    }

    T* get() const noexcept { return p_; }
    T* operator->() const noexcept { return p_; }
    T** put() noexcept {
        reset();
        return &p_;
    }
    void** put_void() noexcept { return reinterpret_cast<void**>(put()); }
    void reset(T* p = nullptr) noexcept {
        T* old = std::exchange(p_, p);
        if (old != nullptr) old->Release();
    }
    [[nodiscard]] T* detach() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

    // QueryInterface for U; an empty pointer when the object does not answer.
    template <class U>
    [[nodiscard]] ComPtr<U> try_query(REFIID iid = __uuidof(U)) const noexcept {
        ComPtr<U> result;
        if (p_ != nullptr) p_->QueryInterface(iid, result.put_void());
        return result;
    }

private:
    T* p_ = nullptr;
};

// A critical section, initialised when made and deleted when destroyed.
class CriticalSection {
public:
    CriticalSection() noexcept { ::InitializeCriticalSection(&cs_); }
    ~CriticalSection() { ::DeleteCriticalSection(&cs_); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    void Enter() noexcept { ::EnterCriticalSection(&cs_); }
    void Leave() noexcept { ::LeaveCriticalSection(&cs_); }

private:
    CRITICAL_SECTION cs_;
};

// Holds a lock for the lifetime of the guard: Acquire when made, Release when
// gone. One guard for every lock kind (see CriticalSectionLock, SharedLock,
// ExclusiveLock).
template <class Lock, void (Lock::*Acquire)() noexcept, void (Lock::*Release)() noexcept>
class ScopedLock {
public:
    explicit ScopedLock(Lock& lock) noexcept : lock_(lock) { (lock_.*Acquire)(); }
    ~ScopedLock() { (lock_.*Release)(); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

private:
    Lock& lock_;
};

using CriticalSectionLock = ScopedLock<CriticalSection, &CriticalSection::Enter, &CriticalSection::Leave>;

// Holds SafeArrayAccessData on an array for the lifetime of the guard.
class SafeArrayDataAccess {
public:
    SafeArrayDataAccess() noexcept = default;
    ~SafeArrayDataAccess() { Release(); }
    SafeArrayDataAccess(const SafeArrayDataAccess&) = delete;
    SafeArrayDataAccess& operator=(const SafeArrayDataAccess&) = delete;

    [[nodiscard]] HRESULT Access(SAFEARRAY* psa) noexcept {
        Release();
        const HRESULT hr = ::SafeArrayAccessData(psa, &data_);
        if (SUCCEEDED(hr)) psa_ = psa;
        return hr;
    }
    template <class T>
    T* data() const noexcept { return static_cast<T*>(data_); }

private:
    void Release() noexcept {
        if (psa_ != nullptr) ::SafeArrayUnaccessData(psa_);
        psa_ = nullptr;
        data_ = nullptr;
    }

    SAFEARRAY* psa_ = nullptr;
    void* data_ = nullptr;
};

}  // namespace veska

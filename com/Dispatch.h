// IDispatch for dual interfaces: served from the type information of a type
// library (DispatchImpl), or for interfaces reached through the vtable only
// (DispatchWithoutTypeInfo).
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <cstddef>
#include <type_traits>

#include "support/Owners.h"

namespace veska {

// The type information of a fixed set of dual interfaces of one type library,
// each loaded on first use and kept until Clear. The registered library is tried
// first; when its registration is missing or damaged, the library embedded in
// the file of the module that the module function names, so late binding does
// not depend on the registry. Thread-safe. The owner calls Clear while the
// platform's libraries are still loaded (at DLL detach); the destructor leaves the
// references alone, as it may run at process exit after they are gone.
class TypeInfoCache {
public:
    TypeInfoCache(const GUID& libid, WORD major, WORD minor, HMODULE (*module)() noexcept,
                  const IID* const* iids, std::size_t count) noexcept;
    ~TypeInfoCache() = default;
    TypeInfoCache(const TypeInfoCache&) = delete;
    TypeInfoCache& operator=(const TypeInfoCache&) = delete;

    // The type information of iid, with a reference of the caller's own.
    // E_NOINTERFACE for an interface outside the set; when neither library can be
    // loaded, the registered library's failure (and nothing is cached).
    HRESULT Get(REFIID iid, ITypeInfo** typeInfo) noexcept;

    // Drops every cached reference.
    void Clear() noexcept;

private:
    static constexpr std::size_t kCapacity = 6;

    CriticalSection lock_;
    const GUID& libid_;
    WORD major_;
    WORD minor_;
    HMODULE (*module_)() noexcept;
    const IID* iids_[kCapacity] = {};
    ITypeInfo* infos_[kCapacity] = {};
    std::size_t count_ = 0;
};

// The hook through which DispatchImpl finds the type information of I: the DLL
// whose classes derive from DispatchImpl defines it, usually over a
// TypeInfoCache. The caller gets a reference of its own.
HRESULT GetCachedTypeInfo(REFIID iid, ITypeInfo** typeInfo) noexcept;

// Refuses the arguments of an Invoke call that the platform's dispatch would
// read through a bad pointer: no DISPPARAMS, missing argument or name arrays,
// more named arguments than arguments (E_INVALIDARG); a by-reference argument
// with a null pointer, or a by-reference VARIANT that holds another by-reference
// VARIANT or a null by-reference pointer (DISP_E_TYPEMISMATCH, with the
// argument's index in rgvarg in *argError when argError is not null).
HRESULT CheckInvokeArguments(const DISPPARAMS* params, UINT* argError) noexcept;

// The DISPIDs under which DispatchImpl<I, Also> answers the members of Also:
// Also's own DISPID (from 0 up to kAlsoDispIdSpan) plus kAlsoDispIdBase.
constexpr DISPID kAlsoDispIdBase = 0x10000;
constexpr DISPID kAlsoDispIdSpan = 0x10000;

// Implements IDispatch for the dual interface I. When Also is another dual
// interface of the same object, the names I does not know are looked up in
// Also's type information, and Invoke calls them on the object's Also: late-bound
// clients that hold the object through I's IDispatch, as scripts do, reach both.
// GetTypeInfo describes I alone.
template <class I, class Also = I>
class DispatchImpl : public I {
public:
    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        if (count == nullptr) return E_POINTER;
        *count = 1;
        return S_OK;
    }

    STDMETHODIMP GetTypeInfo(UINT index, LCID, ITypeInfo** typeInfo) override {
        if (typeInfo == nullptr) return E_POINTER;
        *typeInfo = nullptr;
        if (index != 0) return DISP_E_BADINDEX;
        return GetCachedTypeInfo(__uuidof(I), typeInfo);
    }

    STDMETHODIMP GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID,
                               DISPID* ids) override {
        if (!::InlineIsEqualGUID(iid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
        ComPtr<ITypeInfo> info;
        RETURN_IF_FAILED(GetCachedTypeInfo(__uuidof(I), info.put()));
        const HRESULT hr = info->GetIDsOfNames(names, count, ids);
        if constexpr (!std::is_same_v<I, Also>) {
            if (hr == DISP_E_UNKNOWNNAME && count != 0 && ids != nullptr) {
                ComPtr<ITypeInfo> also;
                if (SUCCEEDED(GetCachedTypeInfo(__uuidof(Also), also.put())) &&
                    SUCCEEDED(also->GetIDsOfNames(names, count, ids)) && ids[0] >= 0 &&
                    ids[0] < kAlsoDispIdSpan) {
                    ids[0] += kAlsoDispIdBase;
                    return S_OK;
                }
                // Neither knows every name: the answer is I's.
                return info->GetIDsOfNames(names, count, ids);
            }
        }
        return hr;
    }

    STDMETHODIMP Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params,
                        VARIANT* result, EXCEPINFO* exception, UINT* argError) override {
        if (!::InlineIsEqualGUID(iid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
        RETURN_IF_FAILED(CheckInvokeArguments(params, argError));
        if constexpr (!std::is_same_v<I, Also>) {
            if (id >= kAlsoDispIdBase && id < kAlsoDispIdBase + kAlsoDispIdSpan) {
                ComPtr<Also> target;
                RETURN_IF_FAILED(static_cast<I*>(this)->QueryInterface(__uuidof(Also),
                                                                       target.put_void()));
                ComPtr<ITypeInfo> also;
                RETURN_IF_FAILED(GetCachedTypeInfo(__uuidof(Also), also.put()));
                return also->Invoke(target.get(), id - kAlsoDispIdBase, flags, params, result,
                                    exception, argError);
            }
        }
        ComPtr<ITypeInfo> info;
        RETURN_IF_FAILED(GetCachedTypeInfo(__uuidof(I), info.put()));
        return info->Invoke(static_cast<I*>(this), id, flags, params, result, exception, argError);
    }
};

// IDispatch for an interface called through its vtable only: no type
// information and no late-bound members.
template <class I>
class DispatchWithoutTypeInfo : public I {
public:
    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        if (count == nullptr) return E_POINTER;
        *count = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** typeInfo) override {
        if (typeInfo == nullptr) return E_POINTER;
        *typeInfo = nullptr;
        return DISP_E_BADINDEX;
    }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT count, LCID, DISPID* ids) override {
        if (ids == nullptr) return E_POINTER;
        for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
        return DISP_E_UNKNOWNNAME;
    }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                        UINT*) override {
        return DISP_E_MEMBERNOTFOUND;
    }
};

}  // namespace veska

#include "com/ClassFactory.h"

#include <new>

#include "com/ModuleLock.h"

namespace veska {

namespace {

class CachedClassFactory final : public IClassFactory {
public:
    explicit CachedClassFactory(InstanceCreator create) noexcept : create_(create) {}

    STDMETHODIMP QueryInterface(REFIID iid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        if (!::InlineIsEqualGUID(iid, IID_IUnknown) && !::InlineIsEqualGUID(iid, IID_IClassFactory)) {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        *ppv = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }

    STDMETHODIMP_(ULONG) AddRef() override {
        const long count = ::InterlockedIncrement(&refCount_);
        if (count == 2) LockModule();
        return count;
    }

    STDMETHODIMP_(ULONG) Release() override {
        const long count = ::InterlockedDecrement(&refCount_);
        if (count == 0) {
            delete this;
        } else if (count == 1) {
            UnlockModule();
        }
        return count;
    }

    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (outer != nullptr && !::InlineIsEqualGUID(iid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
        return create_(outer, iid, ppv);
    }

    STDMETHODIMP LockServer(BOOL lock) override {
        if (lock) {
            LockModule();
        } else {
            UnlockModule();
        }
        return S_OK;
    }

private:
    volatile long refCount_ = 0;
    InstanceCreator create_;
};

}  // namespace

HRESULT CreateCachedClassFactory(InstanceCreator create, REFIID iid, void** ppv) noexcept {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    auto* factory = new (std::nothrow) CachedClassFactory(create);
    if (factory == nullptr) return E_OUTOFMEMORY;
    factory->AddRef();
    const HRESULT hr = factory->QueryInterface(iid, ppv);
    factory->Release();
    return hr;
}

HRESULT ClassObjectCache::Get(InstanceCreator create, REFIID iid, void** ppv,
                              ClassObjectCreator make) noexcept {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    IUnknown* object = object_.load(std::memory_order_acquire);
    if (object == nullptr) {
        ::AcquireSRWLockExclusive(&firstUse_);
        object = object_.load(std::memory_order_relaxed);
        HRESULT hr = S_OK;
        if (object == nullptr) {
            void* made = nullptr;
            hr = make(create, IID_IUnknown, &made);
            object = SUCCEEDED(hr) ? static_cast<IUnknown*>(made) : nullptr;
            if (object != nullptr) object_.store(object, std::memory_order_release);
        }
        ::ReleaseSRWLockExclusive(&firstUse_);
        if (object == nullptr) return FAILED(hr) ? hr : E_UNEXPECTED;
    }
    return object->QueryInterface(iid, ppv);
}

void ClassObjectCache::Clear() noexcept {
    IUnknown* object = object_.exchange(nullptr, std::memory_order_acq_rel);
    if (object != nullptr) object->Release();
}

}  // namespace veska

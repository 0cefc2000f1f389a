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

}  // namespace veska

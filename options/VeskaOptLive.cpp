// The members of IVeskaOptionsLive, IConnectionPointContainer and
// IProvideClassInfo2 of the options object: they forward to its LiveEvents
// (the watch, the window, the sinks) and to RefreshCache (LiveRefresh.cpp).
#include <olectl.h>

#include "options/LiveEvents.h"
#include "options/LiveWatcher.h"
#include "options/VeskaOpt.h"
#include "support/Result.h"
#include "trace/TimeTrace.h"

namespace veska {

namespace {

// Hands out the one connection point, once.
class PointEnumerator : public ObjectRoot<PointEnumerator, MultiThreadModel>, public IEnumConnectionPoints {
public:
    using Interfaces = InterfaceMap<Entry<IEnumConnectionPoints>>;

    explicit PointEnumerator(IConnectionPoint* point, ULONG position = 0) noexcept
        : point_(ComPtr<IConnectionPoint>::CopyOf(point)), position_(position) {}

    STDMETHODIMP Next(ULONG wanted, IConnectionPoint** points, ULONG* fetched) override {
        RETURN_HR_IF_NULL(E_POINTER, points);
        RETURN_HR_IF(E_INVALIDARG, wanted != 1 && fetched == nullptr);
        ULONG given = 0;
        if (wanted > 0 && position_ == 0) {
            points[0] = ComPtr<IConnectionPoint>::CopyOf(point_.get()).detach();
            position_ = given = 1;
        }
        if (fetched != nullptr) *fetched = given;
        return given == wanted ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG count) override {
        const ULONG before = position_;
        position_ = count > 0 ? 1 : position_;
        return before + count <= 1 ? S_OK : S_FALSE;
    }
    STDMETHODIMP Reset() override {
        position_ = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(IEnumConnectionPoints** clone) override {
        RETURN_HR_IF_NULL(E_POINTER, clone);
        *clone = new (std::nothrow) ComObject<PointEnumerator>(point_.get(), position_);
        RETURN_HR_IF_NULL(E_OUTOFMEMORY, *clone);
        (*clone)->AddRef();
        return S_OK;
    }

private:
    ComPtr<IConnectionPoint> point_;
    ULONG position_;
};

}  // namespace

CVeskaOptions::~CVeskaOptions() { m_liveEvents.reset(); }

LiveEvents& CVeskaOptions::Events() {
    if (!m_liveEvents) m_liveEvents = std::make_unique<LiveEvents>(*this);
    return *m_liveEvents;
}

HRESULT CVeskaOptions::RefreshAndFire(unsigned watch, LONG* changed) {
    RETURN_HR_IF(E_FAIL, m_pRoot == nullptr);
    return ComBoundary([&]() -> HRESULT {
        RefreshResult result;
        RefreshCache((watch & kWatchRegistry) != 0, (watch & kWatchSettingsFolder) != 0, result);
        std::wstring prefix;
        {
            SharedLock lock(OptionsCacheLock);
            if (m_bstrRoot) prefix.assign(m_bstrRoot.get(), ::SysStringLen(m_bstrRoot.get()));
        }
        if (changed != nullptr) *changed = result.changedValues;
        if (!result.changes.empty()) Events().Fire(result.changes, prefix);
        return S_OK;
    });
}

STDMETHODIMP CVeskaOptions::Watch(LONG What) {
    VESKA_TRACE_SCOPE(L"CVeskaOptions::Watch");
    RETURN_HR_IF(E_FAIL, m_pRoot == nullptr);
    if (What < 1 || What > 3) {
        return E_INVALIDARG;
    }
    return ComBoundary([&]() -> HRESULT {
        return Events().Watch(static_cast<unsigned>(What), m_hive, m_sMainKey);
    });
}

STDMETHODIMP CVeskaOptions::Unwatch() {
    VESKA_TRACE_SCOPE(L"CVeskaOptions::Unwatch");
    return m_liveEvents && m_liveEvents->Unwatch() ? S_OK : S_FALSE;
}

STDMETHODIMP CVeskaOptions::get_Watching(LONG* What) {
    RETURN_HR_IF_NULL(E_POINTER, What);
    *What = m_liveEvents ? static_cast<LONG>(m_liveEvents->Watching()) : 0;
    return S_OK;
}

STDMETHODIMP CVeskaOptions::Refresh(LONG* Changed) {
    VESKA_TRACE_SCOPE(L"CVeskaOptions::Refresh");
    RETURN_HR_IF_NULL(E_POINTER, Changed);
    *Changed = 0;
    return RefreshAndFire(kWatchRegistry | kWatchSettingsFolder, Changed);
}

STDMETHODIMP CVeskaOptions::put_OnChanged(VARIANT Callback) {
    return ComBoundary([&]() -> HRESULT { return Events().SetCallback(Callback); });
}

STDMETHODIMP CVeskaOptions::putref_OnChanged(VARIANT Callback) { return put_OnChanged(Callback); }

STDMETHODIMP CVeskaOptions::WaitForChange(LONG Milliseconds, VARIANT_BOOL* Delivered) {
    VESKA_TRACE_SCOPE(L"CVeskaOptions::WaitForChange");
    RETURN_HR_IF_NULL(E_POINTER, Delivered);
    *Delivered = VARIANT_FALSE;
    return ComBoundary([&]() -> HRESULT { return Events().WaitForChange(Milliseconds, Delivered); });
}

STDMETHODIMP CVeskaOptions::EnumConnectionPoints(IEnumConnectionPoints** points) {
    RETURN_HR_IF_NULL(E_POINTER, points);
    *points = nullptr;
    return ComBoundary([&]() -> HRESULT {
        auto* enumerator = new ComObject<PointEnumerator>(Events().Point());
        enumerator->AddRef();
        *points = enumerator;
        return S_OK;
    });
}

STDMETHODIMP CVeskaOptions::FindConnectionPoint(REFIID iid, IConnectionPoint** point) {
    RETURN_HR_IF_NULL(E_POINTER, point);
    *point = nullptr;
    RETURN_HR_IF(CONNECT_E_NOCONNECTION, !::InlineIsEqualGUID(iid, __uuidof(_IVeskaOptionsLiveEvents)));
    return ComBoundary([&]() -> HRESULT {
        *point = Events().Point();
        (*point)->AddRef();
        return S_OK;
    });
}

STDMETHODIMP CVeskaOptions::GetClassInfo(ITypeInfo** info) {
    RETURN_HR_IF_NULL(E_POINTER, info);
    *info = nullptr;
    ComPtr<ITypeInfo> live;
    RETURN_IF_FAILED(GetCachedTypeInfo(__uuidof(IVeskaOptionsLive), live.put()));
    ComPtr<ITypeLib> library;
    UINT index = 0;
    RETURN_IF_FAILED(live->GetContainingTypeLib(library.put(), &index));
    return library->GetTypeInfoOfGuid(__uuidof(VeskaOptions), info);
}

STDMETHODIMP CVeskaOptions::GetGUID(DWORD kind, GUID* guid) {
    RETURN_HR_IF_NULL(E_POINTER, guid);
    *guid = GUID_NULL;
    RETURN_HR_IF(E_INVALIDARG, kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID);
    *guid = __uuidof(_IVeskaOptionsLiveEvents);
    return S_OK;
}

}  // namespace veska

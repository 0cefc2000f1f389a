#include "options/LiveEvents.h"

#include <olectl.h>

#include <algorithm>

#include "com/Dispatch.h"
#include "options/LiveWatcher.h"
#include "options/PolicyLayer.h"
#include "options/VeskaOpt.h"
#include "support/ModulePath.h"
#include "support/Result.h"

namespace veska {

namespace {

constexpr wchar_t kWindowClass[] = L"VeskaOptionsLiveWindow";

// The window class is registered while any window of it lives, so nothing of
// it stays behind when the library unloads.
SRWLOCK windowClassLock = SRWLOCK_INIT;
long windowCount = 0;

// Sets the thread's error information to text, for callers that show it
// (scripts do), and returns hr.
HRESULT Refuse(HRESULT hr, const wchar_t* text) noexcept {
    ComPtr<ICreateErrorInfo> create;
    if (SUCCEEDED(::CreateErrorInfo(create.put()))) {
        create->SetDescription(const_cast<LPOLESTR>(text));
        create->SetGUID(__uuidof(IVeskaOptionsLive));
        create->SetSource(const_cast<LPOLESTR>(L"VeskaOptions"));
        ComPtr<IErrorInfo> info = create.try_query<IErrorInfo>();
        ::SetErrorInfo(0, info.get());
    }
    return hr;
}

// The key of a change as reads name it: relative to prefix (the Root, folded,
// ending in a backslash); false when the key lies outside it.
bool KeyBelowPrefix(const std::wstring& key, std::wstring_view prefix, std::wstring_view* relative) noexcept {
    if (prefix.empty()) {
        *relative = key;
        return true;
    }
    const std::wstring_view bare = prefix.substr(0, prefix.size() - 1);
    if (key.size() == bare.size() && CompareFolded(key, bare) == 0) {
        *relative = std::wstring_view();
        return true;
    }
    if (key.size() < prefix.size() || CompareFolded(std::wstring_view(key).substr(0, prefix.size()), prefix) != 0) {
        return false;
    }
    *relative = std::wstring_view(key).substr(prefix.size());
    return true;
}

// A removed key above the Root takes away everything reads reach: for them it
// is the Root's own removal, with an empty Key.
bool RemovedAbovePrefix(const LiveChange& change, std::wstring_view prefix) noexcept {
    const std::wstring& key = change.key;
    if (change.kind != ChangeKind::KeyRemoved || prefix.empty()) return false;
    return key.empty() || (key.size() < prefix.size() && prefix[key.size()] == L'\\' &&
                           CompareFolded(prefix.substr(0, key.size()), key) == 0);
}

}  // namespace

bool LiveOptionsOffered() noexcept {
    // Unknown until the type information answers; a set without the interface
    // answers E_NOINTERFACE, which holds for the life of the library.
    static volatile long offered = -1;
    if (offered < 0) {
        ComPtr<ITypeInfo> info;
        const HRESULT hr = GetCachedTypeInfo(__uuidof(IVeskaOptionsLive), info.put());
        if (SUCCEEDED(hr)) ::InterlockedExchange(&offered, 1);
        if (hr == E_NOINTERFACE) ::InterlockedExchange(&offered, 0);
        return SUCCEEDED(hr);
    }
    return offered == 1;
}

namespace {

// The interfaces the object's IDispatch answers by name beyond its own, each
// under its DISPID base.
struct ExtraDispatch {
    const IID& iid;
    DISPID base;
};
const ExtraDispatch kExtraDispatch[] = {
    {__uuidof(IVeskaOptionsLive), kLiveDispIdBase},
    {__uuidof(IVeskaOptionsPolicy), kPolicyDispIdBase},
};

}  // namespace

HRESULT LiveIDsOfNames(LPOLESTR* names, UINT count, DISPID* ids, HRESULT hr) noexcept {
    if (count == 0 || ids == nullptr || !LiveOptionsOffered()) return hr;
    for (const ExtraDispatch& extra : kExtraDispatch) {
        ComPtr<ITypeInfo> info;
        if (SUCCEEDED(GetCachedTypeInfo(extra.iid, info.put())) &&
            SUCCEEDED(info->GetIDsOfNames(names, count, ids)) && ids[0] >= 0 &&
            ids[0] < kLiveDispIdSpan) {
            ids[0] += extra.base;
            return S_OK;
        }
    }
    for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
    return hr;
}

HRESULT InvokeLive(IUnknown* object, DISPID id, REFIID iid, WORD flags, DISPPARAMS* params,
                   VARIANT* result, EXCEPINFO* exception, UINT* argError) noexcept {
    if (!::InlineIsEqualGUID(iid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    RETURN_IF_FAILED(CheckInvokeArguments(params, argError));
    const ExtraDispatch& extra = kExtraDispatch[id >= kPolicyDispIdBase ? 1 : 0];
    ComPtr<IUnknown> target;
    if (FAILED(object->QueryInterface(extra.iid, target.put_void()))) return DISP_E_MEMBERNOTFOUND;
    ComPtr<ITypeInfo> info;
    RETURN_IF_FAILED(GetCachedTypeInfo(extra.iid, info.put()));
    return info->Invoke(target.get(), id - extra.base, flags, params, result, exception, argError);
}

// ---------------------------------------------------------------------------
// LiveEvents

LiveEvents::LiveEvents(CVeskaOptions& owner) noexcept : owner_(owner), point_(*this) {}

LiveEvents::~LiveEvents() { Unwatch(); }

HRESULT LiveEvents::Watch(unsigned what, HKEY hive, const std::wstring& keyPath) {
    Unwatch();
    LiveWatchRequest request;
    request.what = what;
    request.hive = hive;
    request.keyPath = keyPath;
    if ((what & kWatchSettingsFolder) != 0 && !SettingsFolderPath(request.folder)) {
        return Refuse(HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE),
                      L"Watch: the settings folder cannot be named, the library's path is too long");
    }
    {
        ::AcquireSRWLockExclusive(&windowClassLock);
        if (windowCount == 0) {
            WNDCLASSEXW windowClass{};
            windowClass.cbSize = sizeof(windowClass);
            windowClass.lpfnWndProc = &LiveEvents::WindowProc;
            windowClass.hInstance = CodeModule();
            windowClass.lpszClassName = kWindowClass;
            ::RegisterClassExW(&windowClass);
        }
        window_ = ::CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                    CodeModule(), nullptr);
        if (window_ != nullptr) {
            ++windowCount;
        } else if (windowCount == 0) {
            ::UnregisterClassW(kWindowClass, CodeModule());
        }
        ::ReleaseSRWLockExclusive(&windowClassLock);
    }
    RETURN_HR_IF(HRESULT_FROM_WIN32(::GetLastError()), window_ == nullptr);
    ::SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    request.window = window_;
    HRESULT hr = StartLiveWatch(request, &watch_);
    if (SUCCEEDED(hr) && (what & kWatchRegistry) != 0) {
        LiveWatchRequest policy;
        policy.what = kWatchRegistry;
        policy.keyPath = kPoliciesKey;
        policy.window = window_;
        const HKEY hives[2] = {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER};
        for (int i = 0; i < 2 && SUCCEEDED(hr); ++i) {
            policy.hive = hives[i];
            hr = StartLiveWatch(policy, &policyWatches_[i]);
        }
    }
    if (FAILED(hr)) {
        Unwatch();
        return hr;
    }
    watching_ = what;
    return S_OK;
}

bool LiveEvents::Unwatch() noexcept {
    if (watch_ == nullptr && window_ == nullptr) return false;
    // The watcher posts nothing after this; what it posted goes with the window.
    StopLiveWatch(watch_);
    watch_ = nullptr;
    for (LiveWatch*& policy : policyWatches_) {
        StopLiveWatch(policy);
        policy = nullptr;
    }
    watching_ = 0;
    ++unwatches_;
    DestroyWindowNow();
    return true;
}

void LiveEvents::DestroyWindowNow() noexcept {
    if (window_ == nullptr) return;
    ::SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
    if (::GetWindowThreadProcessId(window_, nullptr) == ::GetCurrentThreadId()) {
        ::DestroyWindow(window_);
    } else {
        // Only its own thread may destroy it: that thread's next message does.
        ::PostMessageW(window_, WM_CLOSE, 0, 0);
    }
    window_ = nullptr;
    ::AcquireSRWLockExclusive(&windowClassLock);
    if (--windowCount == 0) ::UnregisterClassW(kWindowClass, CodeModule());
    ::ReleaseSRWLockExclusive(&windowClassLock);
}

LRESULT CALLBACK LiveEvents::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != kLiveChangeMessage) return ::DefWindowProcW(window, message, wParam, lParam);
    auto* events = reinterpret_cast<LiveEvents*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (events == nullptr) return 0;
    // Messages already queued for the window are taken in the same refresh.
    MSG queued;
    while (::PeekMessageW(&queued, window, kLiveChangeMessage, kLiveChangeMessage, PM_REMOVE)) {
        wParam |= queued.wParam;
    }
    // The host may release the object from inside an event.
    IUnknown* owner = events->owner_.ControllingUnknown();
    owner->AddRef();
    LONG changed = 0;
    events->owner_.RefreshAndFire(static_cast<unsigned>(wParam) & events->watching_, &changed);
    owner->Release();
    return 0;
}

HRESULT LiveEvents::SetCallback(const VARIANT& callback) {
    const VARIANT* value = &callback;
    if (value->vt == (VT_BYREF | VT_VARIANT) && value->pvarVal != nullptr) value = value->pvarVal;
    IUnknown* object = nullptr;
    switch (value->vt) {
        case VT_EMPTY:
        case VT_NULL: break;
        case VT_DISPATCH: object = value->pdispVal; break;
        case VT_UNKNOWN: object = value->punkVal; break;
        case VT_DISPATCH | VT_BYREF: object = value->ppdispVal ? *value->ppdispVal : nullptr; break;
        case VT_UNKNOWN | VT_BYREF: object = value->ppunkVal ? *value->ppunkVal : nullptr; break;
        default:
            return Refuse(E_INVALIDARG, L"OnChanged takes an object with a Changed(Key, Name, Kind) "
                                        L"member or a function, or Nothing/null to clear it");
    }
    if (object == nullptr) {
        callback_.reset();
        callbackEx_.reset();
        return S_OK;
    }
    ComPtr<IDispatch> dispatch;
    if (FAILED(object->QueryInterface(IID_IDispatch, dispatch.put_void())) || !dispatch) {
        return Refuse(E_INVALIDARG, L"OnChanged: the object has no IDispatch to call Changed through");
    }
    ComPtr<IDispatchEx> dispatchEx = dispatch.try_query<IDispatchEx>();
    // Changed by name, through the type information, then through IDispatchEx;
    // else the object itself is called (its default member, or a function).
    DISPID id = DISPID_VALUE;
    wchar_t name[] = L"Changed";
    LPOLESTR names[] = {name};
    DISPID found = DISPID_UNKNOWN;
    if (SUCCEEDED(dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &found))) {
        id = found;
    } else if (dispatchEx) {
        UniqueBstr bstr = CopyBstr(name, 7);
        if (SUCCEEDED(dispatchEx->GetDispID(bstr.get(), fdexNameCaseInsensitive, &found))) id = found;
    }
    callback_ = std::move(dispatch);
    callbackEx_ = std::move(dispatchEx);
    callbackId_ = id;
    return S_OK;
}

void LiveEvents::Fire(const std::vector<LiveChange>& changes, std::wstring_view prefix) {
    if (changes.empty()) return;
    ++delivered_;
    // Copies: a sink may unadvise, or the callback be replaced, while called.
    std::vector<ComPtr<IDispatch>> sinks;
    for (const auto& sink : sinks_) sinks.push_back(ComPtr<IDispatch>::CopyOf(sink.second.get()));
    ComPtr<IDispatch> callback = ComPtr<IDispatch>::CopyOf(callback_.get());
    ComPtr<IDispatchEx> callbackEx = ComPtr<IDispatchEx>::CopyOf(callbackEx_.get());
    const DISPID callbackId = callbackId_;
    // A sink or the callback that calls Unwatch ends the delivery: nothing
    // reaches anyone after it.
    const unsigned long unwatches = unwatches_;
    const auto unwatched = [&] { return unwatches_ != unwatches; };
    for (const LiveChange& change : changes) {
        std::wstring_view key;  // stays empty for a removal above the Root
        if (!KeyBelowPrefix(change.key, prefix, &key) && !RemovedAbovePrefix(change, prefix)) continue;
        VARIANT args[3];  // the last argument first
        UniqueBstr keyText = CopyBstr(key.data(), static_cast<UINT>(key.size()));
        UniqueBstr nameText = CopyBstr(change.name.data(), static_cast<UINT>(change.name.size()));
        args[0].vt = VT_I4;
        args[0].lVal = static_cast<LONG>(change.kind);
        args[1].vt = VT_BSTR;
        args[1].bstrVal = nameText.get();
        args[2].vt = VT_BSTR;
        args[2].bstrVal = keyText.get();
        DISPPARAMS params{args, nullptr, 3, 0};
        // A sink's failure is its own: the others still get the event.
        for (const auto& sink : sinks) {
            if (unwatched()) return;
            UniqueVariant ignored;
            sink->Invoke(1, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, ignored.put(),
                         nullptr, nullptr);
        }
        if (unwatched()) return;
        if (callback) {
            UniqueVariant ignored;
            if (callbackEx) {
                callbackEx->InvokeEx(callbackId, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                                     ignored.put(), nullptr, nullptr);
            } else {
                callback->Invoke(callbackId, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                                 ignored.put(), nullptr, nullptr);
            }
        }
    }
}

HRESULT LiveEvents::WaitForChange(LONG milliseconds, VARIANT_BOOL* delivered) {
    RETURN_HR_IF_NULL(E_POINTER, delivered);
    *delivered = VARIANT_FALSE;
    const unsigned long before = delivered_;
    const ULONGLONG start = ::GetTickCount64();
    for (;;) {
        MSG message;
        while (delivered_ == before && ::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                // Left for the host's own loop.
                ::PostQuitMessage(static_cast<int>(message.wParam));
                return S_OK;
            }
            ::TranslateMessage(&message);
            ::DispatchMessageW(&message);
        }
        if (delivered_ != before) {
            *delivered = VARIANT_TRUE;
            return S_OK;
        }
        DWORD wait = INFINITE;
        if (milliseconds >= 0) {
            const ULONGLONG passed = ::GetTickCount64() - start;
            if (passed >= static_cast<ULONGLONG>(milliseconds)) return S_OK;
            wait = static_cast<DWORD>(static_cast<ULONGLONG>(milliseconds) - passed);
        }
        ::MsgWaitForMultipleObjectsEx(0, nullptr, wait, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
}

// ---------------------------------------------------------------------------
// The connection point

STDMETHODIMP LiveEvents::ConnectionPoint::QueryInterface(REFIID iid, void** ppv) {
    RETURN_HR_IF_NULL(E_POINTER, ppv);
    *ppv = nullptr;
    if (!::InlineIsEqualGUID(iid, IID_IUnknown) && !::InlineIsEqualGUID(iid, IID_IConnectionPoint)) {
        return E_NOINTERFACE;
    }
    *ppv = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) LiveEvents::ConnectionPoint::AddRef() { return events_.owner_.ControllingUnknown()->AddRef(); }
STDMETHODIMP_(ULONG) LiveEvents::ConnectionPoint::Release() { return events_.owner_.ControllingUnknown()->Release(); }

STDMETHODIMP LiveEvents::ConnectionPoint::GetConnectionInterface(IID* iid) {
    RETURN_HR_IF_NULL(E_POINTER, iid);
    *iid = __uuidof(_IVeskaOptionsLiveEvents);
    return S_OK;
}

STDMETHODIMP LiveEvents::ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** container) {
    RETURN_HR_IF_NULL(E_POINTER, container);
    return events_.owner_.ControllingUnknown()->QueryInterface(IID_IConnectionPointContainer,
                                                               reinterpret_cast<void**>(container));
}

STDMETHODIMP LiveEvents::ConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) {
    RETURN_HR_IF_NULL(E_POINTER, cookie);
    *cookie = 0;
    RETURN_HR_IF_NULL(E_POINTER, sink);
    ComPtr<IDispatch> dispatch;
    if (FAILED(sink->QueryInterface(__uuidof(_IVeskaOptionsLiveEvents), dispatch.put_void())) &&
        FAILED(sink->QueryInterface(IID_IDispatch, dispatch.put_void()))) {
        return CONNECT_E_CANNOTCONNECT;
    }
    return ComBoundary([&]() -> HRESULT {
        events_.sinks_.emplace_back(events_.nextCookie_, std::move(dispatch));
        *cookie = events_.nextCookie_++;
        return S_OK;
    });
}

STDMETHODIMP LiveEvents::ConnectionPoint::Unadvise(DWORD cookie) {
    auto& sinks = events_.sinks_;
    const auto found = std::find_if(sinks.begin(), sinks.end(), [&](const auto& s) { return s.first == cookie; });
    RETURN_HR_IF(CONNECT_E_NOCONNECTION, found == sinks.end());
    ComPtr<IDispatch> released = std::move(found->second);
    sinks.erase(found);
    return S_OK;
}

STDMETHODIMP LiveEvents::ConnectionPoint::EnumConnections(IEnumConnections** connections) {
    if (connections != nullptr) *connections = nullptr;
    return E_NOTIMPL;
}

}  // namespace veska

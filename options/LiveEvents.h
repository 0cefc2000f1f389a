// The event side of live options: the connection point of
// _IVeskaOptionsLiveEvents, the script callback of OnChanged, the message-only
// window through which the watcher thread reaches the thread that called Watch,
// and WaitForChange. One LiveEvents per options object, made on first use; the
// object calls it on its own thread only.
//
// The earlier edition's type library describes neither IVeskaOptionsLive nor
// the events: an object answers those interfaces only where the library's type
// information has them (LiveEntry), so the earlier edition stays as it was.
#pragma once

#include <windows.h>
#include <dispex.h>
#include <ocidl.h>

#include <string>
#include <utility>
#include <vector>

#include "VeskaOptions_h.h"
#include "options/LiveRefresh.h"
#include "support/Owners.h"

namespace veska {

class CVeskaOptions;
class LiveWatch;

// True when this library's type information describes IVeskaOptionsLive (the
// current edition).
bool LiveOptionsOffered() noexcept;

// An interface-table entry answered only when LiveOptionsOffered.
template <class I, class Via = I>
struct LiveEntry {
    static const IID& Iid() noexcept { return __uuidof(I); }
    template <class T>
    static void* Cast(T* self) noexcept {
        return LiveOptionsOffered() ? static_cast<I*>(static_cast<Via*>(self)) : nullptr;
    }
};

// The DISPIDs under which the object's IDispatch answers the members of the
// current edition's IVeskaOptionsLive and IVeskaOptionsPolicy: their own plus
// the interface's base (the diagnostics use kAlsoDispIdBase).
constexpr DISPID kLiveDispIdBase = 0x20000;
constexpr DISPID kPolicyDispIdBase = 0x30000;
constexpr DISPID kLiveDispIdSpan = 0x10000;
inline bool IsLiveDispId(DISPID id) noexcept {
    return id >= kLiveDispIdBase && id < kPolicyDispIdBase + kLiveDispIdSpan;
}

// Looks names up in IVeskaOptionsLive's, then IVeskaOptionsPolicy's, type
// information; unknown (the answer hr stands) when neither has them.
HRESULT LiveIDsOfNames(LPOLESTR* names, UINT count, DISPID* ids, HRESULT hr) noexcept;

// Invokes a member of IVeskaOptionsLive or IVeskaOptionsPolicy reached through
// the object's IDispatch.
HRESULT InvokeLive(IUnknown* object, DISPID id, REFIID iid, WORD flags, DISPPARAMS* params,
                   VARIANT* result, EXCEPINFO* exception, UINT* argError) noexcept;

class LiveEvents {
public:
    explicit LiveEvents(CVeskaOptions& owner) noexcept;
    ~LiveEvents();
    LiveEvents(const LiveEvents&) = delete;
    LiveEvents& operator=(const LiveEvents&) = delete;

    // Starts watching what (LiveWatcher.h bits) of the owner's Init key and the
    // settings folder, with a window on the calling thread; a watch already
    // running ends first. Watching the registry watches the policy key
    // (PolicyLayer.h) in both hives too.
    HRESULT Watch(unsigned what, HKEY hive, const std::wstring& keyPath);
    // Ends the watch, dropping events not yet delivered; false when none ran.
    bool Unwatch() noexcept;
    unsigned Watching() const noexcept { return watching_; }

    // Sets or clears (VT_EMPTY, VT_NULL, a null object) the script callback.
    HRESULT SetCallback(const VARIANT& callback);

    // Calls every sink and the callback for each change, in order; prefix is
    // the owner's Root, whose keys the events name relative to it (changes
    // outside it are not reported). An Unwatch from inside a call ends it.
    void Fire(const std::vector<LiveChange>& changes, std::wstring_view prefix);

    HRESULT WaitForChange(LONG milliseconds, VARIANT_BOOL* delivered);

    IConnectionPoint* Point() noexcept { return &point_; }

private:
    // The connection point: a part of the owner, counted on the owner.
    class ConnectionPoint final : public IConnectionPoint {
    public:
        explicit ConnectionPoint(LiveEvents& events) noexcept : events_(events) {}
        STDMETHODIMP QueryInterface(REFIID iid, void** ppv) override;
        STDMETHODIMP_(ULONG) AddRef() override;
        STDMETHODIMP_(ULONG) Release() override;
        STDMETHODIMP GetConnectionInterface(IID* iid) override;
        STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** container) override;
        STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override;
        STDMETHODIMP Unadvise(DWORD cookie) override;
        STDMETHODIMP EnumConnections(IEnumConnections** connections) override;

    private:
        LiveEvents& events_;
    };

    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void DestroyWindowNow() noexcept;

    CVeskaOptions& owner_;
    ConnectionPoint point_;
    std::vector<std::pair<DWORD, ComPtr<IDispatch>>> sinks_;
    DWORD nextCookie_ = 1;
    ComPtr<IDispatch> callback_;
    ComPtr<IDispatchEx> callbackEx_;  // set when the callback answers IDispatchEx
    DISPID callbackId_ = DISPID_VALUE;
    HWND window_ = nullptr;
    LiveWatch* watch_ = nullptr;
    LiveWatch* policyWatches_[2] = {};  // machine and user policy
    unsigned watching_ = 0;
    unsigned long delivered_ = 0;  // events fired so far; WaitForChange watches it
    unsigned long unwatches_ = 0;  // watches ended so far; Fire stops when it moves
};

}  // namespace veska

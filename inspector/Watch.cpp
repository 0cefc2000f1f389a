#include "inspector/Watch.h"

#include <ocidl.h>

#include "inspector/Console.h"
#include "inspector/ValueText.h"

namespace veskaopt {
namespace {

volatile LONG interrupted = 0;

BOOL WINAPI OnConsoleControl(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    ::InterlockedExchange(&interrupted, 1);
    return TRUE;
}

// The origin of a value in words, as "show" gives its kinds.
std::wstring OriginText(OptionsSession& session, const std::wstring& key, const std::wstring& name) {
    IVeskaOptionsDiagnostics* diagnostics = session.Diagnostics();
    if (diagnostics == nullptr) return L"origin unknown";
    veska::UniqueBstr keyText = veska::CopyBstr(key.c_str(), static_cast<UINT>(key.size()));
    veska::UniqueBstr nameText = veska::CopyBstr(name.c_str(), static_cast<UINT>(name.size()));
    veska::UniqueVariant origin;
    if (FAILED(diagnostics->GetValueOrigin(keyText.get(), nameText.get(), origin.put())) ||
        origin.vt() != (VT_ARRAY | VT_VARIANT)) {
        return L"origin unknown";
    }
    veska::SafeArrayDataAccess access;
    if (FAILED(access.Access(origin.get()->parray))) return L"origin unknown";
    const VARIANT* slot = access.data<VARIANT>();
    switch (slot[0].lVal) {
        case 1: return L"registry";
        case 2: return L"settings file " + std::wstring(slot[1].bstrVal ? slot[1].bstrVal : L"");
        case 3: return L"written";
        case 4: return L"written, persisted";
        default: return L"none";
    }
}

// Prints each Changed call below the watched path as one line.
class PrintingSink final : public IDispatch {
public:
    PrintingSink(OptionsSession& session, std::wstring path) : session_(session), path_(std::move(path)) {}
    long printed = 0;

    STDMETHODIMP QueryInterface(REFIID iid, void** ppv) override {
        if (iid == IID_IUnknown || iid == IID_IDispatch || iid == DIID__IVeskaOptionsLiveEvents) {
            *ppv = static_cast<IDispatch*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }  // lives on the stack of WatchEvents
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetTypeInfoCount(UINT* count) override { return *count = 0, S_OK; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return DISP_E_BADINDEX; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return DISP_E_UNKNOWNNAME; }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                        UINT*) override {
        if (id != 1 || params == nullptr || params->cArgs != 3) return DISP_E_MEMBERNOTFOUND;
        const std::wstring key = params->rgvarg[2].bstrVal ? params->rgvarg[2].bstrVal : L"";
        const std::wstring name = params->rgvarg[1].bstrVal ? params->rgvarg[1].bstrVal : L"";
        const long kind = params->rgvarg[0].lVal;
        if (!Below(key)) return S_OK;
        static const wchar_t* const verbs[] = {L"", L"added", L"changed", L"removed", L"added", L"removed", L"kept"};
        const wchar_t* verb = kind >= 1 && kind <= 6 ? verbs[kind] : L"changed";
        std::wstring line = std::wstring(verb) + L" ";
        if (name.empty()) {
            line += L"key " + Escaped(key) + L"\\";
        } else {
            line += Escaped(JoinPath(key, name));
            veska::UniqueVariant value;
            if (kind != 3 && SUCCEEDED(session_.GetValue(key, name, value))) {
                line += L" = " + TypeName(value.vt()) + L" " + DisplayText(*value.get()) + L"  (" +
                        OriginText(session_, key, name) + L")";
            }
        }
        Out(line + L"\n");
        ++printed;
        return S_OK;
    }

private:
    bool Below(const std::wstring& key) const {
        if (path_.empty()) return true;
        if (key.size() < path_.size() ||
            ::CompareStringOrdinal(key.c_str(), static_cast<int>(path_.size()), path_.c_str(),
                                   static_cast<int>(path_.size()), TRUE) != CSTR_EQUAL) {
            return false;
        }
        return key.size() == path_.size() || key[path_.size()] == L'\\';
    }

    OptionsSession& session_;
    std::wstring path_;
};

}  // namespace

int WatchEvents(OptionsSession& session, const std::wstring& path, long count, double seconds) {
    veska::ComPtr<IVeskaOptionsLive> live;
    ThrowIfFailed(session.Options()->QueryInterface(IID_IVeskaOptionsLive, live.put_void()),
                  L"asking the options object for IVeskaOptionsLive (a DLL without live options?)");
    veska::ComPtr<IConnectionPointContainer> container;
    ThrowIfFailed(session.Options()->QueryInterface(IID_IConnectionPointContainer, container.put_void()),
                  L"asking the options object for its events");
    veska::ComPtr<IConnectionPoint> point;
    ThrowIfFailed(container->FindConnectionPoint(DIID__IVeskaOptionsLiveEvents, point.put()),
                  L"finding the events' connection point");
    PrintingSink sink(session, path);
    DWORD cookie = 0;
    ThrowIfFailed(point->Advise(&sink, &cookie), L"Advise");
    ThrowIfFailed(live->Watch(3), L"Watch");
    ::SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
    const ULONGLONG end = seconds > 0 ? ::GetTickCount64() + static_cast<ULONGLONG>(seconds * 1000) : 0;
    while (interrupted == 0 && (count <= 0 || sink.printed < count)) {
        LONG slice = 200;  // short, so Ctrl+C is seen
        if (end != 0) {
            const ULONGLONG now = ::GetTickCount64();
            if (now >= end) break;
            if (end - now < static_cast<ULONGLONG>(slice)) slice = static_cast<LONG>(end - now);
        }
        VARIANT_BOOL delivered = VARIANT_FALSE;
        ThrowIfFailed(live->WaitForChange(slice, &delivered), L"WaitForChange");
    }
    live->Unwatch();
    point->Unadvise(cookie);
    ::SetConsoleCtrlHandler(&OnConsoleControl, FALSE);
    return kExitOk;
}

}  // namespace veskaopt

// IPersistStreamInit on the options object: exposed for hosts that ask for it,
// not implemented; every member answers E_NOTIMPL.
#include "trace/TimeTrace.h"
#include "options/VeskaOpt.h"

namespace veska {

STDMETHODIMP CVeskaOptions::GetClassID(CLSID*) {
    VESKA_TRACE_SCOPE(L"CVeskaOptions::GetClassID");
    return E_NOTIMPL;
}

STDMETHODIMP CVeskaOptions::IsDirty() {
    VESKA_TRACE_SCOPE(L"CVeskaOptions::IsDirty");
    return E_NOTIMPL;
}

STDMETHODIMP CVeskaOptions::Load(LPSTREAM) {
    VESKA_TRACE_SCOPE(L"CVeskaOptions::Load");
    return E_NOTIMPL;
}

STDMETHODIMP CVeskaOptions::Save(LPSTREAM, BOOL) {
    VESKA_TRACE_SCOPE(L"CVeskaOptions::Save");
    return E_NOTIMPL;
}

STDMETHODIMP CVeskaOptions::GetSizeMax(ULARGE_INTEGER*) {
    VESKA_TRACE_SCOPE(L"CVeskaOptions::GetSizeMax");
    return E_NOTIMPL;
}

STDMETHODIMP CVeskaOptions::InitNew() {
    VESKA_TRACE_SCOPE(L"CVeskaOptions::InitNew");
    return E_NOTIMPL;
}

}  // namespace veska

// The IDispatch of the options object, and the calls of its arrays that it
// answers itself because the type information cannot.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include "VeskaOptions_h.h"
#include "com/Dispatch.h"

namespace veska {

// The object's IDispatch (reached through IVeskaOptions3) answers the names of
// IVeskaOptionsDiagnostics too, so a script, which cannot ask for a second
// interface, calls them on the object it holds; the IDispatch of
// IVeskaOptionsDiagnostics itself serves that interface's own DISPIDs.
// The IDispatch of the options object. GetKeys and GetValues hand their arrays
// out through typed array references, and the type information's dispatch takes
// nothing else there; scripts pass a VARIANT variable by reference (VBScript) or
// no reference at all (JScript has none). Those two forms are answered here: the
// array, as an array of VARIANTs (the only arrays the scripting engines index),
// goes into the variable when there is one, and into the result. Every other
// call goes to the type information as before.
// The names of IVeskaOptionsLive are answered the same way (LiveEvents.h).
class OptionsDispatch : public DispatchImpl<IVeskaOptions3, IVeskaOptionsDiagnostics> {
public:
    STDMETHODIMP GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid,
                               DISPID* ids) override;
    STDMETHODIMP Invoke(DISPID id, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params,
                        VARIANT* result, EXCEPINFO* exception, UINT* argError) override;
};

}  // namespace veska

' A late-bound client of the property provider: shows the property sheet with
' the pages of a registered component (whose page closes the frame by itself)
' and looks the component up by interface identifier.
' Prints one line per check and ends with "RESULT: PASS" or "RESULT: FAIL".
Option Explicit

Dim failures : failures = 0
Sub Check(condition, what)
    If condition Then
        WScript.Echo "ok   " & what
    Else
        WScript.Echo "FAIL " & what
        failures = failures + 1
    End If
End Sub

Const IID_ISpecifyPropertyPages = "{B196B28B-BAB4-101A-B69C-00AA00341D07}"
Const IID_IPersistStream = "{00000109-0000-0000-C000-000000000046}"

Dim provider : Set provider = CreateObject("Corvane.PropertyProvider.1")
Dim pages : Set pages = CreateObject("Veska.Test.ClosingPages")
provider.RegisterObject pages

provider.DoPropertySheet 0
Check pages.Activations = 1, "DoPropertySheet with no owner window showed the page"
provider.DoPropertySheet CLng(0)
Check pages.Activations = 2, "and again with the handle as a number"

Dim found
provider.GetRegisteredObj IID_ISpecifyPropertyPages, found
Check found Is pages, "GetRegisteredObj hands the component to its second argument"
Dim returned : Set returned = provider.GetRegisteredObj(IID_ISpecifyPropertyPages)
Check returned Is pages, "and as its result"
Set returned = provider.GetRegisteredObj(IID_IPersistStream)
Check returned Is Nothing, "no component answers IPersistStream: Nothing"

On Error Resume Next
provider.GetRegisteredObj "not an identifier", found
Check Err.Number = 13, "a text that is no identifier is a type mismatch (13)"
Err.Clear
provider.DoPropertySheet "window"
Check Err.Number = 13, "so is a window handle that is no number"
Err.Clear
On Error GoTo 0
Check pages.Activations = 2, "refused calls show nothing"

provider.UnRegisterObject pages
If failures = 0 Then WScript.Echo "RESULT: PASS" Else WScript.Echo "RESULT: FAIL"

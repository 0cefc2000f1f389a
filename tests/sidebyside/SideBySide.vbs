' One side of the side-by-side test, run by the 32-bit or the 64-bit script host:
' each finds the DLL registered for its own architecture.
'   SideBySide.vbs write <root> <text>  Init on HKCU\<root>, write Shared\Text with
'                                        ChangeDefault
'   SideBySide.vbs read <root> <text>   a fresh Init reads Shared\Text back as <text>;
'                                        the property provider is created too
'   SideBySide.vbs absent               neither class can be created
' Prints what it did and ends with "RESULT: PASS" or "RESULT: FAIL".
Option Explicit

Dim mode : mode = WScript.Arguments(0)
Dim failed : failed = False
Sub Check(condition, what)
    If condition Then WScript.Echo "ok   " & what Else WScript.Echo "FAIL " & what : failed = True
End Sub

If mode = "absent" Then
    Dim progId
    For Each progId In Array("Corvane.VeskaOptions.1", "Corvane.PropertyProvider.1")
        On Error Resume Next
        Dim unreachable : Set unreachable = CreateObject(progId)
        Check Err.Number <> 0, progId & " is not registered for this architecture"
        Err.Clear
        On Error GoTo 0
    Next
Else
    Dim root : root = WScript.Arguments(1)
    Dim text : text = WScript.Arguments(2)
    Dim options : Set options = CreateObject("Corvane.VeskaOptions.1")
    options.Init 1, root
    If mode = "write" Then
        options.SetValueByName "Shared", "Text", text, 1
        Check options.GetValueByName("Shared", "Text") = text, "wrote " & text
    Else
        Check options.GetValueByName("Shared", "Text") = text, "read " & text & " after Init"
        Dim provider : Set provider = CreateObject("Corvane.PropertyProvider.1")
        On Error Resume Next
        provider.UnRegisterObject options
        Check Err.Number = &H80004005, "the property provider answers (E_FAIL for an unknown object)"
        Err.Clear
        On Error GoTo 0
    End If
End If

If failed Then WScript.Echo "RESULT: FAIL" Else WScript.Echo "RESULT: PASS"

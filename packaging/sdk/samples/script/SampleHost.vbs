' A late-bound VBScript host of VeskaOptions: creates both classes by ProgID,
' writes a value below HKEY_CURRENT_USER and reads it back.
'   cscript //nologo SampleHost.vbs
Option Explicit
Const root = "Software\Corvane Interactive\VeskaSdkSample"

Dim options : Set options = CreateObject("Corvane.VeskaOptions.1")
options.Init 1, root                          ' 1: HKEY_CURRENT_USER
On Error Resume Next
options.AddKey "Sample", 1                    ' fails when the key is there already
On Error GoTo 0
options.SetValueByName "Sample", "Greeting", "Hello from VBScript", 1   ' 1: write the registry too
WScript.Echo "VeskaOptions: Sample\Greeting = " & options.GetValueByName("Sample", "Greeting")

' The provider pools the pages of objects that announce property pages; the
' options object announces none, so the provider refuses it with E_NOINTERFACE,
' which VBScript reports as its own error 430.
Dim provider : Set provider = CreateObject("Corvane.PropertyProvider.1")
On Error Resume Next
provider.RegisterObject options
If Err.Number = 430 Then
    WScript.Echo "PropertyProvider: RegisterObject(options) refused, as it should be: the options object " & _
                 "announces no property pages (E_NOINTERFACE, which VBScript reports as error 430)"
Else
    WScript.Echo "PropertyProvider: RegisterObject(options) gave error " & Err.Number & ", not 430: " & Err.Description
End If
Err.Clear
On Error GoTo 0

CreateObject("WScript.Shell").RegDelete "HKCU\" & root & "\Sample\"
CreateObject("WScript.Shell").RegDelete "HKCU\" & root & "\"

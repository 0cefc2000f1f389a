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

Dim provider : Set provider = CreateObject("Corvane.PropertyProvider.1")
On Error Resume Next
provider.RegisterObject options               ' refused: the options object has no pages
WScript.Echo "PropertyProvider: RegisterObject(options) = 0x" & Hex(Err.Number)
Err.Clear
On Error GoTo 0

CreateObject("WScript.Shell").RegDelete "HKCU\" & root & "\Sample\"
CreateObject("WScript.Shell").RegDelete "HKCU\" & root & "\"

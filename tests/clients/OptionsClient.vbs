' A late-bound client of both classes, as a Visual Basic host drives them.
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

Dim shell : Set shell = CreateObject("WScript.Shell")
Dim root : root = WScript.Arguments(0)
Dim hkcu : hkcu = "HKCU\" & root & "\"
shell.RegWrite hkcu & "Editor\FontSize", 12, "REG_DWORD"
shell.RegWrite hkcu & "Editor\Font", "Courier", "REG_SZ"

Dim options : Set options = CreateObject("Corvane.VeskaOptions.1")
options.Root = "Editor"
Check options.Root = "Editor\", "Root put adds the backslash"
options.Root = ""
Check IsNull(options.Root) Or options.Root = "", "an empty Root switches the prefix off"

options.Init 1, root
Check options.Dirty = 0, "Dirty starts false"
Check options.GetValueByName("Editor", "FONTSIZE") = 12, "GetValueByName ignores letter case"

options.SetValueByName "Editor", "FontSize", 14, 0
Check options.Dirty = -1, "four arguments: SetDirtyBit defaults to 1"
Check options.GetValueByName("Editor", "FontSize") = 14, "the cache has the new value"
Check shell.RegRead(hkcu & "Editor\FontSize") = 12, "without ChangeDefault the registry keeps 12"

options.SetValueByName "Editor", "Font", "Arial", 1
Check shell.RegRead(hkcu & "Editor\Font") = "Arial", "with ChangeDefault the registry follows"

' The diagnostics answer by name on the object the script holds.
Dim origin : origin = options.GetValueOrigin("Editor", "FontSize")
Check origin(0) = 3 And origin(1) = "", "a value written to the cache alone has no source"
Check origin(3) = "HKEY_CURRENT_USER\" & root & "\Editor", "and names the registry key it replaced"
Check options.KeyCount = 1 And options.ValueCount = 2 And options.OverriddenCount = 0, _
      "the counts of Init"
Dim files : files = options.GetSettingsFiles()
Check UBound(files, 1) = 4 And UBound(files, 2) = -1, "no settings files: five columns, no rows"
Check Right(options.SettingsFolder, 14) = "\Dat\Settings\", "the settings folder"

' A user policy value below the policy key is locked for the next object.
Dim policyKey : policyKey = "HKCU\" & options.PolicyRoot & "\"
Check options.PolicyRoot = "Software\Policies\" & Mid(root, 10), "the policy key drops the Init key's Software\"
shell.RegWrite policyKey & "Editor\FontSize", 20, "REG_DWORD"
Dim policed : Set policed = CreateObject("Corvane.VeskaOptions.1")
policed.Init 1, root
Check policed.IsLocked("Editor", "fontsize") And Not policed.IsLocked("Editor", "Font"), _
      "IsLocked answers by name on the object"
Check policed.GetValueByName("Editor", "FontSize") = 20 And policed.LockedCount = 1, _
      "policy wins over the registry"
On Error Resume Next
policed.SetValueByName "Editor", "FontSize", 1, 1
Check Err.Number = 70, "a write of a locked value is refused (E_ACCESSDENIED: permission denied)"
Err.Clear
On Error GoTo 0
Check shell.RegRead(hkcu & "Editor\FontSize") = 12, "and the registry keeps its value"

options.RemoveValueByName "Editor", "Font"
Dim removed : removed = False
On Error Resume Next
Dim gone : gone = options.GetValueByName("Editor", "Font")
removed = (Err.Number <> 0)
Err.Clear
On Error GoTo 0
Check removed, "RemoveValueByName without ChangeDefault removes from the cache"
Check shell.RegRead(hkcu & "Editor\Font") = "Arial", "and leaves the registry"

options.AddKey "Editor\Colors", 1
On Error Resume Next
options.AddKey "EDITOR\colors", 0
Check Err.Number = &H80004005, "AddKey of an existing key (in any letter case) fails with E_FAIL"
Err.Clear
On Error GoTo 0
options.SetValueByName "Editor\Colors", "Background", 255, 1
Check shell.RegRead(hkcu & "Editor\Colors\Background") = 255, "the added key takes values"

' GetKeys and GetValues fill a script's variables; GetValues by column, then row.
Dim keys, values, path : path = "Editor"
options.GetKeys path, keys
Check UBound(keys, 2) = 0 And keys(0, 0) = "colors", "GetKeys fills a variable"
options.GetValues "Editor\Colors", values
Check UBound(values, 2) = 0 And values(0, 0) = "background" And values(1, 0) = 255, _
      "GetValues fills a variable with the names and values"

' The provider: a late-bound call that fails comes back as the script's error.
Dim provider : Set provider = CreateObject("Corvane.PropertyProvider.1")
On Error Resume Next
provider.RegisterObject options
Check Err.Number = 430, "an object without pages is refused with E_NOINTERFACE"
Err.Clear
provider.UnRegisterObject options
Check Err.Number = &H80004005, "unregistering an unknown object fails with E_FAIL"
Err.Clear
On Error GoTo 0

If failures = 0 Then WScript.Echo "RESULT: PASS" Else WScript.Echo "RESULT: FAIL"

; The DLL's registrations and the recorded installation folder (included by
; VeskaOptions.nsi): another product's registration counted and written back,
; "Installation Dir" recorded and taken out.

; Another product may have registered the same classes from its own copy of the
; DLL. A registration without a count is counted as one here, so that this
; product's last uninstall leaves it in place; a server path other than the bare
; file name is kept in the Uninstall key and written back when this product's
; last uninstall leaves the entry behind. Works in the current registry view;
; $R5 names the view ("64" or "32").
!macro KeepOtherRegistration key name
  ClearErrors
  ReadRegStr $0 HKCR "${key}" ""
  ${IfNot} ${Errors}
    ClearErrors
    ReadRegDWORD $1 HKCR "${key}" "RefCount"
    ${If} ${Errors}
      WriteRegDWORD HKCR "${key}" "RefCount" 1
      !insertmacro Note "Counted the earlier registration of HKCR\${key} ($R5-bit) as one."
    ${EndIf}
    ${If} $0 != "${DLL}"
      SetRegView 64
      WriteRegStr HKLM "${UNINST}" "Other${name}$R5" "$0"
      !insertmacro View
      !insertmacro Note "HKCR\${key} ($R5-bit) names $0; written back when VeskaOptions is removed."
    ${EndIf}
  ${EndIf}
!macroend

; The registry view $R5 names ("64" or "32").
!macro View
  ${If} $R5 == 32
    SetRegView 32
  ${Else}
    SetRegView 64
  ${EndIf}
!macroend

; Registers the DLL of one architecture: $R5 "64" or "32", $R0 its regsvr32, $R2 the DLL.
Function RegisterOne
  !insertmacro View
  ${If} $Installs == 0
    !insertmacro KeepOtherRegistration "CLSID\${CLSID_OPTIONS}\InprocServer32" "Options"
    !insertmacro KeepOtherRegistration "CLSID\${CLSID_PROVIDER}\InprocServer32" "Provider"
    !insertmacro KeepOtherRegistration "${TYPELIB}\win$R5" "TypeLib"
  ${EndIf}
  SetRegView 64
  StrCpy $R1 "/s"
  Call RegSvr
  ${If} $R3 == 0
    !insertmacro Note "Registered $R2 ($R5-bit)."
  ${Else}
    StrCpy $Failed 1
    !insertmacro Note "Registering $R2 ($R5-bit) failed: regsvr32 exit code $R3."
    MessageBox MB_ICONEXCLAMATION "Registering $R2 failed (regsvr32 exit code $R3)." /SD IDOK
  ${EndIf}
FunctionEnd

; Records "Installation Dir" in the current registry view ($R5 names it). The
; value another product recorded before the first install is kept in the
; Uninstall key and written back by the last uninstall.
Function RecordInstallationDir
  !insertmacro View
  ClearErrors
  ReadRegStr $0 HKLM "${INSTALLKEY}" "Installation Dir"
  WriteRegStr HKLM "${INSTALLKEY}" "Installation Dir" "$INSTDIR"
  SetRegView 64
  ${If} $Installs == 0
  ${AndIf} $0 != ""
  ${AndIf} $0 != "$INSTDIR"
    WriteRegStr HKLM "${UNINST}" "OtherInstallationDir$R5" "$0"
    !insertmacro Note "Installation Dir ($R5-bit view) named $0; written back when VeskaOptions is removed."
  ${EndIf}
FunctionEnd

; Writes back a server path that another product's registration named before
; this product was installed, where that registration is still there.
!macro RestoreOtherRegistration view key name
  ReadRegStr $0 HKLM "${UNINST}" "Other${name}${view}"
  ${If} $0 != ""
    SetRegView ${view}
    ClearErrors
    ReadRegDWORD $1 HKCR "${key}" "RefCount"
    ${IfNot} ${Errors}
      WriteRegStr HKCR "${key}" "" "$0"
      !insertmacro Note "HKCR\${key} (${view}-bit) names $0 again."
    ${EndIf}
    SetRegView 64
  ${EndIf}
!macroend

; Takes out "Installation Dir" where it still names this install, or writes
; back the value another product recorded before; the keys go when empty.
!macro ForgetInstallationDir view
  ReadRegStr $1 HKLM "${UNINST}" "OtherInstallationDir${view}"
  SetRegView ${view}
  ReadRegStr $0 HKLM "${INSTALLKEY}" "Installation Dir"
  ${If} $0 == "$INSTDIR"
    ${If} $1 != ""
      WriteRegStr HKLM "${INSTALLKEY}" "Installation Dir" "$1"
    ${Else}
      DeleteRegValue HKLM "${INSTALLKEY}" "Installation Dir"
      DeleteRegKey /ifempty HKLM "${INSTALLKEY}"
      DeleteRegKey /ifempty HKLM "Software\Corvane Interactive"
    ${EndIf}
  ${EndIf}
  SetRegView 64
!macroend

; Unregisters the DLL of one architecture once, through its own
; DllUnregisterServer: $R0 regsvr32, $R2 the DLL, $R5 its architecture ("64"
; or "32"). The uninstaller carries a copy of each DLL for this, so a DLL deleted
; by hand is unregistered all the same.
Function un.UnregisterOne
  StrCpy $R1 "/u /s"
  Call un.RegSvr
  ${If} $R3 == 0
    !insertmacro Note "Unregistered ${DLL} ($R5-bit)."
  ${Else}
    StrCpy $Failed 1
    !insertmacro Note "Unregistering ${DLL} ($R5-bit) failed: regsvr32 exit code $R3."
  ${EndIf}
FunctionEnd

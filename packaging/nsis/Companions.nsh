; The optional components (included by VeskaOptions.nsi): their files, their
; registrations, which the Uninstall key records, and their record itself.

; The bits of "Registered <dll>" in the Uninstall key: which views hold a
; registration of the companion that this product made.
!define VIEW64 1
!define VIEW32 2

; Registers one companion DLL of each architecture that runs here, from
; $INSTDIR\x64 and $INSTDIR\x86, unless another product's copy is registered
; for the class already: that registration stays as it is, and this product's
; uninstall leaves it. A registration naming a file below this install's folders
; is this product's own (an earlier layout's) and is made again.
!macro RegisterCompanion dll clsid
  StrCpy $R8 0
  ${ForEach} $R7 1 2 + 1
    ${If} $R7 == 1
      SetRegView 64
      StrCpy $R0 "$SYSDIR\regsvr32.exe"
      StrCpy $R2 "$INSTDIR\x64\${dll}"
      StrCpy $R5 64
    ${Else}
      SetRegView 32
      StrCpy $R0 "$WINDIR\SysWOW64\regsvr32.exe"
      StrCpy $R2 "$INSTDIR\x86\${dll}"
      StrCpy $R5 32
    ${EndIf}
    ReadRegStr $0 HKCR "CLSID\${clsid}\InprocServer32" ""
    SetRegView 64
    Call IsThisProducts
    ${If} $R7 == 2
    ${AndIf} $Runs32 == 0
      ; Said once for all 32-bit DLLs (the section "-Register").
    ${ElseIf} $1 == 0
      !insertmacro Note "Kept another product's registration of ${dll} ($R5-bit): $0."
    ${Else}
      StrCpy $R1 "/s"
      Call RegSvr
      ${If} $R3 == 0
        IntOp $R8 $R8 | $R7
        !insertmacro Note "Registered $R2 ($R5-bit)."
      ${Else}
        StrCpy $Failed 1
        !insertmacro Note "Registering $R2 ($R5-bit) failed: regsvr32 exit code $R3."
      ${EndIf}
    ${EndIf}
  ${Next}
  WriteRegDWORD HKLM "${UNINST}" "Registered ${dll}" $R8
!macroend

; Notes the unregistration of $R2 ($R5-bit) with regsvr32's exit code $R3.
!macro NoteUnregistered un
Function ${un}NoteUnregistered
  ${If} $R3 == 0
    !insertmacro LogOnly "Unregistered $R2 ($R5-bit)."
  ${Else}
    StrCpy $Failed 1
    !insertmacro Note "Unregistering $R2 ($R5-bit) failed: regsvr32 exit code $R3."
  ${EndIf}
FunctionEnd
!macroend
!insertmacro NoteUnregistered ""
!insertmacro NoteUnregistered "un."

; Unregisters the registrations of one companion that this product made, as
; "Registered <dll>" records them, and deletes its files from both DLL folders.
; The unregistration runs a copy the setup or uninstaller carries, so a
; companion deleted by hand is unregistered all the same.
!macro RemoveCompanion un dll
  ClearErrors
  ReadRegDWORD $R8 HKLM "${UNINST}" "Registered ${dll}"
  ${If} ${Errors}
    StrCpy $R8 0
  ${EndIf}
  InitPluginsDir
  IntOp $0 $R8 & ${VIEW64}
  ${If} $0 != 0
    SetOutPath "$PLUGINSDIR\x64"
    File "${X64}\companions\${dll}"
    StrCpy $R0 "$SYSDIR\regsvr32.exe"
    StrCpy $R1 "/u /s"
    StrCpy $R2 "$PLUGINSDIR\x64\${dll}"
    Call ${un}RegSvr
    StrCpy $R5 64
    Call ${un}NoteUnregistered
  ${EndIf}
  IntOp $0 $R8 & ${VIEW32}
  ${If} $0 != 0
    ${If} $Runs32 == 1
      SetOutPath "$PLUGINSDIR\x86"
      File "${X86}\companions\${dll}"
      StrCpy $R0 "$WINDIR\SysWOW64\regsvr32.exe"
      StrCpy $R1 "/u /s"
      StrCpy $R2 "$PLUGINSDIR\x86\${dll}"
      Call ${un}RegSvr
      StrCpy $R5 32
      Call ${un}NoteUnregistered
    ${Else}
      !insertmacro Note "The 32-bit ${dll} stays registered: this machine runs no 32-bit programs."
    ${EndIf}
  ${EndIf}
  SetOutPath "$TEMP"
  DeleteRegValue HKLM "${UNINST}" "Registered ${dll}"
  Delete "$INSTDIR\x64\${dll}"
  Delete "$INSTDIR\x86\${dll}"
!macroend

; Reads the Uninstall key's record of the optional components into Had*. An
; install of the earlier layout recorded "Companions" 1 for all of them.
!macro ReadComponents
  ClearErrors
  ReadRegDWORD $0 HKLM "${UNINST}" "Companions"
  ${If} ${Errors}
    StrCpy $0 0
  ${EndIf}
  ${ForEach} $R0 1 3 + 1
    ${Select} $R0
      ${Case} 1
        StrCpy $R1 "Settings"
      ${Case} 2
        StrCpy $R1 "Dialog"
      ${Case} 3
        StrCpy $R1 "Trace"
    ${EndSelect}
    ClearErrors
    ReadRegDWORD $1 HKLM "${UNINST}" "Component $R1"
    ${If} ${Errors}
      StrCpy $1 $0
    ${EndIf}
    ${Select} $R0
      ${Case} 1
        StrCpy $HadSettings $1
      ${Case} 2
        StrCpy $HadDialog $1
      ${Case} 3
        StrCpy $HadTrace $1
    ${EndSelect}
  ${Next}
!macroend

; Sets $1 to 1 when the server path $0 is empty or names a file below this
; install's folders (this layout's or the earlier one's), else 0.
Function IsThisProducts
  StrCpy $1 1
  ${If} $0 != ""
    StrCpy $1 0
    ${ForEach} $2 1 2 + 1
      ${If} $2 == 1
        StrCpy $3 "$INSTDIR\"
      ${ElseIf} $OldDir32 != ""
        StrCpy $3 "$OldDir32\"
      ${Else}
        ${Continue}
      ${EndIf}
      StrLen $4 $3
      StrCpy $5 $0 $4
      ${If} $5 == $3
        StrCpy $1 1
      ${EndIf}
    ${Next}
  ${EndIf}
FunctionEnd

; One companion DLL of each architecture.
!macro InstallCompanion dll
  SetOutPath "$INSTDIR\x64"
  File "${X64}\companions\${dll}"
  SetOutPath "$INSTDIR\x86"
  File "${X86}\companions\${dll}"
!macroend

; Registers an optional component the install did not have ("had" 0) when its
; section is selected, unregisters and deletes one it had when its section is
; not, and records in the Uninstall key whether the install has it.
!macro ApplyComponent section had record label
  ${If} ${SectionIsSelected} ${section}
    ${If} ${had} == 0
      !insertmacro Note "Adding ${label}."
      !insertmacro Companions${record} CompanionRegister ""
    ${EndIf}
    WriteRegDWORD HKLM "${UNINST}" "Component ${record}" 1
  ${Else}
    ${If} ${had} == 1
      !insertmacro Note "Removing ${label}."
      !insertmacro Companions${record} CompanionRemove ""
    ${EndIf}
    WriteRegDWORD HKLM "${UNINST}" "Component ${record}" 0
  ${EndIf}
!macroend

; What is done to each companion, through the lists Companions<component> and
; EveryCompanion: each is called with the list's argument, the DLL's file name
; and its class, "-" for a DLL loaded by its file name and never registered.
!macro CompanionInstall unused dll clsid
  !insertmacro InstallCompanion ${dll}
!macroend
!macro CompanionStopIfInUse folder dll clsid
  !insertmacro StopIfInUse "${folder}\${dll}"
!macroend
!macro CompanionDelete folder dll clsid
  Delete "${folder}\${dll}"
!macroend
!macro CompanionRegister unused dll clsid
  !if "${clsid}" != "-"
    !insertmacro RegisterCompanion ${dll} ${clsid}
  !endif
!macroend
!macro CompanionRemove un dll clsid
  !if "${clsid}" == "-"
    Delete "$INSTDIR\x64\${dll}"
    Delete "$INSTDIR\x86\${dll}"
  !else
    !insertmacro RemoveCompanion "${un}" ${dll}
  !endif
!macroend

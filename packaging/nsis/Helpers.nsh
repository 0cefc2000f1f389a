; Helpers of setup and uninstall (included by VeskaOptions.nsi): notes in the
; details and setup.log, files in use, the 32-bit probe, regsvr32, PATH.

; A line in the details and in the log ($Log: setup.log, or the uninstall's
; VeskaOptions-uninstall.log in the temporary folder).
!macro Note text
  DetailPrint "${text}"
  FileWriteUTF16LE /BOM $Log "${text}$\r$\n"
!macroend

; A line in the log alone.
!macro LogOnly text
  FileWriteUTF16LE /BOM $Log "${text}$\r$\n"
!macroend

; Refuses to go on when a program holds the file loaded: a DLL or program in use
; cannot be opened for writing. Nothing has been changed when this stops.
!macro StopIfInUse path
  ${If} ${FileExists} "${path}"
    ClearErrors
    FileOpen $0 "${path}" a
    ${If} ${Errors}
      MessageBox MB_ICONSTOP "${path} is in use by a running program.$\r$\nClose the programs that use VeskaOptions and try again; nothing was changed." /SD IDOK
      SetErrorLevel 2
      Quit
    ${EndIf}
    FileClose $0
  ${EndIf}
!macroend

; Sets Runs32: whether a 32-bit program starts here (its exit code comes back).
; Run hidden, through nsExec, so the probe stays out of the details.
!macro Probe32 un
Function ${un}Probe32
  StrCpy $Runs32 0
  ${If} ${FileExists} "$WINDIR\SysWOW64\regsvr32.exe"
  ${AndIf} ${FileExists} "$WINDIR\SysWOW64\cmd.exe"
    nsExec::Exec '"$WINDIR\SysWOW64\cmd.exe" /c exit 7'
    Pop $0
    ${If} $0 == 7
      StrCpy $Runs32 1
    ${EndIf}
  ${EndIf}
FunctionEnd
!macroend
!insertmacro Probe32 ""
!insertmacro Probe32 "un."

; Runs regsvr32 ($R0) with the options $R1 on the DLL $R2, hidden; $R3 gets its
; exit code, or "not started". A start that fails is tried twice more, half a
; second apart: a busy system can refuse a new process for a moment, and a
; registration skipped for that would be left behind.
!macro RegSvr un
Function ${un}RegSvr
  Push $0
  StrCpy $0 0
  ${Do}
    nsExec::Exec '"$R0" $R1 "$R2"'
    Pop $R3
    ${If} $R3 != "error"
      ${Break}
    ${EndIf}
    IntOp $0 $0 + 1
    ${If} $0 >= 3
      StrCpy $R3 "not started"
      ${Break}
    ${EndIf}
    Sleep 500
  ${Loop}
  Pop $0
FunctionEnd
!macroend
!insertmacro RegSvr ""
!insertmacro RegSvr "un."

; Takes the PATH entries that "PathAdded" lists (each appended by this product,
; ";folder") out of the system PATH, each once from the end.
!macro RemoveAddedPaths un
Function ${un}RemoveAddedPaths
  ReadRegStr $R9 HKLM "${UNINST}" "PathAdded"
  ReadRegStr $0 HKLM "${ENVKEY}" "Path"
  ${ForEach} $R0 1 4 + 1
    ${WordFind} "$R9" ";" "+$R0" $1
    ${If} $1 != "$R9"
    ${AndIf} $1 != ""
      ${WordReplace} "$0" ";$1" "" "-1" $0
    ${EndIf}
  ${Next}
  ${If} $R9 != ""
    WriteRegExpandStr HKLM "${ENVKEY}" "Path" "$0"
    SendMessage ${HWND_BROADCAST} ${WM_WININICHANGE} 0 "STR:Environment" /TIMEOUT=2000
  ${EndIf}
  DeleteRegValue HKLM "${UNINST}" "PathAdded"
FunctionEnd
!macroend
!insertmacro RemoveAddedPaths ""
!insertmacro RemoveAddedPaths "un."

; Appends the folder $R0 to the system PATH unless it is there; adds what it
; appended to $R9.
Function AddToPath
  ReadRegStr $0 HKLM "${ENVKEY}" "Path"
  ${WordFind} ";$0;" ";$R0;" "E#" $1
  ${If} ${Errors}
    StrLen $1 "$0;$R0"
    ${If} $1 > ${PATH_LIMIT}
      !insertmacro Note "PATH is too long for this setup to change: add $R0 to it by hand."
    ${Else}
      WriteRegExpandStr HKLM "${ENVKEY}" "Path" "$0;$R0"
      StrCpy $R9 "$R9;$R0"
      !insertmacro Note "Added $R0 to PATH."
    ${EndIf}
  ${EndIf}
FunctionEnd

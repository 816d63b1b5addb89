; Tavrelmond setup, for 64-bit (-DARCH=x64) and 32-bit (-DARCH=x86) Windows. Built by packaging/MakeDist.cmake:
;   makensis -DARCH=x64 -DVERSION=1.6.0 -DAPP_DIR=<program files, qelmdrv.exe> -DCONFIG_INI=<Config.ini>
;            -DDRIVER_DIR=<signed driver package> -DWINUSB_DIR=<qelmusb.inf> -DICON=<.ico> -DOUTFILE=<setup.exe>
;            [-DSIGN_SCRIPT=<scripts/sign-code.sh>] Tavrelmond.nsi
; VERSION is the release's (major.minor.patch). With SIGN_SCRIPT, the setup and the uninstaller inside it are
; signed as makensis writes them.
;
; Installs Tavrelmond.exe, XBMC.dll and Config.ini (never over one that is there) to Program Files, Start-menu
; shortcuts, autostart at logon (the machine's Run key), an Add/Remove Programs entry and, as an option, a
; driver for the receiver, one of two: the WinUSB package (Microsoft's WinUSB driver, its catalog signed on
; this PC by qelmdrv.exe; the default from Windows 8 on) or the test-signed qelmrc kernel driver (pnputil).
; Choosing one removes the other's package; the uninstaller removes whichever is installed, with the WinUSB
; package's certificate. The uninstaller first closes a running Tavrelmond. /S runs either without
; questions: setup installs the program and, with /DRIVER=winusb or /DRIVER=qelmrc, that driver (without
; /DRIVER, or with /DRIVER=none, the driver stays as it is); uninstall keeps Config.ini. What the driver
; component did is also written to driver.log in the program's folder.

Unicode true
!if "${ARCH}" == "x64"
  Target amd64-unicode
!else if "${ARCH}" != "x86"
  !error "ARCH must be x64 or x86"
!endif

!include MUI2.nsh
!include LogicLib.nsh
!include x64.nsh
!include WinVer.nsh
!include WinMessages.nsh
!include FileFunc.nsh
!include Sections.nsh

!define PRODUCT "Tavrelmond"
!define PUBLISHER "QELM"
!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Tavrelmond"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
; The program's hidden main window: it ends cleanly on WM_CLOSE.
!define WINDOW_CLASS "TavrelmondWindow"
!define WINDOW_TITLE "Tavrelmond 1.6"
; How long a running Tavrelmond is given to end after WM_CLOSE, in milliseconds.
!define CLOSE_WAIT_MS 10000
; The driver route installed, "winusb" or "qelmrc": a value of the uninstall entry.
!define DRIVER_ROUTE "DriverRoute"
; pnputil's and qelmdrv's exit codes besides 0: no device took the package (it is staged), restart needed.
!define STAGED 259
!define RESTART_NEEDED 3010

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
!ifdef SIGN_SCRIPT
  !finalize '"${SIGN_SCRIPT}" "%1"' = 0
  !uninstfinalize '"${SIGN_SCRIPT}" "%1"' = 0
!endif
RequestExecutionLevel admin
!if "${ARCH}" == "x64"
  InstallDir "$PROGRAMFILES64\${PRODUCT}"
!else
  InstallDir "$PROGRAMFILES\${PRODUCT}"
!endif
InstallDirRegKey HKLM "${UNINST_KEY}" "InstallLocation"
SetCompressor /SOLID lzma
ManifestDPIAware true
ShowInstDetails show
ShowUninstDetails show
BrandingText "${PRODUCT} ${VERSION} (${ARCH})"

VIProductVersion "${VERSION}.0"
VIFileVersion "${VERSION}.0"
VIAddVersionKey ProductName "${PRODUCT}"
VIAddVersionKey ProductVersion "${VERSION}"
VIAddVersionKey FileVersion "${VERSION}"
VIAddVersionKey FileDescription "${PRODUCT} setup (${ARCH})"
VIAddVersionKey CompanyName "${PUBLISHER}"
VIAddVersionKey LegalCopyright "${PUBLISHER}"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!define MUI_COMPONENTSPAGE_SMALLDESC
!define MUI_FINISHPAGE_TEXT "${PRODUCT} starts at your next logon, or now from the Start menu.$\r$\n$\r$\nIt sends the remote's buttons to Kodi on this PC. To choose another media center, open its settings (tray menu: Settings..., or the Start menu)."
; The settings window, once, for the user at the desktop (OpenSettingsAsUser below).
!define MUI_FINISHPAGE_RUN
!define MUI_FINISHPAGE_RUN_TEXT "Open ${PRODUCT}'s settings"
!define MUI_FINISHPAGE_RUN_FUNCTION OpenSettingsAsUser
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; -- closing a running Tavrelmond (installer and uninstaller) --------------------------------------------------
; Sends WM_CLOSE to the program's window and waits for its process to end, at most CLOSE_WAIT_MS. If it is
; still running then: in silent mode it is ended; otherwise the user is asked to close it (Retry) or to
; cancel the setup. Silent, it gives up after a few rounds (a copy it may not end, in another session).
; Registers: $0 window, $1 process ID, $2 process handle, $3 wait result, $4 rounds.
!macro CLOSE_TAVRELMOND UN
Function ${UN}CloseTavrelmond
  Push $0
  Push $1
  Push $2
  Push $3
  Push $4
  StrCpy $4 0
  ${Do}
    FindWindow $0 "${WINDOW_CLASS}" "${WINDOW_TITLE}"
    ${If} $0 = 0
      ${Break}
    ${EndIf}
    IntOp $4 $4 + 1
    ${If} ${Silent}
    ${AndIf} $4 > 5
      DetailPrint "${PRODUCT} is still running; going on without closing it."
      ${Break}
    ${EndIf}
    DetailPrint "Closing the running ${PRODUCT}..."
    System::Call "user32::GetWindowThreadProcessId(p r0, *i 0 r1) i"
    ; SYNCHRONIZE | PROCESS_TERMINATE
    System::Call "kernel32::OpenProcess(i 0x00100001, i 0, i r1) p .r2"
    SendMessage $0 ${WM_CLOSE} 0 0 /TIMEOUT=5000
    ${If} $2 P<> 0
      System::Call "kernel32::WaitForSingleObject(p r2, i ${CLOSE_WAIT_MS}) i .r3"
    ${Else}
      StrCpy $3 -1
    ${EndIf}
    ${If} $3 = 0
      DetailPrint "${PRODUCT} has ended."
    ${ElseIf} ${Silent}
    ${AndIf} $2 P<> 0
      DetailPrint "${PRODUCT} did not end within ${CLOSE_WAIT_MS} ms; ending it."
      System::Call "kernel32::TerminateProcess(p r2, i 1) i"
      System::Call "kernel32::WaitForSingleObject(p r2, i 5000) i"
    ${ElseIf} ${Silent}
      DetailPrint "${PRODUCT} is still running and cannot be ended."
      System::Call "kernel32::CloseHandle(p r2)"
      ${Break}
    ${Else}
      MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "${PRODUCT} is still running.$\r$\n$\r$\nClose it (right-click its icon in the notification area, then Exit) and press Retry." IDRETRY retry
      System::Call "kernel32::CloseHandle(p r2)"
      Abort
      retry:
    ${EndIf}
    ${If} $2 P<> 0
      System::Call "kernel32::CloseHandle(p r2)"
    ${EndIf}
  ${Loop}
  Pop $4
  Pop $3
  Pop $2
  Pop $1
  Pop $0
FunctionEnd
!macroend
!insertmacro CLOSE_TAVRELMOND ""
!insertmacro CLOSE_TAVRELMOND "un."

; -- install ------------------------------------------------------------------------------------------------

Section "${PRODUCT} (program)" SecProgram
  SectionIn RO
  Call CloseTavrelmond
  SetOutPath "$INSTDIR"
  SetOverwrite on
  File "${APP_DIR}\Tavrelmond.exe"
  File "${APP_DIR}\XBMC.dll"
  ; The user's settings stay: Config.ini is written only where there is none (first install).
  SetOverwrite off
  File "${CONFIG_INI}"
  SetOverwrite on
  ; Config.ini holds the defaults of every user, command lines among them: only administrators may change it
  ; (each user's own settings are in %APPDATA%\Tavrelmond). Versions up to 1.6 let Users modify it; that
  ; grant is taken back here (an upgrade), leaving what the folder gives (Users: read).
  nsExec::Exec '"$SYSDIR\icacls.exe" "$INSTDIR\Config.ini" /remove:g *S-1-5-32-545'
  Pop $0

  WriteUninstaller "$INSTDIR\uninstall.exe"

  SetShellVarContext all
  CreateDirectory "$SMPROGRAMS\${PRODUCT}"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk" "$INSTDIR\Tavrelmond.exe"
  ; The settings of the user who picks them: the program opens that user's own Config.ini (made from the
  ; defaults on first use), or its settings window.
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\Edit Config.ini.lnk" "$INSTDIR\Tavrelmond.exe" "/editconfig"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\${PRODUCT} settings.lnk" "$INSTDIR\Tavrelmond.exe" "/settings"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\Uninstall ${PRODUCT}.lnk" "$INSTDIR\uninstall.exe"

  ; Autostart at logon, for every user of this machine.
  WriteRegStr HKLM "${RUN_KEY}" "${PRODUCT}" '"$INSTDIR\Tavrelmond.exe"'

  WriteRegStr HKLM "${UNINST_KEY}" "DisplayName" "${PRODUCT} ${VERSION} (Xbox DVD remote for XBMC)"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINST_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayIcon" "$INSTDIR\Tavrelmond.exe"
  WriteRegStr HKLM "${UNINST_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINST_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINST_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINST_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINST_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  IntFmt $0 "0x%08X" $0
  WriteRegDWORD HKLM "${UNINST_KEY}" "EstimatedSize" $0
SectionEnd

; -- the driver for the receiver ---------------------------------------------------------------------------
; A line about the driver: shown in the details and kept in driver.log (a silent setup shows nothing).
!macro DRIVER_NOTE TEXT
  DetailPrint "${TEXT}"
  FileOpen $9 "$INSTDIR\driver.log" a
  FileSeek $9 0 END
  FileWrite $9 "${TEXT}$\r$\n"
  FileClose $9
!macroend
!define DriverNote "!insertmacro DRIVER_NOTE"

; Runs qelmdrv.exe with the arguments on the stack's top; its exit code in $0, its lines in the details and
; in driver.log.
Function RunQelmdrv
  Exch $1
  nsExec::ExecToStack '"$INSTDIR\qelmdrv.exe" $1'
  Pop $0
  Pop $1
  ${DriverNote} "$1"
  Pop $1
FunctionEnd

SectionGroup "Driver for the receiver" SecDriverGroup

Section "WinUSB (Microsoft's driver, Windows 8 and later)" SecWinUsb
  SetOutPath "$INSTDIR"
  File "${APP_DIR}\qelmdrv.exe"
  SetOutPath "$INSTDIR\winusb"
  File "${WINUSB_DIR}\qelmusb.inf"
  ; The other route's package goes first.
  Push "remove-qelmrc"
  Call RunQelmdrv
  Delete "$INSTDIR\driver\qelmrc.inf"
  Delete "$INSTDIR\driver\qelmrc.sys"
  Delete "$INSTDIR\driver\qelmrc.cat"
  Delete "$INSTDIR\driver\qelmrc-test.cer"
  RMDir "$INSTDIR\driver"
  ${DriverNote} "Signing the WinUSB package on this PC and installing it (qelmdrv)..."
  Push 'install-winusb "$INSTDIR\winusb"'
  Call RunQelmdrv
  ${If} $0 == 0
    ${DriverNote} "The WinUSB driver is installed for the receiver."
  ${ElseIf} $0 == ${STAGED}
    ${DriverNote} "The WinUSB driver is staged: Windows uses it when the receiver is plugged in."
  ${ElseIf} $0 == ${RESTART_NEEDED}
    ${DriverNote} "The WinUSB driver is installed; restart Windows to finish."
  ${Else}
    ${DriverNote} "The WinUSB driver was not installed (qelmdrv: $0)."
    DeleteRegValue HKLM "${UNINST_KEY}" "${DRIVER_ROUTE}"
    MessageBox MB_ICONEXCLAMATION "The WinUSB driver was not installed (qelmdrv: $0).$\r$\n$\r$\nThe reason is in $INSTDIR\driver.log; see the install guide." /SD IDOK
    Return
  ${EndIf}
  WriteRegStr HKLM "${UNINST_KEY}" "${DRIVER_ROUTE}" "winusb"
SectionEnd

Section /o "qelmrc kernel driver (test mode, 32-bit Windows, Windows 7)" SecDriver
  SetOutPath "$INSTDIR"
  File "${APP_DIR}\qelmdrv.exe"
  ; The other route's package goes first, with its certificate.
  Push "remove-winusb"
  Call RunQelmdrv
  Delete "$INSTDIR\winusb\qelmusb.inf"
  Delete "$INSTDIR\winusb\qelmusb.cat"
  RMDir "$INSTDIR\winusb"
  SetOutPath "$INSTDIR\driver"
  File "${DRIVER_DIR}\qelmrc.inf"
  File "${DRIVER_DIR}\qelmrc.sys"
  File "${DRIVER_DIR}\qelmrc.cat"
  ; The test certificate comes only with a test-signed package (not with the one Microsoft signed).
  !if /FileExists "${DRIVER_DIR}\qelmrc-test.cer"
    File "${DRIVER_DIR}\qelmrc-test.cer"
  !endif
  ${DriverNote} "Adding the qelmrc driver package to the driver store and installing it (pnputil)..."
  ; pnputil's /add-driver exists from Windows 10 version 1607 (build 14393); before it, the older syntax.
  ${If} ${AtLeastBuild} 14393
    nsExec::ExecToLog '"$SYSDIR\pnputil.exe" /add-driver "$INSTDIR\driver\qelmrc.inf" /install'
  ${Else}
    nsExec::ExecToLog '"$SYSDIR\pnputil.exe" -i -a "$INSTDIR\driver\qelmrc.inf"'
  ${EndIf}
  Pop $0
  ; 259: no device took the package (no receiver plugged in, or one that keeps its driver): it is in the
  ; driver store and Windows uses it at the next plug-in. 3010: installed, a restart completes it.
  ${If} $0 == 0
    ${DriverNote} "The qelmrc driver package is installed."
  ${ElseIf} $0 == ${STAGED}
    ${DriverNote} "The qelmrc driver package is staged: Windows uses it when the receiver is plugged in."
  ${ElseIf} $0 == ${RESTART_NEEDED}
    ${DriverNote} "The qelmrc driver package is installed; restart Windows to finish."
  ${Else}
    ${DriverNote} "pnputil ended with $0: the qelmrc driver package is not installed."
    DeleteRegValue HKLM "${UNINST_KEY}" "${DRIVER_ROUTE}"
    MessageBox MB_ICONEXCLAMATION "The driver was not installed (pnputil: $0).$\r$\n$\r$\nOn 64-bit Windows it needs test mode and the test certificate trusted; see the install guide. The package is in $INSTDIR\driver." /SD IDOK
    Return
  ${EndIf}
  WriteRegStr HKLM "${UNINST_KEY}" "${DRIVER_ROUTE}" "qelmrc"
SectionEnd

SectionGroupEnd

LangString DESC_SecProgram ${LANG_ENGLISH} "Tavrelmond.exe, XBMC.dll and Config.ini, Start-menu entries, start at logon."
LangString DESC_SecDriverGroup ${LANG_ENGLISH} "A driver for the receiver: one of the two (see the install guide)."
LangString DESC_SecWinUsb ${LANG_ENGLISH} "Microsoft's WinUSB driver for the receiver; its package is signed on this PC with a certificate whose key is deleted at once. No test mode, Secure Boot stays on. Windows 8 and later."
LangString DESC_SecDriver ${LANG_ENGLISH} "qelmrc, the receiver's own kernel driver, test-signed: on 64-bit Windows only in test mode. For 32-bit Windows and Windows 7."
!insertmacro MUI_FUNCTION_DESCRIPTION_BEGIN
  !insertmacro MUI_DESCRIPTION_TEXT ${SecProgram} $(DESC_SecProgram)
  !insertmacro MUI_DESCRIPTION_TEXT ${SecDriverGroup} $(DESC_SecDriverGroup)
  !insertmacro MUI_DESCRIPTION_TEXT ${SecWinUsb} $(DESC_SecWinUsb)
  !insertmacro MUI_DESCRIPTION_TEXT ${SecDriver} $(DESC_SecDriver)
!insertmacro MUI_FUNCTION_DESCRIPTION_END

; Whether each driver section was selected before the last change (.onSelChange keeps one of the two).
Var WinUsbSelected
Var KernelSelected

Function .onInit
!if "${ARCH}" == "x64"
  ${IfNot} ${RunningX64}
    MessageBox MB_ICONSTOP "This setup is for 64-bit Windows. Use TavrelmondSetup-${VERSION}-x86.exe." /SD IDOK
    Abort
  ${EndIf}
  SetRegView 64
!endif
  ; The driver to install: /DRIVER=winusb|qelmrc|none; without it the one installed before and otherwise, from
  ; Windows 8 on, WinUSB; a silent setup without it leaves the driver as it is.
  ClearErrors
  ${GetOptions} $CMDLINE "/DRIVER=" $R0
  ${If} ${Errors}
    StrCpy $R0 ""
  ${EndIf}
  ${If} $R0 != ""
  ${AndIf} $R0 != "winusb"
  ${AndIf} $R0 != "qelmrc"
  ${AndIf} $R0 != "none"
    MessageBox MB_ICONSTOP "Unknown driver /DRIVER=$R0: winusb, qelmrc or none." /SD IDOK
    SetErrorLevel 2
    Abort
  ${EndIf}
  ${If} $R0 == ""
  ${AndIfNot} ${Silent}
    ReadRegStr $R0 HKLM "${UNINST_KEY}" "${DRIVER_ROUTE}"
    ${If} $R0 == ""
    ${AndIf} ${AtLeastWin8}
      StrCpy $R0 "winusb"
    ${EndIf}
  ${EndIf}
  !insertmacro UnselectSection ${SecWinUsb}
  !insertmacro UnselectSection ${SecDriver}
  ${If} $R0 == "winusb"
    !insertmacro SelectSection ${SecWinUsb}
  ${ElseIf} $R0 == "qelmrc"
    !insertmacro SelectSection ${SecDriver}
  ${EndIf}
  ; The WinUSB package needs Windows 8 (a silent setup asking for it elsewhere lets qelmdrv say so).
  ${IfNot} ${AtLeastWin8}
  ${AndIfNot} ${Silent}
    !insertmacro UnselectSection ${SecWinUsb}
    SectionSetFlags ${SecWinUsb} ${SF_RO}
  ${EndIf}
!if "${ARCH}" == "x86"
  ; The 32-bit drivers and qelmdrv cannot serve 64-bit Windows: offer a driver only where it fits.
  ${If} ${RunningX64}
    SectionSetFlags ${SecWinUsb} ${SF_RO}
    SectionSetFlags ${SecDriver} ${SF_RO}
    SectionSetText ${SecWinUsb} ""
    SectionSetText ${SecDriver} ""
    SectionSetText ${SecDriverGroup} ""
  ${EndIf}
!endif
  StrCpy $WinUsbSelected 0
  StrCpy $KernelSelected 0
  ${If} ${SectionIsSelected} ${SecWinUsb}
    StrCpy $WinUsbSelected 1
  ${EndIf}
  ${If} ${SectionIsSelected} ${SecDriver}
    StrCpy $KernelSelected 1
  ${EndIf}
FunctionEnd

; One driver at most: the one just ticked wins (both at once, by the group's box: WinUSB).
Function .onSelChange
  ${If} ${SectionIsSelected} ${SecWinUsb}
  ${AndIf} ${SectionIsSelected} ${SecDriver}
    ${If} $WinUsbSelected == 1
    ${AndIf} $KernelSelected == 0
      !insertmacro UnselectSection ${SecWinUsb}
    ${Else}
      !insertmacro UnselectSection ${SecDriver}
    ${EndIf}
  ${EndIf}
  StrCpy $WinUsbSelected 0
  StrCpy $KernelSelected 0
  ${If} ${SectionIsSelected} ${SecWinUsb}
    StrCpy $WinUsbSelected 1
  ${EndIf}
  ${If} ${SectionIsSelected} ${SecDriver}
    StrCpy $KernelSelected 1
  ${EndIf}
FunctionEnd

; -- the finish page's "Open Tavrelmond's settings" -------------------------------------------------------------
; The setup runs as an administrator; the settings are the desktop user's own. So the program is not started
; from here: the Start-menu entry is handed to the desktop's Explorer, which starts it as that user, with
; /settings (the program opens its settings window, in the copy that runs or in the one it starts).
Function OpenSettingsAsUser
  SetShellVarContext all
  Exec '"$WINDIR\explorer.exe" "$SMPROGRAMS\${PRODUCT}\${PRODUCT} settings.lnk"'
FunctionEnd

; -- uninstall ----------------------------------------------------------------------------------------------
Function un.onInit
!if "${ARCH}" == "x64"
  SetRegView 64
!endif
FunctionEnd

Section "Uninstall"
  Call un.CloseTavrelmond
  ; The driver installed from this setup, whichever it is: the WinUSB package with its certificate, or the
  ; qelmrc package.
  ${If} ${FileExists} "$INSTDIR\qelmdrv.exe"
    ReadRegStr $1 HKLM "${UNINST_KEY}" "${DRIVER_ROUTE}"
    DetailPrint "Removing the WinUSB driver package and its certificate (qelmdrv)..."
    nsExec::ExecToLog '"$INSTDIR\qelmdrv.exe" remove-winusb'
    Pop $0
    ${If} $0 != 0
    ${AndIf} $0 != ${RESTART_NEEDED}
      MessageBox MB_ICONEXCLAMATION "The WinUSB driver package or its certificate could not be removed (qelmdrv: $0); see the install guide to remove them by hand." /SD IDOK
    ${EndIf}
    ${If} $1 == "qelmrc"
      DetailPrint "Removing the qelmrc driver package (qelmdrv)..."
      nsExec::ExecToLog '"$INSTDIR\qelmdrv.exe" remove-qelmrc'
      Pop $0
    ${EndIf}
  ${EndIf}
  Delete "$INSTDIR\qelmdrv.exe"
  Delete "$INSTDIR\winusb\qelmusb.inf"
  Delete "$INSTDIR\winusb\qelmusb.cat"
  RMDir "$INSTDIR\winusb"
  Delete "$INSTDIR\driver.log"
  Delete "$INSTDIR\Tavrelmond.exe"
  Delete "$INSTDIR\XBMC.dll"
  ; The copy of the driver package, file by file (a folder of that name may hold the user's own files).
  Delete "$INSTDIR\driver\qelmrc.inf"
  Delete "$INSTDIR\driver\qelmrc.sys"
  Delete "$INSTDIR\driver\qelmrc.cat"
  Delete "$INSTDIR\driver\qelmrc-test.cer"
  RMDir "$INSTDIR\driver"
  ${If} ${FileExists} "$INSTDIR\Config.ini"
    MessageBox MB_YESNO|MB_ICONQUESTION "Remove your settings (Config.ini) as well?" /SD IDNO IDNO keep_config
    Delete "$INSTDIR\Config.ini"
    keep_config:
  ${EndIf}
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"

  SetShellVarContext all
  Delete "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk"
  Delete "$SMPROGRAMS\${PRODUCT}\Edit Config.ini.lnk"
  Delete "$SMPROGRAMS\${PRODUCT}\${PRODUCT} settings.lnk"
  Delete "$SMPROGRAMS\${PRODUCT}\Uninstall ${PRODUCT}.lnk"
  RMDir "$SMPROGRAMS\${PRODUCT}"

  DeleteRegValue HKLM "${RUN_KEY}" "${PRODUCT}"
  DeleteRegKey HKLM "${UNINST_KEY}"
SectionEnd

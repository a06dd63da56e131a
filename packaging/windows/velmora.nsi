; Velmora's Windows installer, built by tools/windows.sh with makensis:
;   makensis -DVERSION=2.0.14.0 -DSTAGE=<folder of the files> -DOUTFILE=<setup.exe> velmora.nsi
; It installs for every user of the machine into Program Files\Velmora, with
; an entry in the Start menu and an uninstaller in Add/Remove Programs, and
; optionally starts Velmora behind its tray icon when the installing user
; logs on.  /S installs (and uninstalls) without a question.
;
; The uninstaller removes exactly the files the installer put there, by
; name, never the folder's whole content: the family's settings and logs
; live in "My Roku" in the user's own folder, which stays.

!ifndef VERSION | STAGE | OUTFILE
  !error "VERSION, STAGE and OUTFILE are defined by tools/windows.sh"
!endif

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
ManifestDPIAware true
RequestExecutionLevel admin

!define PRODUCT "Velmora"
!define PUBLISHER "Velmora maintainers"
!define PROGRAM "velmora.exe"
!define UNINSTALLER "uninstall.exe"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
; The exit status of an uninstaller that removed nothing (NSIS's own for
; an abort).
!define EXIT_REFUSED 2
; The program's option letter that starts it behind its tray icon.
!define TRAY_OPTION "-m"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
BrandingText "${PRODUCT} ${VERSION}"

VIProductVersion "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} ${VERSION} setup"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "2026 the Velmora maintainers"

; The files the installer puts into the install folder, named once: the
; install section puts each, the uninstaller removes each.
!macro Installed_Files DO
  !insertmacro ${DO} "${PROGRAM}"
  !insertmacro ${DO} "readme.txt"
  !insertmacro ${DO} "copyright.txt"
!macroend
!macro Put_File NAME
  File "${STAGE}\${NAME}"
!macroend
!macro Remove_File NAME
  Delete "$INSTDIR\${NAME}"
!macroend

!include "MUI2.nsh"
!include "FileFunc.nsh"

!define MUI_ABORTWARNING
!define MUI_COMPONENTSPAGE_NODESC
!define MUI_UNCONFIRMPAGE_TEXT_TOP "${PRODUCT} will be removed from the folder below. Your settings, titles and logs in the folder $\"My Roku$\" are kept."
!insertmacro MUI_PAGE_LICENSE "${STAGE}\copyright.txt"
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; Program Files, the Start menu and Add/Remove Programs are the machine's;
; the start at log-on is the installing user's own.
!macro Machine_Places
  SetShellVarContext all
  SetRegView 64
!macroend

Function .onInit
  !insertmacro Machine_Places
FunctionEnd

Function un.onInit
  !insertmacro Machine_Places
FunctionEnd

Section "${PRODUCT}" SecProgram
  SectionIn RO
  SetOutPath "$INSTDIR"
  !insertmacro Installed_Files Put_File
  WriteUninstaller "$INSTDIR\${UNINSTALLER}"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\${PROGRAM}"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${PROGRAM}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" "$\"$INSTDIR\${UNINSTALLER}$\""
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" "$\"$INSTDIR\${UNINSTALLER}$\" /S"
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

; A shortcut in the user's Startup folder rather than a Run key: it starts
; the console window minimized, and the program goes behind its tray icon.
Section "Start at log-on (behind the tray icon)" SecLogon
  SetShellVarContext current
  CreateShortcut "$SMSTARTUP\${PRODUCT}.lnk" "$INSTDIR\${PROGRAM}" "${TRAY_OPTION}" \
      "$INSTDIR\${PROGRAM}" 0 SW_SHOWMINIMIZED
  SetShellVarContext all
SectionEnd

Section "Uninstall"
  ; A running program cannot be removed: say so before anything is gone.
  ClearErrors
  Delete "$INSTDIR\${PROGRAM}"
  IfErrors 0 +4
    MessageBox MB_OK|MB_ICONEXCLAMATION "${PRODUCT} is running. Press Exit in its window (or the tray icon's window), then uninstall again." /SD IDOK
    SetErrorLevel ${EXIT_REFUSED}
    Abort
  !insertmacro Installed_Files Remove_File
  Delete "$INSTDIR\${UNINSTALLER}"
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\${PRODUCT}.lnk"
  SetShellVarContext current
  Delete "$SMSTARTUP\${PRODUCT}.lnk"
  SetShellVarContext all
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd

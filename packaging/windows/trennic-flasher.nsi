; Trennic Flasher installer for Windows (NSIS 3).
;
; Installs the folder that `cmake --install` made (the window, the command-line
; tool and the Qt files windeployqt put beside them), a Start menu entry for
; the window and an uninstaller, registered under "Apps and features".
;
;   makensis -DVERSION=<version> -DPAYLOAD=<folder with the .exe files>
;            [-DOUTFILE=<installer .exe>] trennic-flasher.nsi
;
; The build's target "installer" runs it with the right values.

Unicode true

!ifndef VERSION
  !error "VERSION must be given: -DVERSION=<version>"
!endif
!ifndef PAYLOAD
  !error "PAYLOAD must be given: -DPAYLOAD=<folder holding trennic-flasher.exe>"
!endif
!ifndef OUTFILE
  !define OUTFILE "trennic-flasher-${VERSION}-setup.exe"
!endif

!define PRODUCT "Trennic Flasher"
!define COMPANY "Trennic"
!define WINDOW_EXE "trennic-flasher.exe"
!define CLI_EXE "trennic-flasher-cli.exe"
!define UNINSTALLER "uninstall.exe"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\TrennicFlasher"
!define SETTINGS_KEY "Software\${COMPANY}\${PRODUCT}"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${COMPANY}\${PRODUCT}"
InstallDirRegKey HKLM "${SETTINGS_KEY}" "InstallDir"
RequestExecutionLevel admin
SetCompressor /SOLID lzma
VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "CompanyName" "${COMPANY}"
VIAddVersionKey "FileDescription" "${PRODUCT} installer"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "${COMPANY}"

!include "MUI2.nsh"
!include "x64.nsh"

!define MUI_FINISHPAGE_RUN "$INSTDIR\${WINDOW_EXE}"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "Russian"
!insertmacro MUI_LANGUAGE "English"

Function .onInit
  ${IfNot} ${RunningX64}
    MessageBox MB_ICONSTOP "${PRODUCT} needs 64-bit Windows."
    Abort
  ${EndIf}
  SetRegView 64
FunctionEnd

Function un.onInit
  SetRegView 64
FunctionEnd

Section "${PRODUCT}" SectionMain
  SectionIn RO
  SetShellVarContext all
  SetOutPath "$INSTDIR"
  ; Everything the installation folder holds: both executables and Qt.
  File /r "${PAYLOAD}/*.*"
  WriteUninstaller "$INSTDIR\${UNINSTALLER}"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\${WINDOW_EXE}"
  WriteRegStr HKLM "${SETTINGS_KEY}" "InstallDir" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${COMPANY}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${WINDOW_EXE}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALLER}"'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  SetShellVarContext all
  Delete "$SMPROGRAMS\${PRODUCT}.lnk"
  ; Only a folder this installer made: it holds the window's executable.
  ${If} ${FileExists} "$INSTDIR\${WINDOW_EXE}"
    RMDir /r "$INSTDIR"
  ${EndIf}
  RMDir "$PROGRAMFILES64\${COMPANY}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  DeleteRegKey HKLM "${SETTINGS_KEY}"
SectionEnd

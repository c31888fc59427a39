; The Windows installer: wayloom-setup-VERSION.exe, made by makensis in the
; windows preset's build (cmake/windows-installer.cmake passes VERSION,
; PROGRAM, HEADLESS and OUTFILE).
;
; It puts both programs under Program Files, writes settings.ini beside them
; (the program reads it there) readable by administrators and SYSTEM only,
; since it holds the password and the service runs as SYSTEM, adds a Start
; menu entry, and optionally registers the service. The settings are asked on
; a page of their own, or given on the command line, which a silent install
; (/S) needs:
;   /PORT=COM5: /BAUD=4800 /LOGIN=name /PASSWORD=secret /INTERVAL=60
;   /SERVER=https://reports.example /CAFILE=C:\certs\ca.pem /SERVICE=1
; The uninstaller removes the service, every file the installer or the
; program wrote (settings.ini, wayloom.log and its rotated wayloom.log.1), the
; folder, the Start menu entry and the uninstall entry.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include FileFunc.nsh
!include LogicLib.nsh
!include MUI2.nsh
!include nsDialogs.nsh
!include x64.nsh

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Wayloom"
; Administrators (BA) and SYSTEM (SY) alone, nothing inherited from the folder.
!define SETTINGS_DACL "D:P(A;;FA;;;BA)(A;;FA;;;SY)"
!define DACL_SECURITY_INFORMATION 4

Name "Wayloom ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Wayloom"
ShowInstDetails show
ShowUninstDetails show

Var Port
Var Baud
Var Login
Var Password
Var Interval
Var Server
Var CaFile
Var Service
; The settings page's controls.
Var PortField
Var BaudField
Var LoginField
Var PasswordField
Var IntervalField
Var ServerField
Var CaFileField
Var ServiceField

!insertmacro MUI_PAGE_DIRECTORY
Page custom SettingsPage SettingsPageLeave
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; ---- The settings: defaults, then the command line

!macro Option name variable
    ClearErrors
    ${GetOptions} $R0 "/${name}=" $R1
    ${IfNot} ${Errors}
        StrCpy ${variable} $R1
    ${EndIf}
!macroend

Function .onInit
    SetRegView 64
    StrCpy $Port "COM1:"
    StrCpy $Baud "4800"
    StrCpy $Interval "30"
    StrCpy $Service "0"
    ${GetParameters} $R0
    !insertmacro Option PORT $Port
    !insertmacro Option BAUD $Baud
    !insertmacro Option LOGIN $Login
    !insertmacro Option PASSWORD $Password
    !insertmacro Option INTERVAL $Interval
    !insertmacro Option SERVER $Server
    !insertmacro Option CAFILE $CaFile
    !insertmacro Option SERVICE $Service
FunctionEnd

!macro Field label value top control
    ${NSD_CreateLabel} 0 ${top}u 30% 12u "${label}"
    Pop $R1
    ${NSD_CreateText} 32% ${top}u 68% 12u "${value}"
    Pop ${control}
!macroend

Function SettingsPage
    !insertmacro MUI_HEADER_TEXT "Settings" "What settings.ini will hold. Server and CA file may stay empty."
    nsDialogs::Create 1018
    Pop $R0
    !insertmacro Field "GPS port" $Port 0 $PortField
    !insertmacro Field "Baud rate" $Baud 16 $BaudField
    !insertmacro Field "Login" $Login 32 $LoginField
    ${NSD_CreateLabel} 0 48u 30% 12u "Password"
    Pop $R1
    ${NSD_CreatePassword} 32% 48u 68% 12u $Password
    Pop $PasswordField
    !insertmacro Field "Report interval (s)" $Interval 64 $IntervalField
    !insertmacro Field "Server (https://...)" $Server 80 $ServerField
    !insertmacro Field "CA file (PEM)" $CaFile 96 $CaFileField
    ${NSD_CreateCheckbox} 0 114u 100% 12u "Run as a Windows service (starts at boot, no window)"
    Pop $ServiceField
    ${If} $Service == 1
        ${NSD_Check} $ServiceField
    ${EndIf}
    nsDialogs::Show
FunctionEnd

Function SettingsPageLeave
    ${NSD_GetText} $PortField $Port
    ${NSD_GetText} $BaudField $Baud
    ${NSD_GetText} $LoginField $Login
    ${NSD_GetText} $PasswordField $Password
    ${NSD_GetText} $IntervalField $Interval
    ${NSD_GetText} $ServerField $Server
    ${NSD_GetText} $CaFileField $CaFile
    ${NSD_GetState} $ServiceField $Service
    ${If} $Service == ${BST_CHECKED}
        StrCpy $Service 1
    ${Else}
        StrCpy $Service 0
    ${EndIf}
FunctionEnd

; ---- settings.ini

; Writes $R8 and a line feed to the open file $R9 in UTF-8, the settings
; file's encoding.
Function WriteUtf8Line
    System::Call 'kernel32::WideCharToMultiByte(i 65001, i 0, w R8, i -1, p 0, i 0, p 0, p 0) i .R7'
    System::Alloc $R7
    Pop $R6
    System::Call 'kernel32::WideCharToMultiByte(i 65001, i 0, w R8, i -1, p R6, i R7, p 0, p 0) i .R7'
    IntOp $R7 $R7 - 1 ; without the terminator
    System::Call 'kernel32::WriteFile(p R9, p R6, i R7, *i .R5, p 0) i .R4'
    System::Free $R6
    FileWriteByte $R9 10
FunctionEnd

!macro SettingsLine text
    StrCpy $R8 "${text}"
    Call WriteUtf8Line
!macroend

; The file is made empty and closed to all but administrators and SYSTEM
; before the password goes in.
Function WriteSettings
    FileOpen $R9 "$INSTDIR\settings.ini" w
    FileClose $R9
    System::Call 'advapi32::ConvertStringSecurityDescriptorToSecurityDescriptorW(w "${SETTINGS_DACL}", i 1, *p .R1, p 0) i .R0'
    ${If} $R0 == 0
        Abort "Cannot make the security descriptor of settings.ini."
    ${EndIf}
    ; The descriptor's "P" keeps the folder's inheritable entries out.
    System::Call 'advapi32::SetFileSecurityW(w "$INSTDIR\settings.ini", i ${DACL_SECURITY_INFORMATION}, p R1) i .R0'
    System::Call 'kernel32::LocalFree(p R1)'
    ${If} $R0 == 0
        Delete "$INSTDIR\settings.ini"
        Abort "Cannot protect settings.ini."
    ${EndIf}
    ; Appending to the empty file keeps its access list (Wine would renew it on "w").
    FileOpen $R9 "$INSTDIR\settings.ini" a
    !insertmacro SettingsLine "# Wayloom settings, written by the installer: port, baud rate, login, password, interval"
    !insertmacro SettingsLine $Port
    !insertmacro SettingsLine $Baud
    !insertmacro SettingsLine $Login
    !insertmacro SettingsLine $Password
    !insertmacro SettingsLine $Interval
    ${If} $Server != ""
        !insertmacro SettingsLine "server = $Server"
    ${EndIf}
    ${If} $CaFile != ""
        !insertmacro SettingsLine "ca-file = $CaFile"
    ${EndIf}
    FileClose $R9
FunctionEnd

; ---- Installing

Section "Wayloom"
    SetShellVarContext all
    ; An older copy's service holds its program open: stop and remove it first.
    ${If} ${FileExists} "$INSTDIR\wayloom-headless.exe"
        ExecWait '"$INSTDIR\wayloom-headless.exe" --remove-service'
    ${EndIf}
    SetOutPath "$INSTDIR"
    File "/oname=wayloom.exe" "${PROGRAM}"
    File "/oname=wayloom-headless.exe" "${HEADLESS}"
    Call WriteSettings
    WriteUninstaller "$INSTDIR\uninstall.exe"

    CreateShortcut "$SMPROGRAMS\Wayloom.lnk" "$INSTDIR\wayloom.exe"
    ; "Run as administrator" (SLDF_RUNAS_USER in the link's flags, byte 0x15
    ; bit 0x20): only administrators can read the settings.
    FileOpen $R0 "$SMPROGRAMS\Wayloom.lnk" a
    FileSeek $R0 0x15 SET
    FileReadByte $R0 $R1
    IntOp $R1 $R1 | 0x20
    FileSeek $R0 0x15 SET
    FileWriteByte $R0 $R1
    FileClose $R0

    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Wayloom"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1

    ${If} $Service == 1
        ExecWait '"$INSTDIR\wayloom-headless.exe" --install-service' $R0
        ${If} $R0 != 0
            DetailPrint "The service could not be installed (exit status $R0)."
            SetErrorLevel 2
        ${EndIf}
    ${EndIf}
SectionEnd

; ---- Uninstalling

Function un.onInit
    SetRegView 64
FunctionEnd

Section "Uninstall"
    SetShellVarContext all
    ExecWait '"$INSTDIR\wayloom-headless.exe" --remove-service'
    Delete "$INSTDIR\wayloom.exe"
    Delete "$INSTDIR\wayloom-headless.exe"
    Delete "$INSTDIR\settings.ini"
    Delete "$INSTDIR\wayloom.log"
    Delete "$INSTDIR\wayloom.log.1"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
    Delete "$SMPROGRAMS\Wayloom.lnk"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd

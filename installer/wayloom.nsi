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
; A value may be bare or in double or single quotes, however the shell passed
; it. Every value is checked as the program reads it before anything is
; installed: a value the program would refuse or misread ends a silent
; install with a message on standard error and exit status 2, and keeps the
; settings page open with a dialog otherwise.
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
!include StrFunc.nsh
!include x64.nsh

${StrLoc}

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

; Reads option $R2 ("/NAME=") from the command line $R0 into $R1; $R3 is 1
; when it is there, 0 otherwise. FileFunc's GetOptions is not used: it ends a
; value at the next "/", which cuts every URL. The value is bare (up to the
; next space), in double or single quotes, in quotes escaped as \" (what Wine
; makes of a Unix argument holding quotes), or the whole argument is in double
; quotes ("/CAFILE=C:\my certs\ca.pem", as Windows passes one with spaces).
Function ReadOption
    StrCpy $R3 0
    StrCpy $R1 ""
    ${StrLoc} $R4 $R0 $R2 ">"
    ${If} $R4 == ""
        Return
    ${EndIf}
    StrCpy $R3 1
    StrCpy $R5 " " ; what ends the value
    ${If} $R4 > 0
        IntOp $R6 $R4 - 1
        StrCpy $R7 $R0 1 $R6
        ${If} $R7 == '"'
            StrCpy $R5 '"'
        ${EndIf}
    ${EndIf}
    StrLen $R6 $R2
    IntOp $R4 $R4 + $R6
    StrCpy $R1 $R0 "" $R4
    StrCpy $R7 $R1 2
    ${If} $R7 == '\"'
        StrCpy $R1 $R1 "" 2
        StrCpy $R5 '\"'
    ${Else}
        StrCpy $R7 $R1 1
        ${If} $R7 == '"'
        ${OrIf} $R7 == "'"
            StrCpy $R1 $R1 "" 1
            StrCpy $R5 $R7
        ${EndIf}
    ${EndIf}
    ${StrLoc} $R6 $R1 $R5 ">"
    ${If} $R6 != ""
        StrCpy $R1 $R1 $R6
    ${EndIf}
FunctionEnd

!macro Option name variable
    StrCpy $R2 "/${name}="
    Call ReadOption
    ${If} $R3 == 1
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
    ; The settings page checks them when it is left; a silent install has none.
    ${If} ${Silent}
        Call CheckSettings
        ${If} $R9 != ""
            StrCpy $R8 "wayloom-setup: $R9$\r$\n"
            Call WriteStandardError
            SetErrorLevel 2
            Quit
        ${EndIf}
    ${EndIf}
FunctionEnd

; Writes $R8 to standard error, or to the console of the program that started
; the installer when it has none (a GUI program's standard handles are empty
; unless redirected).
Function WriteStandardError
    System::Call 'kernel32::GetStdHandle(i -12) p .R7'
    ${If} $R7 == 0
    ${OrIf} $R7 == -1
        System::Call 'kernel32::AttachConsole(i -1) i .R6'
        System::Call 'kernel32::GetStdHandle(i -12) p .R7'
    ${EndIf}
    ${If} $R7 != 0
    ${AndIf} $R7 != -1
        StrLen $R5 $R8
        System::Call 'kernel32::WriteConsoleW(p R7, w R8, i R5, *i .R4, p 0) i .R6'
        ${If} $R6 == 0
            ; Not a console: a file or a pipe takes bytes.
            System::Call 'kernel32::WriteFile(p R7, m R8, i R5, *i .R4, p 0) i .R6'
        ${EndIf}
    ${EndIf}
FunctionEnd

; ---- Checking the settings as the program reads them

!define DIGITS "0123456789"
; StrLoc compares without case, so the letters stand for both cases.
!define HOST_CHARACTERS "abcdefghijklmnopqrstuvwxyz0123456789-."
!define IPV6_CHARACTERS "0123456789abcdef:."
!define PORT_NAME_MAX 17  ; the program cuts the port line there
!define CREDENTIAL_MAX 35 ; and the login and password lines there
!define CA_FILE_MAX 132   ; an option line holds 142 characters: "ca-file = " and the path
!define MINIMUM_INTERVAL 30

; $R3: 1 when $R1 is not empty and each of its characters is one of $R2.
Function OnlyOf
    StrCpy $R3 0
    StrLen $R4 $R1
    ${If} $R4 == 0
        Return
    ${EndIf}
    StrCpy $R5 0
    ${DoWhile} $R5 < $R4
        StrCpy $R6 $R1 1 $R5
        ${StrLoc} $R7 $R2 $R6 ">"
        ${If} $R7 == ""
            Return
        ${EndIf}
        IntOp $R5 $R5 + 1
    ${Loop}
    StrCpy $R3 1
FunctionEnd

; $R3: the value of $R1 when it is 1 to 9 decimal digits (leading zeros
; allowed, as the program reads them), -1 otherwise.
Function ReadNumber
    StrLen $R4 $R1
    StrCpy $R2 "${DIGITS}"
    Call OnlyOf
    ${If} $R3 == 0
    ${OrIf} $R4 > 9
        StrCpy $R3 -1
        Return
    ${EndIf}
    ; Without its leading zeros, which IntOp would take for octal.
    ${DoWhile} $R1 != "0"
        StrCpy $R4 $R1 1
        ${If} $R4 != "0"
            ${ExitDo}
        ${EndIf}
        StrCpy $R1 $R1 "" 1
    ${Loop}
    IntOp $R3 $R1 + 0
FunctionEnd

; $R9: why the server URL in $Server would be refused, or empty when it would
; not. It is http:// or https://, a host name, an IPv4 address or an IPv6
; address in brackets, an optional port, and at most a "/" after them.
Function CheckServer
    StrCpy $R9 ""
    ${If} $Server == ""
        Return ; the compiled-in server
    ${EndIf}
    StrCpy $R1 $Server 8
    StrCpy $R8 $Server 7
    ${If} $R1 == "https://"
        StrCpy $R1 $Server "" 8
    ${ElseIf} $R8 == "http://"
        StrCpy $R1 $Server "" 7
    ${Else}
        Goto refused
    ${EndIf}
    StrCpy $R2 $R1 1 -1
    ${If} $R2 == "/"
        StrCpy $R1 $R1 -1
    ${EndIf}
    StrCpy $R2 $R1 1
    ${If} $R2 == "["
        ${StrLoc} $R4 $R1 "]" ">"
        ${If} $R4 == ""
            Goto refused
        ${EndIf}
        IntOp $R5 $R4 + 1
        StrCpy $R8 $R1 "" $R5 ; the port part
        IntOp $R5 $R4 - 1
        StrCpy $R1 $R1 $R5 1  ; the address
        ${StrLoc} $R4 $R1 ":" ">"
        ${If} $R4 == ""
            Goto refused
        ${EndIf}
        StrCpy $R2 "${IPV6_CHARACTERS}"
    ${Else}
        ${StrLoc} $R4 $R1 ":" ">"
        ${If} $R4 == ""
            StrCpy $R8 ""
        ${Else}
            StrCpy $R8 $R1 "" $R4
            StrCpy $R1 $R1 $R4
        ${EndIf}
        StrCpy $R2 "${HOST_CHARACTERS}"
    ${EndIf}
    Call OnlyOf
    ${If} $R3 == 0
        Goto refused
    ${EndIf}
    ${If} $R8 != ""
        StrCpy $R2 $R8 1
        StrCpy $R1 $R8 "" 1
        StrLen $R4 $R1
        ${If} $R2 != ":"
        ${OrIf} $R4 > 5
            Goto refused
        ${EndIf}
        Call ReadNumber
        ${If} $R3 < 1
        ${OrIf} $R3 > 65535
            Goto refused
        ${EndIf}
    ${EndIf}
    Return
refused:
    StrCpy $R9 "the server $\"$Server$\" is not http://HOST[:PORT] or https://HOST[:PORT]"
FunctionEnd

; $R9: why $R1, the login or password named $R8, would be misread, or empty.
; An empty line or one that starts with "#" is not counted as a setting, and
; the program drops trailing spaces.
Function CheckCredential
    StrCpy $R9 ""
    StrLen $R4 $R1
    StrCpy $R5 $R1 1
    StrCpy $R6 $R1 1 -1
    ${If} $R4 == 0
        StrCpy $R9 "a $R8 is needed"
    ${ElseIf} $R4 > ${CREDENTIAL_MAX}
        StrCpy $R9 "the $R8 is longer than ${CREDENTIAL_MAX} characters"
    ${ElseIf} $R5 == "#"
    ${OrIf} $R6 == " "
        StrCpy $R9 "the $R8 may not start with $\"#$\" nor end with a space"
    ${EndIf}
FunctionEnd

; $R9: why one of the settings would be refused or misread, or empty when
; the program will read them all as given.
Function CheckSettings
    StrLen $R4 $Port
    StrCpy $R5 $Port 1
    StrCpy $R6 $Port 1 -1
    ${If} $R4 == 0
    ${OrIf} $R4 > ${PORT_NAME_MAX}
    ${OrIf} $R5 == "#"
    ${OrIf} $R6 == " "
        StrCpy $R9 "the GPS port $\"$Port$\" is not a port name of 1 to ${PORT_NAME_MAX} characters"
        Return
    ${EndIf}
    StrCpy $R1 $Baud
    Call ReadNumber
    ${If} $R3 < 1
        StrCpy $R9 "the baud rate $\"$Baud$\" is not a whole number above 0"
        Return
    ${EndIf}
    StrCpy $R1 $Login
    StrCpy $R8 "login"
    Call CheckCredential
    ${If} $R9 != ""
        Return
    ${EndIf}
    StrCpy $R1 $Password
    StrCpy $R8 "password"
    Call CheckCredential
    ${If} $R9 != ""
        Return
    ${EndIf}
    StrCpy $R1 $Interval
    Call ReadNumber
    ${If} $R3 < ${MINIMUM_INTERVAL}
        StrCpy $R9 "the report interval $\"$Interval$\" is not a whole number of seconds, ${MINIMUM_INTERVAL} or more"
        Return
    ${EndIf}
    Call CheckServer
    ${If} $R9 != ""
        Return
    ${EndIf}
    StrLen $R4 $CaFile
    ${If} $R4 > ${CA_FILE_MAX}
        StrCpy $R9 "the CA file's path is longer than ${CA_FILE_MAX} characters"
        Return
    ${EndIf}
    ${If} $Service != 0
    ${AndIf} $Service != 1
        StrCpy $R9 "SERVICE is $\"$Service$\", not 0 or 1"
    ${EndIf}
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
    Call CheckSettings
    ${If} $R9 != ""
        MessageBox MB_OK|MB_ICONEXCLAMATION "Please correct the settings: $R9."
        Abort
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

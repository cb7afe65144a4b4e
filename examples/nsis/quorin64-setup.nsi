; A setup that installs a USB game controller's driver with Quorin64: a
; starting point for setup authors (NSIS 3). It bundles both programs and the
; whole driver package (the INF with its catalog and driver files), runs the
; program that fits the Windows it runs on, and reacts to every exit code.
; Silent installs (/S) work; their outcome is the setup's exit code:
;
;   program  setup does                                         setup exits
;    1       installed; sets the reboot flag (asks to restart)   3010
;    0       installed                                           0
;   -3       no controller: stages the driver package, so that   0
;            Windows installs it when the controller is
;            connected, and says so
;   -3       ... and staging failed: aborts, asking to connect    103
;            the controller and run setup again
;   -1 -2    aborts with a message naming the code and its       101 102
;   -4 -6    meaning                                             104 106
;   other    (not started, or an undocumented code) aborts        100
;   -        not an administrator: refuses to start              110
;   -        ARM64 Windows: refuses to start                      111
;
; 100 + the code's absolute value, because NSIS keeps exit code -1 for
; itself; 3010 is Windows' "restart required" (ERROR_SUCCESS_REBOOT_REQUIRED).
;
; The folder is fixed: "Quorin64 example" under the 64-bit Program Files
; (Program Files on 32-bit Windows), because the program runs there with
; administrator rights; there is no folder page and /D= is ignored.
;
; Staging: on -3 the package is copied into Windows' driver store
; (SetupCopyOEMInfA) from the folder the setup put it in. On 0 and 1 the
; setup asks for the name of the copy Windows made while installing (the
; same call finds it). The name Windows gave the copy (oemNN.inf) is kept
; in the uninstall key, value StagedInf, for the uninstaller.
;
; Uninstall: the setup writes uninstall.exe and registers it in Add/Remove
; Programs (the 64-bit view on 64-bit Windows) before it runs the program,
; so a failed install can be removed too. The uninstaller takes the staged
; package out of the driver store (SetupUninstallOEMInfA, not forced: a
; package a device still uses stays, and the uninstaller says so), then
; removes the program folder and the x86 INF folder if the setup made it.
; Silently: "<folder>\uninstall.exe" /S (the QuietUninstallString); like
; every NSIS uninstaller it returns at once and finishes from a copy of
; itself in the temporary folder. With _?=<folder> it works in place and
; returns when done, but uninstall.exe and the folder go at the next restart.
;
; The x86 program, on 32-bit Windows, shows a "Debug" box ("UpdateDriver
; 32Bit") before it starts and waits until someone clicks OK. It skips the
; box where its window station is invisible (run as SYSTEM in session 0, as
; deployment tools do), so only interactive runs on 32-bit Windows show it.
;
; Build (paths are relative to this file; makensis runs here):
;   makensis examples/nsis/quorin64-setup.nsi
; Defines: QUORIN64_X64, QUORIN64_X86 (the programs), QUORIN64_PACKAGE (the
; driver package folder: every file in it is bundled), QUORIN64_INF_NAME
; (the INF's name in that folder), QUORIN64_OUTFILE, QUORIN64_TARGET (stub;
; default x86-unicode, which runs on 32-bit and 64-bit Windows alike: an
; amd64-unicode setup never sees a 32-bit Windows), QUORIN64_FORCE_X86
; (tests only: take the x86 branch on 64-bit Windows too, where the x86
; program ends with -6).

Unicode true
!include "x64.nsh"
!include "LogicLib.nsh"
!include "FileFunc.nsh"

!ifdef QUORIN64_INF
    !error "QUORIN64_INF is gone: set QUORIN64_PACKAGE (the folder) and QUORIN64_INF_NAME"
!endif
!define /ifndef QUORIN64_X64 "..\..\build\windows-x64\Quorin64.exe"
!define /ifndef QUORIN64_X86 "..\..\build\windows-x86\Quorin64.exe"
!define /ifndef QUORIN64_PACKAGE "..\..\tests\wine\driver-package"
!define /ifndef QUORIN64_INF_NAME "talmerix.inf"
!define /ifndef QUORIN64_OUTFILE "quorin64-setup.exe"
!define /ifndef QUORIN64_TARGET "x86-unicode"
Target ${QUORIN64_TARGET}

; The controller's hardware ID, and the folder the x86 program takes its INF
; from: the system drive's root followed by this fixed (never translated)
; folder, with the INF name written straight after it.
!define HARDWARE_ID "USB\VID_1F3A&PID_0C21"
!define X86_INF_FOLDER "Program Files\Common Files\VID_1F3A&PID_0C21\Salvenport\QarnoD217"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Quorin64 example"
; Value DriverInstalled (the setup's version) is there only after an install
; that succeeded: what a deployment tool's detection rule looks for, so that
; a failed install is retried.
!define STATE_KEY "Software\Quorin64 example"
!define SETUP_VERSION "1.0.0"

Name "Quorin64 example driver"
OutFile "${QUORIN64_OUTFILE}"
; Under Program Files, where only administrators may write: the programs
; run with administrator rights and must not be replaceable by others.
; .onInit sets it again, whatever /D= said.
InstallDir "$PROGRAMFILES64\Quorin64 example"
RequestExecutionLevel admin
ShowInstDetails show
ShowUninstDetails show

Page instfiles
UninstPage instfiles

Var Code     ; the program's exit code
Var Meaning
Var InfPath  ; where the branch put the INF

; Refuses what the program cannot serve; shared by setup and uninstaller.
!macro REFUSE_UNSUITABLE_WINDOWS
    ; RequestExecutionLevel does nothing on XP: ask who runs the setup.
    UserInfo::GetAccountType
    Pop $0
    ${If} $0 != "Admin"
        MessageBox MB_OK|MB_ICONSTOP "Installing the driver needs administrator rights. Run setup as an administrator." /SD IDOK
        SetErrorLevel 110
        Quit
    ${EndIf}
    ; 64-bit Windows that is not x64 (ARM64): the x64 program cannot
    ; install a driver there.
    ${If} ${RunningX64}
    ${AndIfNot} ${IsNativeAMD64}
        MessageBox MB_OK|MB_ICONSTOP "This driver cannot be installed on Windows for ARM processors." /SD IDOK
        SetErrorLevel 111
        Quit
    ${EndIf}
    ${If} ${RunningX64}
        SetRegView 64
    ${EndIf}
    StrCpy $INSTDIR "$PROGRAMFILES64\Quorin64 example"
!macroend

Function .onInit
    !insertmacro REFUSE_UNSUITABLE_WINDOWS
FunctionEnd

; Copies the package of the INF in $InfPath into the driver store, or finds
; the copy Windows already has. On success keeps the copy's name for the
; uninstaller and leaves 0 in $0; else leaves Windows' error code in $0.
Function StagePackage
    StrCpy $4 $InfPath
    ${GetParent} $4 $1
    ; "m": ANSI strings, as SetupCopyOEMInfA takes them (a Unicode setup's
    ; "t" would pass wide ones). 1 is SPOST_PATH: the files are beside the INF.
    System::Call 'setupapi::SetupCopyOEMInfA(m r4, m r1, i 1, i 0, m .r2, i ${NSIS_MAX_STRLEN}, p 0, p 0) i .r0 ?e'
    Pop $3  ; the last error
    ${If} $0 = 0
        StrCpy $0 $3
        ${If} $0 = 0
            StrCpy $0 "unknown"
        ${EndIf}
        Return
    ${EndIf}
    ${GetFileName} $2 $2
    WriteRegStr HKLM "${UNINSTALL_KEY}" "StagedInf" $2
    DetailPrint "Driver package staged as $2."
    StrCpy $0 0
FunctionEnd

Function RegisterUninstaller
    WriteUninstaller "$INSTDIR\uninstall.exe"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Quorin64 example driver"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Quorin64 example"
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
FunctionEnd

Section "Driver"
    DeleteRegValue HKLM "${STATE_KEY}" "DriverInstalled"
    SetOutPath "$INSTDIR\Driver"
    StrCpy $1 "x86"
    !ifndef QUORIN64_FORCE_X86
    ${If} ${RunningX64}
        StrCpy $1 "x64"
    ${EndIf}
    !endif
    ${If} $1 == "x64"
        ; x64: the INF is looked for in the current directory, which is the
        ; output folder for ExecWait.
        File "/oname=Quorin64.exe" "${QUORIN64_X64}"
        File /r "${QUORIN64_PACKAGE}\*.*"
        StrCpy $InfPath "$INSTDIR\Driver\${QUORIN64_INF_NAME}"
        Call RegisterUninstaller
        DetailPrint "Installing the driver (64-bit) ..."
        ClearErrors
        ExecWait '"$INSTDIR\Driver\Quorin64.exe" ${QUORIN64_INF_NAME}+${HARDWARE_ID}' $Code
    ${Else}
        ; x86: the package goes to the fixed folder; the argument starts
        ; with a backslash because the INF name follows the folder directly.
        ; The uninstaller removes that folder only if this setup made it
        ; (now or in an earlier install).
        File "/oname=Quorin64.exe" "${QUORIN64_X86}"
        StrCpy $0 $WINDIR 3
        ${IfNot} ${FileExists} "$0${X86_INF_FOLDER}\*.*"
            WriteRegStr HKLM "${UNINSTALL_KEY}" "X86InfFolder" "$0${X86_INF_FOLDER}"
        ${EndIf}
        SetOutPath "$0${X86_INF_FOLDER}"
        File /r "${QUORIN64_PACKAGE}\*.*"
        StrCpy $InfPath "$0${X86_INF_FOLDER}\${QUORIN64_INF_NAME}"
        SetOutPath "$INSTDIR\Driver"
        Call RegisterUninstaller
        DetailPrint "Installing the driver (32-bit) ..."
        ClearErrors
        ExecWait '"$INSTDIR\Driver\Quorin64.exe" \${QUORIN64_INF_NAME}+${HARDWARE_ID}' $Code
    ${EndIf}
    ${If} ${Errors}
        StrCpy $Code "not started"
    ${Else}
        IntOp $Code $Code + 0  ; the code as a signed number: 4294967293 is -3
    ${EndIf}

    ${Select} $Code
    ${Case2} 1 0
        ${If} $Code = 1
            DetailPrint "Driver installed; Windows asks for a restart."
            SetRebootFlag true
        ${Else}
            DetailPrint "Driver installed."
        ${EndIf}
        ; Windows put the package into its store while installing: learn
        ; the name for the uninstaller. The driver is in place either way.
        Call StagePackage
        ${If} $0 != 0
            DetailPrint "The installed driver package was not found in the driver store (Windows error $0); uninstalling leaves it there."
        ${EndIf}
    ${Case} -3
        Call StagePackage
        ${If} $0 != 0
            SetErrorLevel 103
            MessageBox MB_OK|MB_ICONEXCLAMATION "No game controller was found (Quorin64 code -3), and the driver could not be staged (Windows error $0).$\r$\nConnect the controller and run setup again." /SD IDOK
            Abort "No game controller was found (code -3); staging failed (Windows error $0)."
        ${EndIf}
        DetailPrint "No game controller was found: the driver is staged; Windows installs it when the controller is connected."
        MessageBox MB_OK|MB_ICONINFORMATION "The driver is staged; Windows installs it when the controller is connected." /SD IDOK
    ${CaseElse}
        ${Select} $Code
        ${Case} -1
            StrCpy $Meaning "the driver could not be installed"
            SetErrorLevel 101
        ${Case} -2
            StrCpy $Meaning "the driver package (INF file) was not found"
            SetErrorLevel 102
        ${Case} -4
            StrCpy $Meaning "Windows refused the install flags"
            SetErrorLevel 104
        ${Case} -6
            StrCpy $Meaning "a 32-bit process may not install drivers on 64-bit Windows"
            SetErrorLevel 106
        ${CaseElse}
            StrCpy $Meaning "the installer could not be run or ended unexpectedly"
            SetErrorLevel 100
        ${EndSelect}
        MessageBox MB_OK|MB_ICONSTOP "Driver installation failed (Quorin64 code $Code): $Meaning." /SD IDOK
        Abort "Driver installation failed (code $Code): $Meaning."
    ${EndSelect}
SectionEnd

Function .onInstSuccess
    WriteRegStr HKLM "${STATE_KEY}" "DriverInstalled" "${SETUP_VERSION}"
    ${If} ${RebootFlag}
        SetErrorLevel 3010
        MessageBox MB_YESNO|MB_ICONQUESTION "Windows must restart to finish installing the driver. Restart now?" /SD IDNO IDNO done
        Reboot
        done:
    ${EndIf}
FunctionEnd

Function un.onInit
    !insertmacro REFUSE_UNSUITABLE_WINDOWS
FunctionEnd

; Works on the fixed folders, never on the folder the uninstaller was
; started from or given with _?=, so that it cannot be pointed at another.
Section "Uninstall"
    ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "StagedInf"
    ${If} $0 != ""
        ; Never SUOI_FORCEDELETE: Windows keeps a package a device uses.
        System::Call 'setupapi::SetupUninstallOEMInfA(m r0, i 0, p 0) i .r1 ?e'
        Pop $2
        ${If} $1 = 0
            DetailPrint "The driver package $0 stays in the driver store (Windows error $2): a device may still use it."
        ${Else}
            DetailPrint "Driver package $0 removed from the driver store."
        ${EndIf}
    ${EndIf}
    ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "X86InfFolder"
    StrCpy $1 $WINDIR 3
    ${If} $0 == "$1${X86_INF_FOLDER}"
        RMDir /r "$0"
        ; Its parents, as far as they are empty.
        RMDir "$1Program Files\Common Files\VID_1F3A&PID_0C21\Salvenport"
        RMDir "$1Program Files\Common Files\VID_1F3A&PID_0C21"
    ${EndIf}
    RMDir /r "$INSTDIR\Driver"
    ; Started in place (_?=), it cannot remove itself now: at the next restart.
    Delete /REBOOTOK "$INSTDIR\uninstall.exe"
    RMDir /REBOOTOK "$INSTDIR"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
    DeleteRegKey HKLM "${STATE_KEY}"
SectionEnd

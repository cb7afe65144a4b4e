; A setup that installs a USB game controller's driver with Quorin64: a
; starting point for setup authors (NSIS 3). It bundles both programs and the
; driver package, runs the program that fits the Windows it runs on, and
; reacts to every exit code. Silent installs (/S) work; their outcome is the
; setup's exit code:
;
;   program  setup does                                         setup exits
;    1       installed; sets the reboot flag (asks to restart)   3010
;    0       installed                                           0
;   -3       no controller: tells the user to connect it and     103
;            run setup again; the setup fails, because Windows
;            has not taken the driver and will not find it when
;            the controller is plugged in later
;   -1 -2    aborts with a message naming the code and its       101 102
;   -4 -6    meaning                                             104 106
;   other    (not started, or an undocumented code) aborts        100
;   -        not an administrator: refuses to start              110
;   -        ARM64 Windows: refuses to start                      111
;
; 100 + the code's absolute value, because NSIS keeps exit code -1 for
; itself; 3010 is Windows' "restart required" (ERROR_SUCCESS_REBOOT_REQUIRED).
;
; The x86 program, on 32-bit Windows, shows a "Debug" box ("UpdateDriver
; 32Bit") before it starts and waits until someone clicks OK, also in a
; silent setup: an unattended install on 32-bit Windows needs someone at the
; screen.
;
; Build (paths are relative to this file; makensis runs here):
;   makensis examples/nsis/quorin64-setup.nsi
; Defines: QUORIN64_X64, QUORIN64_X86, QUORIN64_INF (the files bundled),
; QUORIN64_OUTFILE, QUORIN64_TARGET (stub; default x86-unicode, which runs on
; 32-bit and 64-bit Windows alike: an amd64-unicode setup never sees a 32-bit
; Windows), QUORIN64_FORCE_X86 (tests only: take the x86 branch on 64-bit
; Windows too, where the x86 program ends with -6).

Unicode true
!include "x64.nsh"
!include "LogicLib.nsh"

!define /ifndef QUORIN64_X64 "..\..\build\windows-x64\Quorin64.exe"
!define /ifndef QUORIN64_X86 "..\..\build\windows-x86\Quorin64.exe"
!define /ifndef QUORIN64_INF "..\..\tests\wine\driver-package\talmerix.inf"
!define /ifndef QUORIN64_OUTFILE "quorin64-setup.exe"
!define /ifndef QUORIN64_TARGET "x86-unicode"
Target ${QUORIN64_TARGET}

; The controller's hardware ID, and the folder the x86 program takes its INF
; from: the system drive's root followed by this fixed (never translated)
; folder, with the INF name written straight after it.
!define HARDWARE_ID "USB\VID_1F3A&PID_0C21"
!define X86_INF_FOLDER "Program Files\Common Files\VID_1F3A&PID_0C21\Salvenport\QarnoD217"

Name "Quorin64 example driver"
OutFile "${QUORIN64_OUTFILE}"
; Under Program Files, where only administrators may write: the programs
; run with administrator rights and must not be replaceable by others.
InstallDir "$PROGRAMFILES64\Quorin64 example"
RequestExecutionLevel admin
ShowInstDetails show

Page directory
Page instfiles

Var Code     ; the program's exit code
Var Meaning

Function .onInit
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
FunctionEnd

Section "Driver"
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
        File "/oname=driver.inf" "${QUORIN64_INF}"
        DetailPrint "Installing the driver (64-bit) ..."
        ClearErrors
        ExecWait '"$INSTDIR\Driver\Quorin64.exe" driver.inf+${HARDWARE_ID}' $Code
    ${Else}
        ; x86: the INF goes to the fixed folder; the argument starts with a
        ; backslash because the INF name follows the folder directly.
        File "/oname=Quorin64.exe" "${QUORIN64_X86}"
        StrCpy $0 $WINDIR 3
        SetOutPath "$0${X86_INF_FOLDER}"
        File "/oname=driver.inf" "${QUORIN64_INF}"
        SetOutPath "$INSTDIR\Driver"
        DetailPrint "Installing the driver (32-bit) ..."
        ClearErrors
        ExecWait '"$INSTDIR\Driver\Quorin64.exe" \driver.inf+${HARDWARE_ID}' $Code
    ${EndIf}
    ${If} ${Errors}
        StrCpy $Code "not started"
    ${Else}
        IntOp $Code $Code + 0  ; the code as a signed number: 4294967293 is -3
    ${EndIf}

    ${Select} $Code
    ${Case} 1
        DetailPrint "Driver installed; Windows asks for a restart."
        SetRebootFlag true
    ${Case} 0
        DetailPrint "Driver installed."
    ${Case} -3
        SetErrorLevel 103
        MessageBox MB_OK|MB_ICONEXCLAMATION "No game controller was found (Quorin64 code -3).$\r$\nConnect the controller and run setup again." /SD IDOK
        Abort "No game controller was found (code -3)."
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
    ${If} ${RebootFlag}
        SetErrorLevel 3010
        MessageBox MB_YESNO|MB_ICONQUESTION "Windows must restart to finish installing the driver. Restart now?" /SD IDNO IDNO done
        Reboot
        done:
    ${EndIf}
FunctionEnd

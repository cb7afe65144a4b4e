; A setup that installs a USB game controller's driver with Quorin64: a
; starting point for setup authors (NSIS 3). It bundles both programs and the
; whole driver package (the INF with its catalog and driver files), runs the
; program that fits the Windows it runs on once for each hardware ID, and
; reacts to every exit code. Silent installs (/S) work; their outcome is the
; setup's exit code:
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
; Several hardware IDs (HARDWARE_IDS, "|" between them): the program runs
; once for each, in order, as <INF name>+<ID>, and each run's code goes
; into the details. The first run that ends with a failure other than -3
; is the last, and its code is the setup's answer, as in the table. Else
; a restart is asked for when any run asked for one, and the package is
; staged only when every run gave -3: a device found for one ID is an
; install.
;
; The folder is fixed: "Quorin64 example" under the 64-bit Program Files
; (Program Files on 32-bit Windows), because the program runs there with
; administrator rights; there is no folder page and /D= is ignored.
;
; What the setup owns: the driver package is this setup's only when this
; install put it into Windows' driver store (staged on -3, or added by the
; driver install on a present device). Before running the program, and
; again after the runs (and the staging), the setup looks in
; <Windows>\inf for a copy of its INF (Windows copies an INF into the
; store unchanged: the same bytes; asking setupapi instead would stage
; it). Not there before and there now: it records the copy's name and an
; FNV-1a fingerprint of its bytes in the record the MSI's custom action
; keeps too, HKLM\SOFTWARE\Quorin64\Driver packages\<SETUP_ID>\<SETUP_ID>
; (values InfName and InfFingerprint; 64-bit view on 64-bit Windows). A
; package that was there before the setup came is not recorded and stays.
; When the record names another package whose copy still has its recorded
; fingerprint (an earlier version's, of another INF), the setup first takes
; that one out as the uninstaller does, else it would stay for good.
;
; Uninstall: the setup writes uninstall.exe and registers it in Add/Remove
; Programs (the 64-bit view on 64-bit Windows) before it runs the program,
; so a failed install can be removed too. The uninstaller takes out of the
; driver store (SetupUninstallOEMInfA, not forced: a package a device
; still uses stays, and the uninstaller says so) only the recorded name,
; and only while its copy still has the recorded fingerprint: Windows
; gives a freed oemNN.inf name to the next package staged. It deletes the
; record, then removes the program folder and the x86 INF folder if the
; setup made it. The details say why a package stays.
; Silently: "<folder>\uninstall.exe" /S (the QuietUninstallString); like
; every NSIS uninstaller it returns at once and finishes from a copy of
; itself in the temporary folder. With _?=<folder> (the last argument,
; unquoted) it works in place and returns when done, but uninstall.exe and
; the folder go at the next restart: what a deployment tool that checks the
; result at once needs.
;
; The x86 program, on 32-bit Windows, shows a "Debug" box ("UpdateDriver
; 32Bit") before it starts and waits until someone clicks OK. It skips the
; box where its window station is invisible (run as SYSTEM in session 0, as
; deployment tools do), so only interactive runs on 32-bit Windows show it.
;
; Build, from any folder:
;   makensis kit/nsis/quorin64-setup.nsi
; writes build/nsis/quorin64-setup.exe (below the release archive's top, or
; the repository's). Relative paths in defines are taken from this file's
; folder, where makensis runs (from the current folder with /NOCD). Every
; define below has a default; set yours with -D, for example
;   makensis -DQUORIN64_PACKAGE=C:\mydriver -DQUORIN64_INF_NAME=mydrv.inf
;            "-DHARDWARE_IDS=USB\VID_1234&PID_5678|USB\VID_1234&PID_5679"
;            "-DPRODUCT_NAME=My driver" "-DINSTALL_FOLDER=My driver"
;            "-DUNINSTALL_NAME=My driver" "-DSETUP_ID={your own GUID}"
;            "-DSTATE_KEY=Software\My company\My driver" ...
; Build inputs: QUORIN64_X64, QUORIN64_X86 (the programs; default: the
; release archive's x64\ and x86\, else the repository's build),
; QUORIN64_PACKAGE (the driver package folder: every file in it is
; bundled; default: the project's made test package), QUORIN64_INF_NAME
; (the INF's name in that folder: the build stops if it is not there),
; QUORIN64_OUTFILE, QUORIN64_TARGET (stub; default x86-unicode, which runs
; on 32-bit and 64-bit Windows alike: an amd64-unicode setup never sees a
; 32-bit Windows), QUORIN64_TRUST (a root certificate, PEM, that the
; package check trusts for the catalog's signer: your own test root),
; QUORIN64_CHECK_PACKAGE (kit/check-package.py, when this file is copied
; out of the kit), QUORIN64_FORCE_X86 (tests only: take the x86 branch on
; 64-bit Windows too, where the x86 program ends with -6).
; The build runs kit/check-package.py on the package for amd64 and x86
; with every hardware ID as its own --hardware-id, and stops when it
; refuses it: with python3 where makensis runs on Linux, with python (a
; warning without one) on Windows.
; Your setup's identity: HARDWARE_IDS (the controller's IDs, "|" between
; them; HARDWARE_ID for one ID does as well, not both; an empty ID stops
; the build), PRODUCT_NAME, PUBLISHER, INSTALL_FOLDER (the folder's name
; under Program Files), UNINSTALL_NAME (its key below
; ...\CurrentVersion\Uninstall), SETUP_ID (a GUID of your own, with its
; braces, the same for every version of your setup: it names the record
; of what the setup owns), STATE_KEY (below HKLM: the detection mark and
; nothing else), SETUP_VERSION. Ship your own: two products with the same
; names share one uninstall entry, one folder and one detection mark, and
; with the same SETUP_ID one record, so that either's uninstall would take
; out the other's package.
;
; The meanings of the program's exit codes are those of the project's list,
; docs/exit-codes.tsv.

Unicode true
!include "x64.nsh"
!include "LogicLib.nsh"
!include "FileFunc.nsh"

!ifdef QUORIN64_INF
    !error "QUORIN64_INF is gone: set QUORIN64_PACKAGE (the folder) and QUORIN64_INF_NAME"
!endif
; This file's folder as a path from makensis's current folder: makensis
; changes to the script's folder unless /NOCD, and ${__FILEDIR__} is
; relative when the script was named by a relative path. Whichever holds,
; one of the two finds this file.
!if /FileExists "${__FILEDIR__}\${__FILE__}"
    !define QUORIN64_HERE "${__FILEDIR__}"
!else
    !define QUORIN64_HERE "."
!endif
; The kit's folder, and the folder above it: the release archive's top
; (x64\, x86\, kit\) or the repository (build\, kit\).
!define QUORIN64_KIT "${QUORIN64_HERE}\.."
!define QUORIN64_TOP "${QUORIN64_HERE}\..\.."
; The programs: the release archive's, else the build's in the repository.
!if /FileExists "${QUORIN64_TOP}\x64\Quorin64.exe"
    !define /ifndef QUORIN64_X64 "${QUORIN64_TOP}\x64\Quorin64.exe"
!endif
!if /FileExists "${QUORIN64_TOP}\x86\Quorin64.exe"
    !define /ifndef QUORIN64_X86 "${QUORIN64_TOP}\x86\Quorin64.exe"
!endif
!define /ifndef QUORIN64_X64 "${QUORIN64_TOP}\build\windows-x64\Quorin64.exe"
!define /ifndef QUORIN64_X86 "${QUORIN64_TOP}\build\windows-x86\Quorin64.exe"
!define /ifndef QUORIN64_PACKAGE "${QUORIN64_TOP}\build\test-package\package"
!define /ifndef QUORIN64_INF_NAME "talmerix.inf"
; By default under build/, beside the programs that scripts/build.sh
; writes, never in this folder.
!ifndef QUORIN64_OUTFILE
    !ifdef NSIS_WIN32_MAKENSIS
        !system 'if not exist "${QUORIN64_TOP}\build\nsis" mkdir "${QUORIN64_TOP}\build\nsis"'
    !else
        !searchreplace QUORIN64_TOP_SLASHES "${QUORIN64_TOP}" "\" "/"
        !system `mkdir -p '${QUORIN64_TOP_SLASHES}/build/nsis'`
    !endif
    !define QUORIN64_OUTFILE "${QUORIN64_TOP}\build\nsis\quorin64-setup.exe"
!endif
!define /ifndef QUORIN64_TARGET "x86-unicode"
Target ${QUORIN64_TARGET}

; Your setup's identity (see above).
!ifdef HARDWARE_ID
    !ifdef HARDWARE_IDS
        !error "HARDWARE_ID and HARDWARE_IDS are both given: give one ID as HARDWARE_ID or all as HARDWARE_IDS"
    !endif
    !define HARDWARE_IDS "${HARDWARE_ID}"
!endif
!define /ifndef HARDWARE_IDS "USB\VID_1F3A&PID_0C21"
; "||" between the list's delimiters is an empty ID (or an empty list).
!searchreplace QUORIN64_IDS_UNEMPTIED "|${HARDWARE_IDS}|" "||" ""
!if "${QUORIN64_IDS_UNEMPTIED}" != "|${HARDWARE_IDS}|"
    !error "HARDWARE_IDS has an empty ID: IDs with one | between them, as in ID1|ID2"
!endif
; The example's own: yours is a GUID of your own (see above).
!ifndef SETUP_ID
    !define SETUP_ID "{0904530A-2C0C-420E-A20E-1FEAF151D04C}"
    ; Another product built with it would share this one's uninstall
    ; record: the one uninstalled first would take out the other's package.
    !warning "SETUP_ID not given: the example's own GUID; give your setup one of its own"
!endif
!define /ifndef PRODUCT_NAME "Quorin64 example driver"
!define /ifndef PUBLISHER "Quorin64 example"
!define /ifndef INSTALL_FOLDER "Quorin64 example"
!define /ifndef UNINSTALL_NAME "Quorin64 example"

!if /FileExists "${QUORIN64_PACKAGE}\${QUORIN64_INF_NAME}"
!else
    !error "${QUORIN64_PACKAGE}\${QUORIN64_INF_NAME} not found: QUORIN64_INF_NAME must name the INF in QUORIN64_PACKAGE"
!endif
; The whole package, for each Windows the setup installs on (amd64 and x86),
; with every hardware ID the setup passes: a file the INF names that is not
; where the INF puts it would make Windows ask for the disk on the
; customer's machine, where nobody answers in an unattended install, and an
; ID whose install adds no TALMERIX service leaves the device to the sweep.
!define /ifndef QUORIN64_CHECK_PACKAGE "${QUORIN64_KIT}\check-package.py"
!if /FileExists "${QUORIN64_CHECK_PACKAGE}"
!else
    !error "${QUORIN64_CHECK_PACKAGE} not found: QUORIN64_CHECK_PACKAGE names kit/check-package.py when this file is not in the kit"
!endif
!ifdef NSIS_WIN32_MAKENSIS
    ; On Windows, with Python 3 when there is one.
    !system 'python --version' QUORIN64_PYTHON
    !if ${QUORIN64_PYTHON} == 0
        !define QUORIN64_TRUST_OPTION ""
        !ifdef QUORIN64_TRUST
            !undef QUORIN64_TRUST_OPTION
            !define QUORIN64_TRUST_OPTION '--trust "${QUORIN64_TRUST}"'
        !endif
        !searchreplace QUORIN64_ID_OPTIONS "${HARDWARE_IDS}" "|" '" --hardware-id "'
        !system 'python "${QUORIN64_CHECK_PACKAGE}" --arch amd64 --arch x86 --inf "${QUORIN64_INF_NAME}" --hardware-id "${QUORIN64_ID_OPTIONS}" ${QUORIN64_TRUST_OPTION} "${QUORIN64_PACKAGE}"' = 0
    !else
        !warning "no python: the driver package is not checked; run kit/check-package.py --arch amd64 --arch x86 on it first"
    !endif
!else
    ; makensis turns every backslash of a !system command into a slash
    ; (hardware IDs have them), but not of a file it appends to: the command
    ; goes into a script. Paths take slashes, values single quotes.
    !macro QUORIN64_SH_WORD SYMBOL VALUE SLASHES
        !if "${SLASHES}" == "slashes"
            !searchreplace ${SYMBOL}_SLASHED "${VALUE}" "\" "/"
        !else
            !define ${SYMBOL}_SLASHED "${VALUE}"
        !endif
        !searchreplace ${SYMBOL} "${${SYMBOL}_SLASHED}" "'" "'\''"
    !macroend
    !insertmacro QUORIN64_SH_WORD QUORIN64_SH_CHECKER "${QUORIN64_CHECK_PACKAGE}" slashes
    !insertmacro QUORIN64_SH_WORD QUORIN64_SH_PACKAGE "${QUORIN64_PACKAGE}" slashes
    !insertmacro QUORIN64_SH_WORD QUORIN64_SH_INF "${QUORIN64_INF_NAME}" as-is
    !insertmacro QUORIN64_SH_WORD QUORIN64_SH_IDS "${HARDWARE_IDS}" as-is
    !searchreplace QUORIN64_SH_ID_OPTIONS "${QUORIN64_SH_IDS}" "|" "' --hardware-id '"
    !define QUORIN64_SH_TRUST ""
    !ifdef QUORIN64_TRUST
        !undef QUORIN64_SH_TRUST
        !insertmacro QUORIN64_SH_WORD QUORIN64_SH_TRUST_PATH "${QUORIN64_TRUST}" slashes
        !define QUORIN64_SH_TRUST "--trust '${QUORIN64_SH_TRUST_PATH}'"
    !endif
    !tempfile QUORIN64_CHECK_SCRIPT
    !appendfile "${QUORIN64_CHECK_SCRIPT}" `command -v python3 > /dev/null || { echo "python3 is missing: it checks the driver package (apt-get install python3)" >&2; exit 1; }$\n`
    !appendfile "${QUORIN64_CHECK_SCRIPT}" `exec python3 '${QUORIN64_SH_CHECKER}' --arch amd64 --arch x86 --inf '${QUORIN64_SH_INF}' --hardware-id '${QUORIN64_SH_ID_OPTIONS}' ${QUORIN64_SH_TRUST} '${QUORIN64_SH_PACKAGE}'$\n`
    !system `sh '${QUORIN64_CHECK_SCRIPT}'` QUORIN64_CHECKED
    !delfile "${QUORIN64_CHECK_SCRIPT}"
    !if ${QUORIN64_CHECKED} != 0
        !error "kit/check-package.py refused the driver package (see above)"
    !endif
!endif

; Value DriverInstalled (the setup's version) is there only after an install
; that succeeded: what a deployment tool's detection rule looks for, so that
; a failed install is retried.
!define /ifndef STATE_KEY "Software\Quorin64 example"
!define /ifndef SETUP_VERSION "1.0.0"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${UNINSTALL_NAME}"
; What the setup owns in the driver store (see above): the MSI's custom
; action keeps its record below the same key, one for each setup.
!define RECORD_ROOT "SOFTWARE\Quorin64\Driver packages"
!define RECORD_KEY "${RECORD_ROOT}\${SETUP_ID}\${SETUP_ID}"
; Setup API's "a device still uses the package".
!define ERROR_INF_IN_USE_BY_DEVICES 0xE000023D
; The folder the x86 program takes its INF from, fixed in the program: the
; system drive's root followed by this (never translated) folder, with the
; INF name written straight after it.
!define X86_INF_FOLDER "Program Files\Common Files\VID_1F3A&PID_0C21\Salvenport\QarnoD217"

Name "${PRODUCT_NAME}"
OutFile "${QUORIN64_OUTFILE}"
; Under Program Files, where only administrators may write: the programs
; run with administrator rights and must not be replaceable by others.
; .onInit sets it again, whatever /D= said.
InstallDir "$PROGRAMFILES64\${INSTALL_FOLDER}"
RequestExecutionLevel admin
ShowInstDetails show
ShowUninstDetails show

Page instfiles
UninstPage instfiles

Var Code         ; the program's exit code
Var Meaning
Var Branch       ; which program ran: x64 or x86
Var InfPath      ; where the branch put the INF
Var InfArgument  ; the INF name as the branch's program takes it
Var Id           ; the hardware ID of the run
Var IdsLeft      ; the IDs still to run for
Var StoreBefore  ; the INF's copy in the store before the program ran
Var StageError   ; 0, or why staging failed

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
    StrCpy $INSTDIR "$PROGRAMFILES64\${INSTALL_FOLDER}"
!macroend

Function .onInit
    !insertmacro REFUSE_UNSUITABLE_WINDOWS
FunctionEnd

; FNV-1a (32 bits) of the bytes of the file at $R0, in $R0 ("" when it
; cannot be read): the MSI's custom action's fingerprint. IntOp's 32-bit
; integers wrap as the hash's arithmetic does.
!macro FINGERPRINT_FUNCTION UN
Function ${UN}Fingerprint
    ClearErrors
    FileOpen $R1 $R0 r
    ${If} ${Errors}
        StrCpy $R0 ""
        Return
    ${EndIf}
    IntOp $R0 0x811C9DC5 + 0  ; 2166136261, the offset basis
    ${Do}
        FileReadByte $R1 $R2
        ${If} ${Errors}
            ${ExitDo}
        ${EndIf}
        IntOp $R0 $R0 ^ $R2
        IntOp $R0 $R0 * 16777619
    ${Loop}
    FileClose $R1
FunctionEnd
!macroend
!insertmacro FINGERPRINT_FUNCTION ""
!insertmacro FINGERPRINT_FUNCTION "un."

; The package the record names, in $0 ("" when none), and in $1 "same"
; while <Windows>\inf\<that name> still holds the bytes recorded, else "":
; Windows gives a freed oemNN.inf name to the next package staged.
!macro RECORDED_PACKAGE_FUNCTION UN
Function ${UN}RecordedPackage
    ReadRegStr $0 HKLM "${RECORD_KEY}" "InfName"
    ReadRegDWORD $2 HKLM "${RECORD_KEY}" "InfFingerprint"
    StrCpy $1 ""
    ${If} $0 != ""
    ${AndIf} $2 != ""
        StrCpy $R0 "$WINDIR\inf\$0"
        Call ${UN}Fingerprint
        ${If} $R0 != ""
        ${AndIf} $R0 = $2
            StrCpy $1 "same"
        ${EndIf}
    ${EndIf}
FunctionEnd
!macroend
!insertmacro RECORDED_PACKAGE_FUNCTION ""
!insertmacro RECORDED_PACKAGE_FUNCTION "un."

; Takes the package named $0 out of the driver store; never
; SUOI_FORCEDELETE: Windows keeps a package a device uses.
!macro TAKE_OUT_PACKAGE_FUNCTION UN
Function ${UN}TakeOutPackage
    System::Call 'setupapi::SetupUninstallOEMInfA(m r0, i 0, p 0) i .r1 ?e'
    Pop $2
    ${If} $1 <> 0
        DetailPrint "Driver package $0 taken out of the driver store."
    ${ElseIf} $2 = ${ERROR_INF_IN_USE_BY_DEVICES}
        DetailPrint "Driver package $0 stays in the driver store: a device still uses it."
    ${Else}
        DetailPrint "Driver package $0 could not be taken out of the driver store (Windows error $2)."
    ${EndIf}
FunctionEnd
!macroend
!insertmacro TAKE_OUT_PACKAGE_FUNCTION ""
!insertmacro TAKE_OUT_PACKAGE_FUNCTION "un."

; The name in Windows' INF folder of a file that holds the bytes of the
; INF at $InfPath, in $0 ("" when there is none). Windows copies an INF
; into the store unchanged; asking SetupCopyOEMInfA would put it there.
Function FindInStore
    StrCpy $0 ""
    ClearErrors
    FileOpen $1 $InfPath r
    ${If} ${Errors}
        Return
    ${EndIf}
    FileSeek $1 0 END $2  ; the INF's size: only a file of that size is read
    FindFirst $3 $4 "$WINDIR\inf\*.inf"
    ${DoUntil} $4 == ""
        ClearErrors
        FileOpen $5 "$WINDIR\inf\$4" r
        ${IfNot} ${Errors}
            FileSeek $5 0 END $6
            ${If} $6 = $2
                FileSeek $1 0 SET
                FileSeek $5 0 SET
                ${Do}
                    FileReadByte $1 $7
                    ${If} ${Errors}  ; the end of both
                        StrCpy $0 $4
                        ${ExitDo}
                    ${EndIf}
                    FileReadByte $5 $8
                    ${If} $7 != $8
                        ${ExitDo}
                    ${EndIf}
                ${Loop}
            ${EndIf}
            FileClose $5
        ${EndIf}
        ${If} $0 != ""
            ${ExitDo}
        ${EndIf}
        FindNext $3 $4
    ${Loop}
    FindClose $3
    FileClose $1
FunctionEnd

; Copies the package of the INF at $InfPath into the driver store; leaves
; 0 in $0, else Windows' error code.
Function StagePackage
    StrCpy $4 $InfPath
    ${GetParent} $4 $1
    ; "m": ANSI strings, as SetupCopyOEMInfA takes them (a Unicode setup's
    ; "t" would pass wide ones). 1 is SPOST_PATH: the files are beside the INF.
    System::Call 'setupapi::SetupCopyOEMInfA(m r4, m r1, i 1, i 0, p 0, i 0, p 0, p 0) i .r0 ?e'
    Pop $3  ; the last error
    ${If} $0 = 0
        StrCpy $0 $3
        ${If} $0 = 0
            StrCpy $0 "unknown"
        ${EndIf}
    ${Else}
        StrCpy $0 0
    ${EndIf}
FunctionEnd

; After the runs (and the staging): the package is this setup's only when
; it was not in the store before the program ran and is there now. Only
; then does the record change, so a run over an earlier install keeps the
; earlier install's record, which names the package it finds there before.
Function RecordOwnership
    Call FindInStore
    ${If} $StoreBefore != ""
        Call RecordedPackage
        ${If} $0 == $StoreBefore  ; without regard to case, as Windows compares names
        ${AndIf} $1 == "same"
            DetailPrint "Driver package $0 stays this setup's: an earlier install put it into the driver store."
        ${Else}
            DetailPrint "Driver package $StoreBefore was in the driver store before this setup: uninstalling leaves it there."
        ${EndIf}
    ${ElseIf} $0 != ""
        StrCpy $9 $0
        ; An earlier version's own package (another INF): once the record
        ; names this one, no uninstall would take it out.
        Call RecordedPackage
        ${If} $1 == "same"
        ${AndIf} $0 != $9
            DetailPrint "Driver package $0 was put into the driver store by an earlier version of this setup: taking it out."
            Call TakeOutPackage
        ${EndIf}
        StrCpy $R0 "$WINDIR\inf\$9"
        Call Fingerprint
        WriteRegStr HKLM "${RECORD_KEY}" "InfName" $9
        WriteRegDWORD HKLM "${RECORD_KEY}" "InfFingerprint" $R0
        DetailPrint "Driver package $9 is in the driver store, put there by this setup: uninstalling takes it out."
    ${Else}
        DetailPrint "No copy of the driver package is in the driver store."
    ${EndIf}
FunctionEnd

Function RegisterUninstaller
    WriteUninstaller "$INSTDIR\uninstall.exe"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT_NAME}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${SETUP_VERSION}"
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
FunctionEnd

; Takes the first hardware ID off $IdsLeft into $Id; $IdsLeft keeps the
; rest, "" after the last (the build refuses an empty ID).
Function TakeHardwareId
    StrCpy $1 0
    ${Do}
        StrCpy $2 $IdsLeft 1 $1
        ${If} $2 == ""
        ${OrIf} $2 == "|"
            ${ExitDo}
        ${EndIf}
        IntOp $1 $1 + 1
    ${Loop}
    StrCpy $Id $IdsLeft $1
    IntOp $1 $1 + 1
    StrCpy $IdsLeft $IdsLeft "" $1
FunctionEnd

; Runs the program once for each hardware ID, in order, up to the first
; run that ends with a failure other than -3: then $Code is its code. Else
; $Code is -3 when every run found no device, 0 when one found one. A run
; that asks for a restart sets the reboot flag.
Function RunForEachId
    StrCpy $IdsLeft "${HARDWARE_IDS}"
    StrCpy $0 -3
    ${Do}
        Call TakeHardwareId
        DetailPrint "Installing the driver for $Id ($Branch) ..."
        ClearErrors
        ExecWait '"$INSTDIR\Driver\Quorin64.exe" $InfArgument+$Id' $Code
        ${If} ${Errors}
            StrCpy $Code "not started"
        ${Else}
            IntOp $Code $Code + 0  ; the code as a signed number: 4294967293 is -3
        ${EndIf}
        Call CodeMeaning
        DetailPrint "Quorin64 ended with $Code for $Id: $Meaning."
        ${Select} $Code
        ${Case} 1
            SetRebootFlag true
            StrCpy $0 0
        ${Case} 0
            StrCpy $0 0
        ${Case} -3
        ${CaseElse}
            Return
        ${EndSelect}
    ${LoopUntil} $IdsLeft == ""
    StrCpy $Code $0
FunctionEnd

Section "Driver"
    DeleteRegValue HKLM "${STATE_KEY}" "DriverInstalled"
    SetOutPath "$INSTDIR\Driver"
    StrCpy $Branch "x86"
    !ifndef QUORIN64_FORCE_X86
    ${If} ${RunningX64}
        StrCpy $Branch "x64"
    ${EndIf}
    !endif
    ${If} $Branch == "x64"
        ; x64: the INF is looked for in the current directory, which is the
        ; output folder for ExecWait.
        File "/oname=Quorin64.exe" "${QUORIN64_X64}"
        File /r "${QUORIN64_PACKAGE}\*.*"
        StrCpy $InfPath "$INSTDIR\Driver\${QUORIN64_INF_NAME}"
        StrCpy $InfArgument "${QUORIN64_INF_NAME}"
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
        StrCpy $InfArgument "\${QUORIN64_INF_NAME}"
        SetOutPath "$INSTDIR\Driver"
    ${EndIf}
    Call RegisterUninstaller
    Call FindInStore
    StrCpy $StoreBefore $0
    Call RunForEachId
    ${If} $Code == -3
        Call StagePackage
        StrCpy $StageError $0
    ${EndIf}
    Call RecordOwnership

    ${Select} $Code
    ${Case} 0
        ${If} ${RebootFlag}
            DetailPrint "Driver installed; Windows asks for a restart."
        ${Else}
            DetailPrint "Driver installed."
        ${EndIf}
    ${Case} -3
        ${If} $StageError != 0
            SetErrorLevel 103
            MessageBox MB_OK|MB_ICONEXCLAMATION "No game controller was found (Quorin64 code -3), and the driver could not be staged (Windows error $StageError).$\r$\nConnect the controller and run setup again." /SD IDOK
            Abort "No game controller was found (code -3); staging failed (Windows error $StageError)."
        ${EndIf}
        DetailPrint "No game controller was found: the driver is staged; Windows installs it when the controller is connected."
        MessageBox MB_OK|MB_ICONINFORMATION "The driver is staged; Windows installs it when the controller is connected." /SD IDOK
    ${CaseElse}
        ${Select} $Code
        ${Case4} -1 -2 -4 -6
            IntOp $0 100 - $Code
            SetErrorLevel $0
        ${CaseElse}
            SetErrorLevel 100
        ${EndSelect}
        MessageBox MB_OK|MB_ICONSTOP "Driver installation failed (Quorin64 code $Code): $Meaning." /SD IDOK
        Abort "Driver installation failed (code $Code): $Meaning."
    ${EndSelect}
SectionEnd

; What the program's exit code in $Code means, in $Meaning (the project's
; list, docs/exit-codes.tsv), for the program $Branch ran.
Function CodeMeaning
    ${Select} $Code
    ${Case} 1
        StrCpy $Meaning "installed; Windows asks for a restart"
    ${Case} 0
        StrCpy $Meaning "installed; no restart needed"
    ${Case} -1
        StrCpy $Meaning "any other failure (a bad or over-long argument, an unreadable current directory, no usable newdev.dll, or a relaunch that could not be started)"
    ${Case} -2
        StrCpy $Meaning "the INF file was not found at the INF path"
    ${Case} -3
        StrCpy $Meaning "no present device has that hardware ID"
    ${Case} -4
        StrCpy $Meaning "Windows refused the install flags"
    ${Case} -6
        ${If} $Branch == "x86"
            StrCpy $Meaning "Windows refused a 32-bit driver install twice (64-bit Windows)"
        ${Else}
            StrCpy $Meaning "Windows refused to install from the x64 program and its relaunched copy (an x64 program emulated on ARM64 Windows)"
        ${EndIf}
    ${CaseElse}
        StrCpy $Meaning "the program could not be run or ended unexpectedly"
    ${EndSelect}
FunctionEnd

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

; Takes out of the driver store only the package the record names, while
; its name still holds the bytes recorded.
Function un.TakeOutOwnedPackage
    Call un.RecordedPackage
    ${If} $0 == ""
        DetailPrint "This setup put no driver package into the driver store: none taken out."
    ${ElseIf} $1 != "same"
        DetailPrint "Driver package $0 is no longer the one this setup put into the driver store: left there."
    ${Else}
        Call un.TakeOutPackage
    ${EndIf}
FunctionEnd

; Works on the fixed folders, never on the folder the uninstaller was
; started from or given with _?=, so that it cannot be pointed at another.
Section "Uninstall"
    Call un.TakeOutOwnedPackage
    ; The record, then the keys above it that are left empty.
    DeleteRegKey HKLM "${RECORD_KEY}"
    DeleteRegKey /ifnosubkeys /ifnovalues HKLM "${RECORD_ROOT}\${SETUP_ID}"
    DeleteRegKey /ifnosubkeys /ifnovalues HKLM "${RECORD_ROOT}"
    DeleteRegKey /ifnosubkeys /ifnovalues HKLM "SOFTWARE\Quorin64"
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

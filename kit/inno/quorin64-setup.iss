; A setup that installs a USB game controller's driver with Quorin64: a
; starting point for setup authors (Inno Setup 6). It bundles both programs
; and the whole driver package (the INF with its catalog and driver files),
; runs the program that fits the Windows it runs on once the files are in
; place, and reacts to every exit code. Unattended installs (/VERYSILENT
; /SUPPRESSMSGBOXES /NORESTART) work; their outcome is the setup's exit
; code:
;
;   program  setup does                                          setup exits
;    1       installed; asks for a restart at the end             3010
;            (/NORESTART: no restart, the code says it is due)
;    0       installed                                            0
;   -3       no controller: stages the driver package, so that    0
;            Windows installs it when the controller is
;            connected, and says so
;   -3       ... and staging failed: fails, asking to connect     103
;            the controller and run setup again
;   -1 -2    fails with a message naming the code and its         101 102
;   -4 -6    meaning                                              104 106
;   other    (not started, or an undocumented code) fails         100
;   -        not an administrator, or ARM64 Windows: refuses      1
;            to start
;
; Inno Setup keeps exit codes 1 to 8 for itself, and a setup chooses its own
; code (GetCustomSetupExitCode) only when it runs to completion: so the
; program runs after the files are installed, a failure is reported and the
; setup still completes, with 100 + the code's absolute value (the files
; stay; the uninstaller removes them). A refusal before anything is
; installed ends with Inno's own 1. 3010 is Windows' "restart required"
; (ERROR_SUCCESS_REBOOT_REQUIRED). Inno's other codes (2 and 5 when the
; user cancels, 3 and 4 on fatal errors) keep their meanings.
;
; The folder is fixed: "Quorin64 example" under Program Files, because the
; program runs there with administrator rights; there is no folder page and
; /DIR= is ignored.
;
; Staging: on -3 the package is copied into Windows' driver store
; (SetupCopyOEMInfA) from the folder the setup put it in. On 0 and 1 the
; setup asks for the name of the copy Windows made while installing (the
; same call finds it). The name Windows gave the copy (oemNN.inf) is kept
; in HKLM\Software\Quorin64 example, value StagedInf.
;
; Uninstall: Inno's uninstaller (Add/Remove Programs; silently
; unins000.exe /VERYSILENT /SUPPRESSMSGBOXES /NORESTART) removes the files
; and folders the setup made and, first, takes the staged package out of
; the driver store (SetupUninstallOEMInfA, not forced: a package a device
; still uses stays, and the uninstall log says so). It works from a copy of
; itself in the temporary folder and returns once that copy is done; the
; copy then deletes unins000.exe and the folder.
;
; The x86 program, on 32-bit Windows, shows a "Debug" box ("UpdateDriver
; 32Bit") before it starts and waits until someone clicks OK. It skips the
; box where its window station is invisible (run as SYSTEM in session 0, as
; deployment tools do), so only interactive runs on 32-bit Windows show it.
; Inno Setup 6 setups need Windows 7 SP1 or later; for Windows XP use the
; NSIS example (kit/nsis).
;
; Build (paths are relative to this file):
;   ISCC.exe kit\inno\quorin64-setup.iss
; writes build\inno\quorin64-setup.exe. Every define below has a default; set
; yours with /D, for example
;   ISCC.exe /DQUORIN64_PACKAGE=C:\mydriver /DQUORIN64_INF_NAME=mydrv.inf
;            "/DHARDWARE_ID=USB\VID_1234&PID_5678" "/DPRODUCT_NAME=My driver"
;            "/DINSTALL_FOLDER=My driver" "/DAPP_ID={your own GUID}"
;            "/DSTATE_KEY=Software\My company\My driver" ...
; Build inputs: QUORIN64_X64, QUORIN64_X86 (the programs; default: the
; release archive's x64\ and x86\, else the repository's build),
; QUORIN64_PACKAGE (the driver package folder: every file in it is
; bundled; default: the project's made test package),
; QUORIN64_INF_NAME (the INF's name in that folder: the build stops if it
; is not there), QUORIN64_OUTDIR, QUORIN64_OUTFILE (without .exe),
; QUORIN64_FORCE_X86 (tests only: take the x86 branch on 64-bit Windows
; too, where the x86 program ends with -6).
; Your setup's identity: HARDWARE_ID (the controller's), PRODUCT_NAME,
; PUBLISHER, INSTALL_FOLDER (the folder's name under Program Files), APP_ID
; (Inno's AppId, written plainly: braces need no doubling; it names the
; uninstall key, <APP_ID>_is1), STATE_KEY (below HKLM: the staged package's
; name and the detection mark), SETUP_VERSION. Ship your own: two products
; with the same names share one uninstall entry, one folder and one
; detection mark.
;
; The build runs kit\check-package.py on the package (amd64 and x86, with
; HARDWARE_ID; QUORIN64_TRUST names your own test root's PEM) where Python
; is there, and stops when it refuses it; without Python it warns, and
; kit/check-package.py --arch amd64 --arch x86 <folder> is yours to run.
;
; The meanings of the program's exit codes are those of the project's list,
; docs/exit-codes.tsv.

#ifdef QUORIN64_INF
  #error QUORIN64_INF is gone: set QUORIN64_PACKAGE (the folder) and QUORIN64_INF_NAME
#endif
; A path as this file's folder sees it: relative paths are taken from
; here, as [Files] takes them.
#define FromHere(str Path) \
  (Copy(Path, 2, 1) == ":" || Copy(Path, 1, 1) == "\") ? Path : AddBackslash(SourcePath) + Path
; The programs: the release archive's (x64\, x86\ beside kit\), else the
; build's in the repository.
#ifndef QUORIN64_X64
  #if FileExists(FromHere("..\..\x64\Quorin64.exe"))
    #define QUORIN64_X64 "..\..\x64\Quorin64.exe"
  #else
    #define QUORIN64_X64 "..\..\build\windows-x64\Quorin64.exe"
  #endif
#endif
#ifndef QUORIN64_X86
  #if FileExists(FromHere("..\..\x86\Quorin64.exe"))
    #define QUORIN64_X86 "..\..\x86\Quorin64.exe"
  #else
    #define QUORIN64_X86 "..\..\build\windows-x86\Quorin64.exe"
  #endif
#endif
#ifndef QUORIN64_PACKAGE
  #define QUORIN64_PACKAGE "..\..\build\test-package\package"
#endif
#ifndef QUORIN64_INF_NAME
  #define QUORIN64_INF_NAME "talmerix.inf"
#endif
; By default under build\, beside the programs that scripts/build.sh
; writes, never in this folder.
#ifndef QUORIN64_OUTDIR
  #define QUORIN64_OUTDIR "..\..\build\inno"
#endif
#ifndef QUORIN64_OUTFILE
  #define QUORIN64_OUTFILE "quorin64-setup"
#endif
#if !FileExists(AddBackslash(FromHere(QUORIN64_PACKAGE)) + QUORIN64_INF_NAME)
  #expr Error(AddBackslash(QUORIN64_PACKAGE) + QUORIN64_INF_NAME + " not found: QUORIN64_INF_NAME must name the INF in QUORIN64_PACKAGE")
#endif

; Your setup's identity (see above).
#ifndef HARDWARE_ID
  #define HARDWARE_ID "USB\VID_1F3A&PID_0C21"
#endif
#ifndef PRODUCT_NAME
  #define PRODUCT_NAME "Quorin64 example driver"
#endif
#ifndef PUBLISHER
  #define PUBLISHER "Quorin64 example"
#endif
#ifndef INSTALL_FOLDER
  #define INSTALL_FOLDER "Quorin64 example"
#endif
#ifndef APP_ID
  #define APP_ID "Quorin64 example driver"
#endif
; Holds the staged package's name (StagedInf) until the uninstall, and the
; detection mark.
#ifndef STATE_KEY
  #define STATE_KEY "Software\Quorin64 example"
#endif
#ifndef SETUP_VERSION
  #define SETUP_VERSION "1.0.0"
#endif

; The package check, kit\check-package.py, for both Windows the setup
; installs on and the hardware ID it passes: the build stops when it
; refuses the package. It needs Python 3 (QUORIN64_PYTHON names another
; than "python"); without one the build goes on with a warning.
#ifndef QUORIN64_CHECK_PACKAGE
  #define QUORIN64_CHECK_PACKAGE "..\check-package.py"
#endif
#ifndef QUORIN64_PYTHON
  #define QUORIN64_PYTHON "python"
#endif
#define CheckTrust ""
#ifdef QUORIN64_TRUST
  #define CheckTrust '--trust "' + FromHere(QUORIN64_TRUST) + '" '
#endif
#if Exec(QUORIN64_PYTHON, "--version", SourcePath, 1, SW_HIDE) == 0
  #if Exec(QUORIN64_PYTHON, '"' + FromHere(QUORIN64_CHECK_PACKAGE) + '" --arch amd64 --arch x86 --inf "' + \
           QUORIN64_INF_NAME + '" --hardware-id "' + HARDWARE_ID + '" ' + CheckTrust + '"' + \
           RemoveBackslash(FromHere(QUORIN64_PACKAGE)) + '"', SourcePath, 1, SW_HIDE) != 0
    #error kit\check-package.py refused the driver package: run it yourself to see why
  #endif
#else
  #pragma warning "no " + QUORIN64_PYTHON + ": the driver package is not checked; run kit/check-package.py --arch amd64 --arch x86 on it first"
#endif
; The folder the x86 program takes its INF from, fixed in the program: the
; system drive's root followed by this (never translated) folder, with the
; INF name written straight after it.
#define X86InfFolder "Program Files\Common Files\VID_1F3A&PID_0C21\Salvenport\QarnoD217"

[Setup]
; "{" starts a constant in [Setup]: a GUID's braces are doubled here.
AppId={#StringChange(APP_ID, "{", "{{")}
AppName={#PRODUCT_NAME}
AppVersion={#SETUP_VERSION}
AppPublisher={#PUBLISHER}
; Under Program Files, where only administrators may write: the programs
; run with administrator rights and must not be replaceable by others.
; InitializeWizard sets it again, whatever /DIR= or an earlier install said.
DefaultDirName={autopf}\{#INSTALL_FOLDER}
DisableDirPage=yes
UsePreviousAppDir=no
DisableProgramGroupPage=yes
PrivilegesRequired=admin
; 32-bit Windows gets the x86 program, x64 Windows the x64 one; ARM64 is
; refused in InitializeSetup.
ArchitecturesAllowed=x86compatible x64compatible
ArchitecturesInstallIn64BitMode=x64compatible
OutputDir={#QUORIN64_OUTDIR}
OutputBaseFilename={#QUORIN64_OUTFILE}
WizardStyle=modern

[Files]
; x64: the INF is looked for in the current directory, which is the folder
; Exec is given below, beside the program.
Source: "{#QUORIN64_X64}"; DestDir: "{app}\Driver"; DestName: "Quorin64.exe"; Check: UseX64; Flags: ignoreversion
Source: "{#QUORIN64_PACKAGE}\*"; DestDir: "{app}\Driver"; Check: UseX64; Flags: ignoreversion recursesubdirs createallsubdirs
; x86: the package goes to the fixed folder on the system drive ({sd}),
; written out rather than {commoncf}, which is translated on some Windows
; editions.
Source: "{#QUORIN64_X86}"; DestDir: "{app}\Driver"; DestName: "Quorin64.exe"; Check: not UseX64; Flags: ignoreversion
Source: "{#QUORIN64_PACKAGE}\*"; DestDir: "{sd}\{#X86InfFolder}"; Check: not UseX64; Flags: ignoreversion recursesubdirs createallsubdirs

[Registry]
; Holds the staged package's name (StagedInf) until the uninstall.
Root: HKLM; Subkey: "{#STATE_KEY}"; Flags: uninsdeletekey

[Code]
const
  SPOST_PATH = 1;  { the package's files are beside the INF }
  NAME_SIZE = 1024;

var
  SetupCode: Integer;   { the setup's exit code, from the program's }
  Restart: Boolean;
  Staged: Boolean;      { -3, and the package is in the driver store }

{ AnsiString: the ...A functions take ANSI text. }
function SetupCopyOEMInfA(SourceInfFileName, OEMSourceMediaLocation: AnsiString;
  OEMSourceMediaType, CopyStyle: Cardinal; DestinationInfFileName: AnsiString;
  DestinationInfFileNameSize, RequiredSize, DestinationInfFileNameComponent: Cardinal): Integer;
  external 'SetupCopyOEMInfA@setupapi.dll stdcall delayload';
function SetupUninstallOEMInfA(InfFileName: AnsiString; Flags, Reserved: Cardinal): Integer;
  external 'SetupUninstallOEMInfA@setupapi.dll stdcall delayload';

function UseX64: Boolean;
begin
#ifdef QUORIN64_FORCE_X86
  Result := False;
#else
  Result := Is64BitInstallMode;
#endif
end;

function InitializeSetup: Boolean;
begin
  Result := False;
  if not IsAdmin then
    SuppressibleMsgBox('Installing the driver needs administrator rights. Run setup as an administrator.',
      mbCriticalError, MB_OK, IDOK)
  else if IsArm64 then
    { The x64 program cannot install a driver on ARM64 Windows. }
    SuppressibleMsgBox('This driver cannot be installed on Windows for ARM processors.',
      mbCriticalError, MB_OK, IDOK)
  else
    Result := True;
end;

procedure InitializeWizard;
var
  Folder: String;
begin
  { The fixed folder, whatever /DIR= said. }
  Folder := ExpandConstant('{autopf}\{#INSTALL_FOLDER}');
  if CompareText(WizardForm.DirEdit.Text, Folder) <> 0 then
    Log('Ignoring the folder ' + WizardForm.DirEdit.Text + ': the folder is ' + Folder + '.');
  WizardForm.DirEdit.Text := Folder;
end;

{ What the program's exit code means (the project's list,
  docs/exit-codes.tsv), for the program UseX64 chose. }
function Meaning(Code: Integer): String;
begin
  case Code of
    1: Result := 'installed; Windows asks for a restart';
    0: Result := 'installed; no restart needed';
    -1: Result := 'any other failure (a bad or over-long argument, an unreadable current directory, no usable newdev.dll, or a relaunch that could not be started)';
    -2: Result := 'the INF file was not found at the INF path';
    -3: Result := 'no present device has that hardware ID';
    -4: Result := 'Windows refused the install flags';
    -6: if UseX64 then
          Result := 'Windows refused to install from the x64 program and its relaunched copy (an x64 program emulated on ARM64 Windows)'
        else
          Result := 'Windows refused a 32-bit driver install twice (64-bit Windows)';
  else
    Result := 'the program ended unexpectedly';
  end;
end;

procedure Fail(Text: String);
begin
  Log(Text);
  SuppressibleMsgBox(Text, mbCriticalError, MB_OK, IDOK);
end;

{ Copies the package of the INF at InfPath into the driver store, or finds
  the copy Windows already has, and keeps the copy's name for the
  uninstaller. Returns 0, or Windows' error code. }
function StagePackage(InfPath: String): Integer;
var
  Name: AnsiString;
begin
  Name := StringOfChar(#0, NAME_SIZE);
  if SetupCopyOEMInfA(InfPath, ExtractFileDir(InfPath), SPOST_PATH, 0, Name, NAME_SIZE,
                      0, 0) = 0 then begin
    Result := DLLGetLastError;
    if Result = 0 then
      Result := -1;
    Exit;
  end;
  Name := ExtractFileName(Copy(Name, 1, Pos(#0, Name) - 1));
  RegWriteStringValue(HKLM, '{#STATE_KEY}', 'StagedInf', Name);
  Log('Driver package staged as ' + Name + '.');
  Result := 0;
end;

procedure InstallDriver;
var
  Folder, Argument, InfPath: String;
  Code, Error: Integer;
begin
  Folder := ExpandConstant('{app}\Driver');
  { x86: the argument starts with a backslash because the INF name follows
    the fixed folder directly. }
  if UseX64 then begin
    Argument := '{#QUORIN64_INF_NAME}+{#HARDWARE_ID}';
    InfPath := Folder + '\{#QUORIN64_INF_NAME}';
  end else begin
    Argument := '\{#QUORIN64_INF_NAME}+{#HARDWARE_ID}';
    InfPath := ExpandConstant('{sd}\{#X86InfFolder}\{#QUORIN64_INF_NAME}');
  end;
  WizardForm.StatusLabel.Caption := 'Installing the driver ...';
  { SW_SHOWNORMAL: the x86 program's "Debug" box must be seen to be clicked. }
  if not Exec(Folder + '\Quorin64.exe', Argument, Folder, SW_SHOWNORMAL,
              ewWaitUntilTerminated, Code) then begin
    SetupCode := 100;
    Fail(Format('The driver installer could not be started (Windows error %d).', [Code]));
    Exit;
  end;
  Log(Format('Quorin64 ended with %d: %s.', [Code, Meaning(Code)]));
  case Code of
    0, 1: begin
         SetupCode := 0;
         if Code = 1 then begin
           SetupCode := 3010;
           Restart := True;
         end;
         { Windows put the package into its store while installing: learn
           the name for the uninstaller. The driver is in place either way. }
         Error := StagePackage(InfPath);
         if Error <> 0 then
           Log(Format('The installed driver package was not found in the driver store ' +
                      '(Windows error %d); uninstalling leaves it there.', [Error]));
       end;
    -3: begin
          Error := StagePackage(InfPath);
          if Error = 0 then begin
            SetupCode := 0;
            Staged := True;
            Log('No game controller was found: the driver is staged.');
            SuppressibleMsgBox('The driver is staged; Windows installs it when the controller is connected.',
              mbInformation, MB_OK, IDOK);
          end else begin
            SetupCode := 103;
            Fail(Format('No game controller was found (Quorin64 code -3), and the driver could ' +
                        'not be staged (Windows error %d).', [Error]) + #13#10 +
                 'Connect the controller and run setup again.');
          end;
        end;
    -1, -2, -4, -6: begin
          SetupCode := 100 - Code;
          Fail(Format('Driver installation failed (Quorin64 code %d): %s.', [Code, Meaning(Code)]));
        end;
  else begin
    SetupCode := 100;
    Fail(Format('Driver installation failed (Quorin64 code %d): %s.', [Code, Meaning(Code)]));
  end;
  end;
end;

{ What a deployment tool's detection rule looks for: there only after an
  install that succeeded, so that a failed one is retried. }
procedure MarkOutcome;
begin
  if (SetupCode = 0) or (SetupCode = 3010) then
    RegWriteStringValue(HKLM, '{#STATE_KEY}', 'DriverInstalled', '{#SETUP_VERSION}')
  else
    RegDeleteValue(HKLM, '{#STATE_KEY}', 'DriverInstalled');
end;

procedure CurStepChanged(CurStep: TSetupStep);
begin
  { Once the programs and the package are in place. }
  if CurStep = ssPostInstall then begin
    InstallDriver;
    MarkOutcome;
  end;
end;

procedure CurPageChanged(CurPageID: Integer);
begin
  if CurPageID <> wpFinished then
    Exit;
  if Staged then
    WizardForm.FinishedLabel.Caption :=
      'The driver is staged; Windows installs it when the controller is connected.'
  else if (SetupCode <> 0) and (SetupCode <> 3010) then
    WizardForm.FinishedLabel.Caption :=
      'The driver was not installed. Run setup again once the problem is solved.';
end;

function NeedRestart: Boolean;
begin
  Result := Restart;
end;

function GetCustomSetupExitCode: Integer;
begin
  Result := SetupCode;
end;

procedure CurUninstallStepChanged(CurUninstallStep: TUninstallStep);
var
  Name: String;
begin
  { Before the files go; never SUOI_FORCEDELETE: Windows keeps a package a
    device uses. }
  if (CurUninstallStep <> usUninstall) or
     not RegQueryStringValue(HKLM, '{#STATE_KEY}', 'StagedInf', Name) or (Name = '') then
    Exit;
  if SetupUninstallOEMInfA(Name, 0, 0) <> 0 then
    Log('Driver package ' + Name + ' removed from the driver store.')
  else
    Log(Format('The driver package %s stays in the driver store (Windows error %d): ' +
               'a device may still use it.', [Name, DLLGetLastError]));
end;

; A setup that installs a USB game controller's driver with Quorin64: a
; starting point for setup authors (Inno Setup 6). It bundles both programs
; and the whole driver package (the INF with its catalog and driver files),
; runs the program that fits the Windows it runs on once the files are in
; place, once for each hardware ID, and reacts to every exit code. Unattended installs (/VERYSILENT
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
; Several hardware IDs (HARDWARE_IDS, "|" between them): the program runs
; once for each, in order, as <INF name>+<ID>, and each run's code goes
; into the log. The first run that ends with a failure other than -3 is
; the last, and its code is the setup's answer, as in the table. Else a
; restart is asked for when any run asked for one, and the package is
; staged (SetupCopyOEMInfA, from the folder the setup put it in) only when
; every run gave -3: a device found for one ID is an install.
;
; The folder is fixed: "Quorin64 example" under Program Files, because the
; program runs there with administrator rights; there is no folder page and
; /DIR= is ignored.
;
; What the setup owns: the driver package is this setup's only when this
; install put it into Windows' driver store (staged on -3, or added by the
; driver install on a present device). Before running the program, and
; again after the runs (and the staging), the setup looks in
; <Windows>\inf for a copy of its INF (Windows copies an INF into the
; store unchanged: the same bytes; asking setupapi instead would stage
; it). Not there before and there now: it records the copy's name and an
; FNV-1a fingerprint of its bytes in the record the MSI's custom action
; keeps too, HKLM\SOFTWARE\Quorin64\Driver packages\<APP_ID>\<APP_ID>
; (values InfName and InfFingerprint; 64-bit view on 64-bit Windows). A
; package that was there before the setup came is not recorded and stays.
; When the record names another package whose copy still has its recorded
; fingerprint (an earlier version's, of another INF), the setup first takes
; that one out as the uninstaller does, else it would stay for good.
;
; Uninstall: Inno's uninstaller (Add/Remove Programs; silently
; unins000.exe /VERYSILENT /SUPPRESSMSGBOXES /NORESTART) removes the files
; and folders the setup made and, first, takes out of the driver store
; (SetupUninstallOEMInfA, not forced: a package a device still uses stays)
; only the recorded name, and only while its copy still has the recorded
; fingerprint: Windows gives a freed oemNN.inf name to the next package
; staged. It deletes the record; its log says why a package stays. It
; works from a copy of itself in the temporary folder and returns once
; that copy is done; the copy then deletes unins000.exe and the folder.
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
;            "/DHARDWARE_IDS=USB\VID_1234&PID_5678|USB\VID_1234&PID_5679"
;            "/DPRODUCT_NAME=My driver" "/DINSTALL_FOLDER=My driver"
;            "/DAPP_ID={your own GUID}"
;            "/DSTATE_KEY=Software\My company\My driver" ...
; Build inputs: QUORIN64_X64, QUORIN64_X86 (the programs; default: the
; release archive's x64\ and x86\, else the repository's build),
; QUORIN64_PACKAGE (the driver package folder: every file in it is
; bundled; default: the project's made test package),
; QUORIN64_INF_NAME (the INF's name in that folder: the build stops if it
; is not there), QUORIN64_OUTDIR, QUORIN64_OUTFILE (without .exe),
; QUORIN64_FORCE_X86 (tests only: take the x86 branch on 64-bit Windows
; too, where the x86 program ends with -6).
; Your setup's identity: HARDWARE_IDS (the controller's IDs, "|" between
; them; HARDWARE_ID for one ID does as well, not both; an empty ID stops
; the build), PRODUCT_NAME, PUBLISHER, INSTALL_FOLDER (the folder's name
; under Program Files), APP_ID (Inno's AppId: a GUID of your own with its
; braces, written plainly, no doubling, the same for every version of your
; setup; it names the uninstall key, <APP_ID>_is1, and the record of what
; the setup owns), STATE_KEY (below HKLM: the detection mark),
; SETUP_VERSION. Ship your own: two products with the same names share one
; uninstall entry, one folder and one detection mark, and with the same
; APP_ID one record, so that either's uninstall would take out the other's
; package.
;
; The build runs kit\check-package.py on the package (amd64 and x86, with
; every hardware ID as its own --hardware-id; QUORIN64_TRUST names your own
; test root's PEM) where Python is there, and stops when it refuses it;
; without Python it warns, and kit/check-package.py --arch amd64 --arch x86
; <folder> is yours to run.
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
#ifdef HARDWARE_ID
  #ifdef HARDWARE_IDS
    #error HARDWARE_ID and HARDWARE_IDS are both given: give one ID as HARDWARE_ID or all as HARDWARE_IDS
  #endif
  #define HARDWARE_IDS HARDWARE_ID
#endif
#ifndef HARDWARE_IDS
  #define HARDWARE_IDS "USB\VID_1F3A&PID_0C21"
#endif
; "||" between the list's delimiters is an empty ID (or an empty list).
#if Pos("||", "|" + HARDWARE_IDS + "|") > 0
  #error HARDWARE_IDS has an empty ID: IDs with one | between them, as in ID1|ID2
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
; The example's own: yours is a GUID of your own (see above).
#ifndef APP_ID
  #define APP_ID "{F06CB5F3-C817-4898-BAB2-64C9743BF047}"
  ; Another product built with it would share this one's uninstall key and
  ; record: the one uninstalled first would take out the other's package.
  #pragma warning "APP_ID not given: the example's own GUID; give your setup one of its own"
#endif
; What the setup owns in the driver store (see above): the MSI's custom
; action keeps its record below the same key, one for each setup.
#define RecordRoot "SOFTWARE\Quorin64\Driver packages"
#define RecordKey RecordRoot + "\" + APP_ID + "\" + APP_ID
; Holds the detection mark.
#ifndef STATE_KEY
  #define STATE_KEY "Software\Quorin64 example"
#endif
#ifndef SETUP_VERSION
  #define SETUP_VERSION "1.0.0"
#endif

; The package check, kit\check-package.py, for both Windows the setup
; installs on and every hardware ID it passes: the build stops when it
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
           QUORIN64_INF_NAME + '" --hardware-id "' + StringChange(HARDWARE_IDS, "|", '" --hardware-id "') + '" ' + CheckTrust + '"' + \
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
; Holds the detection mark until the uninstall.
Root: HKLM; Subkey: "{#STATE_KEY}"; Flags: uninsdeletekey

[Code]
const
  SPOST_PATH = 1;  { the package's files are beside the INF }
  NAME_SIZE = 1024;
  ERROR_INF_IN_USE_BY_DEVICES = -536870339;  { 0xE000023D: a device uses the package }

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

{ FNV-1a (32 bits) of the bytes of the file at Path, in Hash: the MSI's
  custom action's fingerprint. False when the file cannot be read. }
function Fingerprint(Path: String; var Hash: Cardinal): Boolean;
var
  Bytes: AnsiString;
  Value: Int64;
  At: Integer;
begin
  Result := LoadStringFromFile(Path, Bytes);
  if not Result then
    Exit;
  Value := 2166136261;
  for At := 1 to Length(Bytes) do
    Value := ((Value xor Ord(Bytes[At])) * 16777619) mod 4294967296;
  Hash := Value;
end;

{ The name in Windows' INF folder of a file that holds the bytes of the INF
  at InfPath, '' when there is none. Windows copies an INF into the store
  unchanged; asking SetupCopyOEMInfA would put it there. }
function FindInStore(InfPath: String): String;
var
  Inf, Candidate: AnsiString;
  Entry: TFindRec;
begin
  Result := '';
  if not LoadStringFromFile(InfPath, Inf) or
     not FindFirst(ExpandConstant('{win}\inf\*.inf'), Entry) then
    Exit;
  try
    repeat
      { Only a file of the INF's size is read. }
      if (Entry.SizeHigh = 0) and (Entry.SizeLow = Length(Inf)) and
         LoadStringFromFile(ExpandConstant('{win}\inf\') + Entry.Name, Candidate) and
         (Candidate = Inf) then
        Result := Entry.Name;
    until (Result <> '') or not FindNext(Entry);
  finally
    FindClose(Entry);
  end;
end;

{ The package the record names, in Name ('' when none); True while
  <Windows>\inf\<Name> still holds the bytes recorded: Windows gives a
  freed oemNN.inf name to the next package staged. }
function RecordedPackage(var Name: String): Boolean;
var
  Recorded, Now: Cardinal;
begin
  Result := False;
  if not RegQueryStringValue(HKLM, '{#RecordKey}', 'InfName', Name) then begin
    Name := '';
    Exit;
  end;
  Result := RegQueryDWordValue(HKLM, '{#RecordKey}', 'InfFingerprint', Recorded) and
            Fingerprint(ExpandConstant('{win}\inf\') + Name, Now) and (Now = Recorded);
end;

{ Takes the package Name out of the driver store. Never SUOI_FORCEDELETE:
  Windows keeps a package a device uses. }
procedure TakeOutPackage(Name: String);
var
  Error: Integer;
begin
  if SetupUninstallOEMInfA(Name, 0, 0) <> 0 then
    Log('Driver package ' + Name + ' taken out of the driver store.')
  else begin
    Error := DLLGetLastError;
    if Error = ERROR_INF_IN_USE_BY_DEVICES then
      Log('Driver package ' + Name + ' stays in the driver store: a device still uses it.')
    else
      Log(Format('Driver package %s could not be taken out of the driver store ' +
                 '(Windows error %d).', [Name, Error]));
  end;
end;

{ After the runs (and the staging): the package is this setup's only when
  it was not in the store before the program ran (Before) and is there
  now. Only then does the record change, so a run over an earlier install
  keeps the earlier install's record, which names the package it finds
  there before. }
procedure RecordOwnership(InfPath, Before: String);
var
  After, Recorded: String;
  Hash: Cardinal;
begin
  After := FindInStore(InfPath);
  if Before <> '' then begin
    if RecordedPackage(Recorded) and (CompareText(Recorded, Before) = 0) then
      Log('Driver package ' + Before + ' stays this setup''s: an earlier install put it ' +
          'into the driver store.')
    else
      Log('Driver package ' + Before + ' was in the driver store before this setup: ' +
          'uninstalling leaves it there.');
  end else if (After <> '') and Fingerprint(ExpandConstant('{win}\inf\') + After, Hash) then begin
    { An earlier version's own package (another INF): once the record
      names this one, no uninstall would take it out. }
    if RecordedPackage(Recorded) and (CompareText(Recorded, After) <> 0) then begin
      Log('Driver package ' + Recorded + ' was put into the driver store by an earlier ' +
          'version of this setup: taking it out.');
      TakeOutPackage(Recorded);
    end;
    RegWriteStringValue(HKLM, '{#RecordKey}', 'InfName', After);
    RegWriteDWordValue(HKLM, '{#RecordKey}', 'InfFingerprint', Hash);
    Log('Driver package ' + After + ' is in the driver store, put there by this setup: ' +
        'uninstalling takes it out.');
  end else
    Log('No copy of the driver package is in the driver store.');
end;

{ Copies the package of the INF at InfPath into the driver store. Returns
  0, or Windows' error code. }
function StagePackage(InfPath: String): Integer;
var
  Name: AnsiString;
begin
  Name := StringOfChar(#0, NAME_SIZE);
  Result := 0;
  if SetupCopyOEMInfA(InfPath, ExtractFileDir(InfPath), SPOST_PATH, 0, Name, NAME_SIZE,
                      0, 0) = 0 then begin
    Result := DLLGetLastError;
    if Result = 0 then
      Result := -1;
  end;
end;

{ Runs the program once for each hardware ID, in order, and logs each
  run's code, up to the first run after which the install cannot go on:
  then Failure says why, and SetupCode is set. Returns -3 when every run
  found no device, else 0; a run that asks for a restart sets Restart. }
function RunForEachId(Folder, Argument: String; var Failure: String): Integer;
var
  Ids, Id: String;
  Bar, Code: Integer;
begin
  Result := -3;
  Ids := '{#StringChange(HARDWARE_IDS, "'", "''")}';
  repeat
    Bar := Pos('|', Ids);
    if Bar = 0 then
      Bar := Length(Ids) + 1;
    Id := Copy(Ids, 1, Bar - 1);
    Delete(Ids, 1, Bar);
    WizardForm.StatusLabel.Caption := 'Installing the driver for ' + Id + ' ...';
    { SW_SHOWNORMAL: the x86 program's "Debug" box must be seen to be clicked. }
    if not Exec(Folder + '\Quorin64.exe', Argument + Id, Folder, SW_SHOWNORMAL,
                ewWaitUntilTerminated, Code) then begin
      SetupCode := 100;
      Failure := Format('The driver installer could not be started (Windows error %d).', [Code]);
      Exit;
    end;
    Log(Format('Quorin64 ended with %d for %s: %s.', [Code, Id, Meaning(Code)]));
    case Code of
      1: begin
           Restart := True;
           Result := 0;
         end;
      0: Result := 0;
      -3: ;
    else begin
      if (Code = -1) or (Code = -2) or (Code = -4) or (Code = -6) then
        SetupCode := 100 - Code
      else
        SetupCode := 100;
      Failure := Format('Driver installation failed (Quorin64 code %d): %s.', [Code, Meaning(Code)]);
      Exit;
    end;
    end;
  until Ids = '';
end;

procedure InstallDriver;
var
  Folder, Argument, InfPath, Before, Failure: String;
  Outcome, Error: Integer;
begin
  Folder := ExpandConstant('{app}\Driver');
  { x86: the argument starts with a backslash because the INF name follows
    the fixed folder directly. }
  if UseX64 then begin
    Argument := '{#QUORIN64_INF_NAME}+';
    InfPath := Folder + '\{#QUORIN64_INF_NAME}';
  end else begin
    Argument := '\{#QUORIN64_INF_NAME}+';
    InfPath := ExpandConstant('{sd}\{#X86InfFolder}\{#QUORIN64_INF_NAME}');
  end;
  Before := FindInStore(InfPath);
  Failure := '';
  Outcome := RunForEachId(Folder, Argument, Failure);
  if (Failure = '') and (Outcome = -3) then begin
    Error := StagePackage(InfPath);
    if Error <> 0 then begin
      SetupCode := 103;
      Failure := Format('No game controller was found (Quorin64 code -3), and the driver could ' +
                        'not be staged (Windows error %d).', [Error]) + #13#10 +
                 'Connect the controller and run setup again.';
    end;
  end;
  RecordOwnership(InfPath, Before);
  if Failure <> '' then
    Fail(Failure)
  else if Outcome = -3 then begin
    SetupCode := 0;
    Staged := True;
    Log('No game controller was found: the driver is staged.');
    SuppressibleMsgBox('The driver is staged; Windows installs it when the controller is connected.',
      mbInformation, MB_OK, IDOK);
  end else if Restart then
    SetupCode := 3010
  else
    SetupCode := 0;
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

{ Takes out of the driver store only the package the record names, while
  its name still holds the bytes recorded, then deletes the record and the
  keys above it left empty. }
procedure TakeOutOwnedPackage;
var
  Name: String;
begin
  if RecordedPackage(Name) then
    TakeOutPackage(Name)
  else if Name = '' then
    Log('This setup put no driver package into the driver store: none taken out.')
  else
    Log('Driver package ' + Name + ' is no longer the one this setup put into the driver ' +
        'store: left there.');
  RegDeleteKeyIncludingSubkeys(HKLM, '{#RecordKey}');
  RegDeleteKeyIfEmpty(HKLM, '{#RecordRoot}\{#APP_ID}');
  RegDeleteKeyIfEmpty(HKLM, '{#RecordRoot}');
  RegDeleteKeyIfEmpty(HKLM, 'SOFTWARE\Quorin64');
end;

procedure CurUninstallStepChanged(CurUninstallStep: TUninstallStep);
begin
  { Before the files go. }
  if CurUninstallStep = usUninstall then
    TakeOutOwnedPackage;
end;

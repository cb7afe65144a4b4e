; A setup that installs a USB game controller's driver with Quorin64: a
; starting point for setup authors (Inno Setup 6). It bundles both programs
; and the driver package, runs the program that fits the Windows it runs on
; once the files are in place, and reacts to every exit code. Unattended
; installs (/VERYSILENT /SUPPRESSMSGBOXES /NORESTART) work; their outcome is
; the setup's exit code:
;
;   program  setup does                                          setup exits
;    1       installed; asks for a restart at the end             3010
;            (/NORESTART: no restart, the code says it is due)
;    0       installed                                            0
;   -3       no controller: tells the user to connect it and      103
;            run setup again (Windows has not taken the driver
;            and will not find it when the controller is
;            plugged in later)
;   -1 -2    fails with a message naming the code and its         101 102
;   -4 -6    meaning                                              104 106
;   other    (not started, or an undocumented code) fails         100
;   -        not an administrator, or ARM64 Windows: refuses      1
;            to start
;
; Inno Setup keeps exit codes 1 to 8 for itself, and a setup chooses its own
; code (GetCustomSetupExitCode) only when it runs to completion: so the
; program runs after the files are installed, a failure is reported and the
; setup still completes, with 100 + the code's absolute value. A refusal
; before anything is installed ends with Inno's own 1. 3010 is Windows'
; "restart required" (ERROR_SUCCESS_REBOOT_REQUIRED). Inno's other codes
; (2 and 5 when the user cancels, 3 and 4 on fatal errors) keep their
; meanings.
;
; The x86 program, on 32-bit Windows, shows a "Debug" box ("UpdateDriver
; 32Bit") before it starts and waits until someone clicks OK, also in a very
; silent setup: an unattended install on 32-bit Windows needs someone at the
; screen. Inno Setup 6 setups need Windows 7 SP1 or later; for Windows XP
; use the NSIS example (examples/nsis).
;
; Build (paths are relative to this file):
;   ISCC.exe examples\inno\quorin64-setup.iss
; Defines (/D): QUORIN64_X64, QUORIN64_X86, QUORIN64_INF (the files bundled),
; QUORIN64_OUTDIR, QUORIN64_OUTFILE (without .exe), QUORIN64_FORCE_X86
; (tests only: take the x86 branch on 64-bit Windows too, where the x86
; program ends with -6).

#ifndef QUORIN64_X64
  #define QUORIN64_X64 "..\..\build\windows-x64\Quorin64.exe"
#endif
#ifndef QUORIN64_X86
  #define QUORIN64_X86 "..\..\build\windows-x86\Quorin64.exe"
#endif
#ifndef QUORIN64_INF
  #define QUORIN64_INF "..\..\tests\wine\driver-package\talmerix.inf"
#endif
#ifndef QUORIN64_OUTDIR
  #define QUORIN64_OUTDIR "."
#endif
#ifndef QUORIN64_OUTFILE
  #define QUORIN64_OUTFILE "quorin64-setup"
#endif

; The controller's hardware ID, and the folder the x86 program takes its INF
; from: the system drive's root followed by this fixed (never translated)
; folder, with the INF name written straight after it.
#define HardwareId "USB\VID_1F3A&PID_0C21"
#define X86InfFolder "Program Files\Common Files\VID_1F3A&PID_0C21\Salvenport\QarnoD217"

[Setup]
AppName=Quorin64 example driver
AppVersion=1.0.0
; Under Program Files, where only administrators may write: the programs
; run with administrator rights and must not be replaceable by others.
DefaultDirName={autopf}\Quorin64 example
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
Source: "{#QUORIN64_INF}"; DestDir: "{app}\Driver"; DestName: "driver.inf"; Check: UseX64; Flags: ignoreversion
; x86: the INF goes to the fixed folder on the system drive ({sd}), written
; out rather than {commoncf}, which is translated on some Windows editions.
; The INF's own files (.sys, .cat) go beside it.
Source: "{#QUORIN64_X86}"; DestDir: "{app}\Driver"; DestName: "Quorin64.exe"; Check: not UseX64; Flags: ignoreversion
Source: "{#QUORIN64_INF}"; DestDir: "{sd}\{#X86InfFolder}"; DestName: "driver.inf"; Check: not UseX64; Flags: ignoreversion

[Code]
var
  SetupCode: Integer;   { the setup's exit code, from the program's }
  Restart: Boolean;

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

function Meaning(Code: Integer): String;
begin
  case Code of
    -1: Result := 'the driver could not be installed';
    -2: Result := 'the driver package (INF file) was not found';
    -4: Result := 'Windows refused the install flags';
    -6: Result := 'a 32-bit process may not install drivers on 64-bit Windows';
  else
    Result := 'the installer ended unexpectedly';
  end;
end;

procedure Fail(Text: String);
begin
  Log(Text);
  SuppressibleMsgBox(Text, mbCriticalError, MB_OK, IDOK);
end;

procedure InstallDriver;
var
  Folder, Argument: String;
  Code: Integer;
begin
  Folder := ExpandConstant('{app}\Driver');
  { x86: the argument starts with a backslash because the INF name follows
    the fixed folder directly. }
  if UseX64 then
    Argument := 'driver.inf+{#HardwareId}'
  else
    Argument := '\driver.inf+{#HardwareId}';
  WizardForm.StatusLabel.Caption := 'Installing the driver ...';
  { SW_SHOWNORMAL: the x86 program's "Debug" box must be seen to be clicked. }
  if not Exec(Folder + '\Quorin64.exe', Argument, Folder, SW_SHOWNORMAL,
              ewWaitUntilTerminated, Code) then begin
    SetupCode := 100;
    Fail(Format('The driver installer could not be started (Windows error %d).', [Code]));
    Exit;
  end;
  Log(Format('Quorin64 exit code: %d', [Code]));
  case Code of
    0: SetupCode := 0;
    1: begin
         SetupCode := 3010;
         Restart := True;
       end;
    -3: begin
          SetupCode := 103;
          Fail('No game controller was found (Quorin64 code -3).' + #13#10 +
               'Connect the controller and run setup again.');
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

procedure CurStepChanged(CurStep: TSetupStep);
begin
  { Once the programs and the INF are in place. }
  if CurStep = ssPostInstall then
    InstallDriver;
end;

procedure CurPageChanged(CurPageID: Integer);
begin
  if (CurPageID = wpFinished) and (SetupCode <> 0) and (SetupCode <> 3010) then
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

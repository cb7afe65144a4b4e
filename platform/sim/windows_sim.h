// The Windows operations the program uses, declared for the simulated
// Windows layer under the same names, types and constants as <windows.h>.
// Only what the program needs is here; sim_machine.h controls the simulation.
#ifndef QUORIN_WINDOWS_SIM_H
#define QUORIN_WINDOWS_SIM_H

#include <stddef.h>
#include <stdint.h>

#define WINAPI
#define CALLBACK

typedef uint32_t DWORD;
typedef int32_t LONG;
typedef int BOOL;
typedef unsigned int UINT;
typedef unsigned char BYTE;
typedef uint16_t WORD;
typedef char CHAR;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef void* HANDLE;
typedef void* LPVOID;
typedef DWORD* LPDWORD;
typedef BOOL* PBOOL;
typedef BYTE* LPBYTE;
typedef uintptr_t ULONG_PTR;
typedef intptr_t INT_PTR;
typedef size_t SIZE_T;
typedef DWORD SECURITY_INFORMATION;
typedef void* PSECURITY_DESCRIPTOR;
typedef WORD SECURITY_DESCRIPTOR_CONTROL;
typedef void* PSID;

struct HKEY__ { int unused; };
typedef HKEY__* HKEY;
typedef HKEY* PHKEY;
struct HINSTANCE__ { int unused; };
typedef HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;
struct HWND__ { int unused; };
typedef HWND__* HWND;
struct HWINSTA__ { int unused; };
typedef HWINSTA__* HWINSTA;
typedef INT_PTR (WINAPI* FARPROC)();

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};
typedef FILETIME* PFILETIME;

struct SECURITY_DESCRIPTOR {
    BYTE Revision;
    BYTE Sbz1;
    WORD Control;
    void* Owner;
    void* Group;
    void* Sacl;
    void* Dacl;
};

struct ACL {
    BYTE AclRevision;
    BYTE Sbz1;
    WORD AclSize;
    WORD AceCount;
    WORD Sbz2;
};
typedef ACL* PACL;

struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
};
typedef SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

struct STARTUPINFOA {
    DWORD cb;
    LPSTR lpReserved;
    LPSTR lpDesktop;
    LPSTR lpTitle;
    DWORD dwX;
    DWORD dwY;
    DWORD dwXSize;
    DWORD dwYSize;
    DWORD dwXCountChars;
    DWORD dwYCountChars;
    DWORD dwFillAttribute;
    DWORD dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    LPBYTE lpReserved2;
    HANDLE hStdInput;
    HANDLE hStdOutput;
    HANDLE hStdError;
};
typedef STARTUPINFOA* LPSTARTUPINFOA;

struct PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
};
typedef PROCESS_INFORMATION* LPPROCESS_INFORMATION;

struct USEROBJECTFLAGS {
    BOOL fInherit;
    BOOL fReserved;
    DWORD dwFlags;
};

#define LOWORD(value) ((WORD)((ULONG_PTR)(value)&0xFFFF))
#define LOBYTE(value) ((BYTE)((ULONG_PTR)(value)&0xFF))
#define TRUE 1
#define FALSE 0

#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)0x80000002u)

#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_BAD_EXE_FORMAT 193L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_BAD_PATHNAME 161L
#define ERROR_MORE_DATA 234L
#define ERROR_ENVVAR_NOT_FOUND 203L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_INVALID_FLAGS 1004L
#define ERROR_KEY_DELETED 1018L
#define ERROR_INVALID_SECURITY_DESCR 1338L
#define ERROR_ALLOTTED_SPACE_EXCEEDED 1344L
#define ERROR_INVALID_WINDOW_HANDLE 1400L
#define ERROR_NO_SUCH_DEVINST 0xE000020BUL
#define ERROR_IN_WOW64 0xE0000235UL

#define INSTALLFLAG_FORCE 0x00000001
#define INSTALLFLAG_READONLY 0x00000002
#define INSTALLFLAG_NONINTERACTIVE 0x00000004
#define MB_OK 0x00000000u
#define UOI_FLAGS 1
#define WSF_VISIBLE 0x0001u
#define IDOK 1
#define SW_SHOWDEFAULT 10
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_FAILED 0xFFFFFFFFu
#define STILL_ACTIVE 259u
#define HEAP_ZERO_MEMORY 0x00000008u
#define SECURITY_DESCRIPTOR_REVISION 1
#define OWNER_SECURITY_INFORMATION 0x00000001u
#define DACL_SECURITY_INFORMATION 0x00000004u
#define SE_DACL_PRESENT 0x0004u
#define SE_DACL_PROTECTED 0x1000u
#define SE_SELF_RELATIVE 0x8000u
#define DELETE 0x00010000u
#define READ_CONTROL 0x00020000u
#define WRITE_DAC 0x00040000u
#define WRITE_OWNER 0x00080000u
#define KEY_ALL_ACCESS 0x000F003Fu
#define ACL_REVISION 2
#define ACCESS_ALLOWED_ACE_TYPE 0
#define LOAD_WITH_ALTERED_SEARCH_PATH 0x00000008u
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800u
#define KEY_QUERY_VALUE 0x0001u
#define KEY_ENUMERATE_SUB_KEYS 0x0008u
#define REG_NONE 0u
#define REG_SZ 1u
#define REG_EXPAND_SZ 2u
#define REG_BINARY 3u
#define REG_DWORD 4u
#define REG_MULTI_SZ 7u

// kernel32
LPSTR WINAPI GetCommandLineA(void);
BOOL WINAPI IsDBCSLeadByte(BYTE testChar);
HMODULE WINAPI GetModuleHandleA(LPCSTR moduleName);
FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName);
HANDLE WINAPI GetCurrentProcess(void);
DWORD WINAPI GetCurrentProcessId(void);
BOOL WINAPI ProcessIdToSessionId(DWORD processId, DWORD* sessionId);
DWORD WINAPI GetVersion(void);
BOOL WINAPI IsWow64Process(HANDLE process, PBOOL wow64Process);
DWORD WINAPI GetCurrentDirectoryA(DWORD bufferLength, LPSTR buffer);
UINT WINAPI GetWindowsDirectoryA(LPSTR buffer, UINT size);
UINT WINAPI GetSystemDirectoryA(LPSTR buffer, UINT size);
HMODULE WINAPI LoadLibraryExA(LPCSTR fileName, HANDLE file, DWORD flags);
BOOL WINAPI FreeLibrary(HMODULE module);
DWORD WINAPI GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size);
BOOL WINAPI SetEnvironmentVariableA(LPCSTR name, LPCSTR value);
DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD errorCode);
BOOL WINAPI CreateProcessA(LPCSTR applicationName, LPSTR commandLine,
                           LPSECURITY_ATTRIBUTES processAttributes,
                           LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles,
                           DWORD creationFlags, LPVOID environment, LPCSTR currentDirectory,
                           LPSTARTUPINFOA startupInfo,
                           LPPROCESS_INFORMATION processInformation);
DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL WINAPI GetExitCodeProcess(HANDLE process, LPDWORD exitCode);
BOOL WINAPI CloseHandle(HANDLE object);
HANDLE WINAPI GetProcessHeap(void);
LPVOID WINAPI HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes);
BOOL WINAPI HeapFree(HANDLE heap, DWORD flags, LPVOID memory);

// user32
int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
HWINSTA WINAPI GetProcessWindowStation(void);
BOOL WINAPI GetUserObjectInformationA(HANDLE object, int index, LPVOID information,
                                      DWORD length, LPDWORD lengthNeeded);

// newdev is never imported: the program finds UpdateDriverForPlugAndPlayDevicesA
// with GetProcAddress in the newdev.dll it loads from the system directory.

// advapi32
LONG WINAPI RegOpenKeyA(HKEY key, LPCSTR subKey, PHKEY result);
LONG WINAPI RegQueryInfoKeyA(HKEY key, LPSTR className, LPDWORD classLength,
                             LPDWORD reserved, LPDWORD subKeys, LPDWORD maxSubKeyLength,
                             LPDWORD maxClassLength, LPDWORD values,
                             LPDWORD maxValueNameLength, LPDWORD maxValueLength,
                             LPDWORD securityDescriptorLength, PFILETIME lastWriteTime);
LONG WINAPI RegEnumKeyA(HKEY key, DWORD index, LPSTR name, DWORD nameLength);
LONG WINAPI RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type,
                             LPBYTE data, LPDWORD dataLength);
BOOL WINAPI InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision);
BOOL WINAPI SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL daclPresent,
                                      PACL dacl, BOOL daclDefaulted);
BOOL WINAPI SetSecurityDescriptorControl(PSECURITY_DESCRIPTOR descriptor,
                                         SECURITY_DESCRIPTOR_CONTROL bitsOfInterest,
                                         SECURITY_DESCRIPTOR_CONTROL bitsToSet);
BOOL WINAPI InitializeAcl(PACL acl, DWORD aclLength, DWORD aclRevision);
BOOL WINAPI AddAccessAllowedAce(PACL acl, DWORD aceRevision, DWORD accessMask, PSID sid);
LONG WINAPI RegSetKeySecurity(HKEY key, SECURITY_INFORMATION information,
                              PSECURITY_DESCRIPTOR descriptor);
LONG WINAPI RegGetKeySecurity(HKEY key, SECURITY_INFORMATION information,
                              PSECURITY_DESCRIPTOR descriptor, LPDWORD descriptorLength);
LONG WINAPI RegDeleteKeyA(HKEY key, LPCSTR subKey);
LONG WINAPI RegCloseKey(HKEY key);

// The program's own entry, called by the simulated process start.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previousInstance, LPSTR commandLine,
                   int showCommand);

#endif

// Declarations of the Windows API subset that the program uses, for hosts
// without Windows. The definitions in standin.cpp act on an in-memory machine
// (standin_machine.h) that tests and the simulator load.
#pragma once

#include <cstdint>

typedef uint32_t DWORD;
typedef int32_t LONG;
typedef int BOOL;
typedef unsigned char BYTE;
typedef uint16_t WORD;
typedef uintptr_t ULONG_PTR;
typedef intptr_t LONG_PTR;
typedef DWORD REGSAM;
typedef void* HANDLE;
typedef void* HWND;
typedef HANDLE HDEVINFO;
typedef struct HKEY__* HKEY;
typedef const char* PCSTR;
typedef char* LPSTR;
typedef wchar_t WCHAR;
typedef void* PSID;
typedef void* PACL;
typedef void* PSECURITY_DESCRIPTOR;
typedef void* HLOCAL;
typedef unsigned int UINT;
typedef int64_t LONGLONG;

struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};

struct SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
};
typedef SP_DEVINFO_DATA* PSP_DEVINFO_DATA;

struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    void* lpSecurityDescriptor;
    BOOL bInheritHandle;
};

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

struct BY_HANDLE_FILE_INFORMATION {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD dwVolumeSerialNumber;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD nNumberOfLinks;
    DWORD nFileIndexHigh;
    DWORD nFileIndexLow;
};

struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};

struct SID_AND_ATTRIBUTES {
    PSID Sid;
    DWORD Attributes;
};

struct TOKEN_USER {
    SID_AND_ATTRIBUTES User;
};

enum SE_OBJECT_TYPE { SE_UNKNOWN_OBJECT_TYPE, SE_FILE_OBJECT };
enum TOKEN_INFORMATION_CLASS { TokenUser = 1 };
enum WELL_KNOWN_SID_TYPE { WinBuiltinAdministratorsSid = 26, WinLocalSystemSid = 22 };

#define FALSE 0
#define TRUE 1
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)

#define DIGCF_PRESENT 0x00000002
#define DIGCF_ALLCLASSES 0x00000004

#define SPDRP_DEVICEDESC 0x00000000
#define SPDRP_HARDWAREID 0x00000001
#define SPDRP_DRIVER 0x00000009

#define DICS_FLAG_GLOBAL 0x00000001
#define DIREG_DRV 0x00000002
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_READ 0x00020019
#define KEY_ALL_ACCESS 0x000F003F

#define READ_CONTROL 0x00020000
#define FILE_APPEND_DATA 0x0004
#define FILE_READ_ATTRIBUTES 0x0080
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_ATTRIBUTE_REPARSE_POINT 0x00000400
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000
#define FILE_FLAG_OPEN_REPARSE_POINT 0x00200000
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)
#define MOVEFILE_REPLACE_EXISTING 0x00000001
#define OWNER_SECURITY_INFORMATION 0x00000001
#define SDDL_REVISION_1 1
#define TOKEN_QUERY 0x0008

#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000
#define CP_ACP 0
#define CP_UTF8 65001

#define REG_SZ 1
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7

#define ERROR_SUCCESS 0
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_PATH_NOT_FOUND 3
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_INVALID_DATA 13
#define ERROR_INVALID_PARAMETER 87
#define ERROR_INSUFFICIENT_BUFFER 122
#define ERROR_ALREADY_EXISTS 183
#define ERROR_MORE_DATA 234
#define ERROR_ENVVAR_NOT_FOUND 203
#define ERROR_MR_MID_NOT_FOUND 317
#define ERROR_INVALID_OWNER 1307
#define ERROR_NO_MORE_ITEMS 259
#define ERROR_INVALID_FLAGS 1004
#define ERROR_INVALID_USER_BUFFER 1784
#define ERROR_KEY_DOES_NOT_EXIST 0xE0000204

HDEVINFO SetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR Enumerator, HWND hwndParent, DWORD Flags);
BOOL SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex, PSP_DEVINFO_DATA DeviceInfoData);
BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                       DWORD* PropertyRegDataType, BYTE* PropertyBuffer, DWORD PropertyBufferSize,
                                       DWORD* RequiredSize);
HKEY SetupDiOpenDevRegKey(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Scope, DWORD HwProfile,
                          DWORD KeyType, REGSAM samDesired);
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet);
LONG RegSetValueExA(HKEY hKey, PCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData, DWORD cbData);
LONG RegCloseKey(HKEY hKey);
LONG RegQueryValueExA(HKEY hKey, PCSTR lpValueName, DWORD* lpReserved, DWORD* lpType, BYTE* lpData, DWORD* lpcbData);
BOOL SetupDiGetDeviceInstanceIdA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, LPSTR DeviceInstanceId,
                                 DWORD DeviceInstanceIdSize, DWORD* RequiredSize);
DWORD GetLastError(void);
void SetLastError(DWORD dwErrCode);

// Text, time and messages.
DWORD FormatMessageA(DWORD dwFlags, const void* lpSource, DWORD dwMessageId, DWORD dwLanguageId, LPSTR lpBuffer,
                     DWORD nSize, void* Arguments);
int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, PCSTR lpMultiByteStr, int cbMultiByte, WCHAR* lpWideCharStr,
                        int cchWideChar);
int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, const WCHAR* lpWideCharStr, int cchWideChar,
                        LPSTR lpMultiByteStr, int cbMultiByte, PCSTR lpDefaultChar, BOOL* lpUsedDefaultChar);
void GetSystemTime(SYSTEMTIME* lpSystemTime);
DWORD GetEnvironmentVariableA(PCSTR lpName, LPSTR lpBuffer, DWORD nSize);

// The console. Standard output is one when the machine says so; what is
// written to it appears on the process's standard output in UTF-8.
#define STD_OUTPUT_HANDLE ((DWORD)-11)
HANDLE GetStdHandle(DWORD nStdHandle);
BOOL GetConsoleMode(HANDLE hConsoleHandle, DWORD* lpMode);
BOOL WriteConsoleW(HANDLE hConsoleOutput, const void* lpBuffer, DWORD nNumberOfCharsToWrite,
                   DWORD* lpNumberOfCharsWritten, void* lpReserved);

// Files and folders.
BOOL CreateDirectoryA(PCSTR lpPathName, SECURITY_ATTRIBUTES* lpSecurityAttributes);
DWORD GetFileAttributesA(PCSTR lpFileName);
HANDLE CreateFileA(PCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode, SECURITY_ATTRIBUTES* lpSecurityAttributes,
                   DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
BOOL GetFileInformationByHandle(HANDLE hFile, BY_HANDLE_FILE_INFORMATION* lpFileInformation);
BOOL WriteFile(HANDLE hFile, const void* lpBuffer, DWORD nNumberOfBytesToWrite, DWORD* lpNumberOfBytesWritten,
               void* lpOverlapped);
BOOL CloseHandle(HANDLE hObject);
BOOL MoveFileExA(PCSTR lpExistingFileName, PCSTR lpNewFileName, DWORD dwFlags);

// Security: owners, the running user, descriptors from their text form.
DWORD GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE ObjectType, DWORD SecurityInfo, PSID* ppsidOwner,
                      PSID* ppsidGroup, PACL* ppDacl, PACL* ppSacl, PSECURITY_DESCRIPTOR* ppSecurityDescriptor);
BOOL IsWellKnownSid(PSID pSid, WELL_KNOWN_SID_TYPE WellKnownSidType);
BOOL EqualSid(PSID pSid1, PSID pSid2);
HANDLE GetCurrentProcess(void);
BOOL OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, HANDLE* TokenHandle);
BOOL GetTokenInformation(HANDLE TokenHandle, TOKEN_INFORMATION_CLASS TokenInformationClass, void* TokenInformation,
                         DWORD TokenInformationLength, DWORD* ReturnLength);
BOOL ConvertStringSecurityDescriptorToSecurityDescriptorA(PCSTR StringSecurityDescriptor, DWORD StringSDRevision,
                                                          PSECURITY_DESCRIPTOR* SecurityDescriptor,
                                                          DWORD* SecurityDescriptorSize);
HLOCAL LocalFree(HLOCAL hMem);

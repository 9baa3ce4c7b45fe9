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

#define REG_SZ 1
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7

#define ERROR_SUCCESS 0
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_INVALID_DATA 13
#define ERROR_INVALID_PARAMETER 87
#define ERROR_INSUFFICIENT_BUFFER 122
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
DWORD GetLastError(void);
void SetLastError(DWORD dwErrCode);

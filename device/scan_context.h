// The run's device information set, its current device and the one buffer
// that every property query fills.
#pragma once

#include "platform/windows_api.h"

enum { PROPERTY_BUFFER_SIZE = 512 };

struct SCAN_CONTEXT {
    HDEVINFO DeviceInfoSet;
    SP_DEVINFO_DATA DeviceInfoData;
    char PropertyBuffer[PROPERTY_BUFFER_SIZE];
    DWORD PropertyBufferSize;
    // The text that the last query returned: its bytes up to the first NUL
    // among them. The platform does not promise a terminator, so nothing
    // reads the buffer beyond this length.
    int PropertyTextLength;
};

extern SCAN_CONTEXT ScanContext;

// Puts the context back to its state before any run.
void ResetScanContext();

BOOL OpenDeviceSet(DWORD flags);
BOOL EnumerateDevice(int memberIndex);
BOOL QueryDeviceProperty(DWORD property);
void DestroyDeviceSet();

// After a SPDRP_HARDWAREID query: the first hardware ID carries the vendor
// token. Only the first string of the list is searched.
BOOL FirstHardwareIdHasVendorToken();

// The current device's driver key, or INVALID_HANDLE_VALUE.
HKEY OpenDriverKey(REGSAM access);

// The current device's instance ID into the property buffer.
BOOL QueryDeviceInstanceId();

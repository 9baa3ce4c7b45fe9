#include "device/scan_context.h"

#include <cstring>
#include <string_view>

SCAN_CONTEXT ScanContext;

namespace {

const std::string_view VendorToken = "VEN_7F3C";

}  // namespace

void ResetScanContext() {
    std::memset(&ScanContext, 0, sizeof(ScanContext));
    ScanContext.DeviceInfoSet = INVALID_HANDLE_VALUE;
    ScanContext.DeviceInfoData.cbSize = sizeof(SP_DEVINFO_DATA);
    ScanContext.PropertyBufferSize = PROPERTY_BUFFER_SIZE;
}

BOOL OpenDeviceSet(DWORD flags) {
    ScanContext.DeviceInfoSet = SetupDiGetClassDevsA(NULL, "PCI", NULL, flags);
    return ScanContext.DeviceInfoSet != INVALID_HANDLE_VALUE;
}

BOOL EnumerateDevice(int memberIndex) {
    return SetupDiEnumDeviceInfo(ScanContext.DeviceInfoSet, static_cast<DWORD>(memberIndex),
                                 &ScanContext.DeviceInfoData);
}

BOOL QueryDeviceProperty(DWORD property) {
    DWORD dataType = 0;
    // Should a platform not report the size, the text is still bounded by the buffer.
    DWORD returnedSize = ScanContext.PropertyBufferSize;
    ScanContext.PropertyBuffer[0] = '\0';
    ScanContext.PropertyTextLength = 0;
    if (!SetupDiGetDeviceRegistryPropertyA(ScanContext.DeviceInfoSet, &ScanContext.DeviceInfoData, property,
                                           &dataType, reinterpret_cast<BYTE*>(ScanContext.PropertyBuffer),
                                           ScanContext.PropertyBufferSize, &returnedSize)) {
        return FALSE;
    }
    if (returnedSize > ScanContext.PropertyBufferSize) returnedSize = ScanContext.PropertyBufferSize;
    const void* nul = std::memchr(ScanContext.PropertyBuffer, '\0', returnedSize);
    ScanContext.PropertyTextLength =
        nul != NULL ? static_cast<int>(static_cast<const char*>(nul) - ScanContext.PropertyBuffer)
                    : static_cast<int>(returnedSize);
    return TRUE;
}

void DestroyDeviceSet() {
    if (ScanContext.DeviceInfoSet == INVALID_HANDLE_VALUE) return;
    SetupDiDestroyDeviceInfoList(ScanContext.DeviceInfoSet);
    ScanContext.DeviceInfoSet = INVALID_HANDLE_VALUE;
}

BOOL FirstHardwareIdHasVendorToken() {
    const std::string_view firstId(ScanContext.PropertyBuffer,
                                   static_cast<std::size_t>(ScanContext.PropertyTextLength));
    return firstId.find(VendorToken) != std::string_view::npos;
}

HKEY OpenDriverKey(REGSAM access) {
    ScanContext.DeviceInfoData.cbSize = sizeof(SP_DEVINFO_DATA);
    return SetupDiOpenDevRegKey(ScanContext.DeviceInfoSet, &ScanContext.DeviceInfoData, DICS_FLAG_GLOBAL, 0,
                                DIREG_DRV, access);
}

BOOL QueryDeviceInstanceId() {
    DWORD requiredSize = 0;
    ScanContext.PropertyBuffer[0] = '\0';
    ScanContext.PropertyTextLength = 0;
    if (!SetupDiGetDeviceInstanceIdA(ScanContext.DeviceInfoSet, &ScanContext.DeviceInfoData,
                                     ScanContext.PropertyBuffer, ScanContext.PropertyBufferSize, &requiredSize)) {
        return FALSE;
    }
    const void* nul = std::memchr(ScanContext.PropertyBuffer, '\0', ScanContext.PropertyBufferSize);
    ScanContext.PropertyTextLength =
        nul != NULL ? static_cast<int>(static_cast<const char*>(nul) - ScanContext.PropertyBuffer)
                    : static_cast<int>(ScanContext.PropertyBufferSize);
    return TRUE;
}

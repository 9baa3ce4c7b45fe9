#include "device/report.h"

#include <cstdio>

#include "device/scan_context.h"

BOOL ReportDeviceProperties() {
    BOOL result = TRUE;

    if (!QueryDeviceProperty(SPDRP_DEVICEDESC)) {
        printf("Error:SetupDiGetDeviceRegistryProperty( SPDRP_DEVICEDESC )\n");
        result = FALSE;
    }
    printf("Device: %.*s\n", ScanContext.PropertyTextLength, ScanContext.PropertyBuffer);

    if (!QueryDeviceProperty(SPDRP_DRIVER)) {
        printf("Error:SetupDiGetDeviceRegistryProperty( SPDRP_DRIVER )\n");
        result = FALSE;
    }
    printf("Driver: %.*s\n\n", ScanContext.PropertyTextLength, ScanContext.PropertyBuffer);

    return result;
}

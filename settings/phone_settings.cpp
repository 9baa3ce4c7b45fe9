#include "settings/phone_settings.h"

#include <cstdio>

#include "device/report.h"
#include "device/scan_context.h"

BOOL ApplyPhoneSettings() {
    BOOL result = FALSE;

    ScanContext.DeviceInfoData.cbSize = sizeof(SP_DEVINFO_DATA);
    HKEY driverKey = SetupDiOpenDevRegKey(ScanContext.DeviceInfoSet, &ScanContext.DeviceInfoData, DICS_FLAG_GLOBAL,
                                          0, DIREG_DRV, KEY_ALL_ACCESS);
    if (driverKey == INVALID_HANDLE_VALUE) return FALSE;

    WORD enablePhone = 0;
    if (RegSetValueExA(driverKey, "Enable Phone", 0, REG_BINARY, reinterpret_cast<const BYTE*>(&enablePhone),
                       sizeof enablePhone) == ERROR_SUCCESS) {
        printf("Setting 'Enable Phone' to %04x\n\n", static_cast<unsigned>(enablePhone));
        result = TRUE;
    }

    if (result) {
        BYTE defaultPhoneMuteState = 1;
        if (RegSetValueExA(driverKey, "Default Phone Mute State", 0, REG_BINARY, &defaultPhoneMuteState,
                           sizeof defaultPhoneMuteState) == ERROR_SUCCESS) {
            printf("Setting 'Default Phone Mute State' to %02x\n\n", static_cast<unsigned>(defaultPhoneMuteState));
        } else {
            result = FALSE;
        }
    }

    RegCloseKey(driverKey);
    return result;
}

void MakeTolvexModifications() {
    ReportDeviceProperties();
    if (ApplyPhoneSettings()) {
        printf("SUCCESS!\n\n");
    } else {
        printf("Error: Could not make Tolvex registry modifications.\n\n");
    }
}

#include "settings/phone_settings.h"

#include <cstdio>

#include "device/report.h"
#include "device/scan_context.h"

// Both are written as they lie in memory: a 16-bit zero is 00 00 either way.
const WORD EnablePhone = 0;
const BYTE DefaultPhoneMuteState = 1;

const PHONE_SETTING PhoneSettings[PHONE_SETTING_COUNT] = {
    {"Enable Phone", REG_BINARY, reinterpret_cast<const BYTE*>(&EnablePhone), sizeof EnablePhone},
    {"Default Phone Mute State", REG_BINARY, &DefaultPhoneMuteState, sizeof DefaultPhoneMuteState},
};

LONG WritePhoneSetting(HKEY key, const PHONE_SETTING& setting) {
    return RegSetValueExA(key, setting.Name, 0, setting.Type, setting.Data, setting.Size);
}

BOOL ApplyPhoneSettings() {
    BOOL result = FALSE;

    HKEY driverKey = OpenDriverKey(KEY_ALL_ACCESS);
    if (driverKey == INVALID_HANDLE_VALUE) return FALSE;

    if (WritePhoneSetting(driverKey, PhoneSettings[0]) == ERROR_SUCCESS) {
        printf("Setting 'Enable Phone' to %04x\n\n", static_cast<unsigned>(EnablePhone));
        result = TRUE;
    }

    if (result) {
        if (WritePhoneSetting(driverKey, PhoneSettings[1]) == ERROR_SUCCESS) {
            printf("Setting 'Default Phone Mute State' to %02x\n\n", static_cast<unsigned>(DefaultPhoneMuteState));
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

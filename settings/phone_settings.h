#pragma once

#include "platform/windows_api.h"

// The two driver values, in the order they are written.
struct PHONE_SETTING {
    const char* Name;
    DWORD Type;
    const BYTE* Data;
    DWORD Size;
};

enum { PHONE_SETTING_COUNT = 2 };

extern const WORD EnablePhone;            // "Enable Phone": REG_BINARY 00 00
extern const BYTE DefaultPhoneMuteState;  // "Default Phone Mute State": REG_BINARY 01
extern const PHONE_SETTING PhoneSettings[PHONE_SETTING_COUNT];

// Writes one of the values into an open key; the registry's result.
LONG WritePhoneSetting(HKEY key, const PHONE_SETTING& setting);

// Writes "Enable Phone" and "Default Phone Mute State" into the driver key of
// the current device. TRUE when both were written.
BOOL ApplyPhoneSettings();

// The "d" mode's work on the first matching device: its report, the writes
// and the outcome line.
void MakeTolvexModifications();

#pragma once

#include "platform/windows_api.h"

// Writes "Enable Phone" and "Default Phone Mute State" into the driver key of
// the current device. TRUE when both were written.
BOOL ApplyPhoneSettings();

// The "d" mode's work on the first matching device: its report, the writes
// and the outcome line.
void MakeTolvexModifications();

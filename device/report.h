#pragma once

#include "platform/windows_api.h"

// Prints the "Device: " and "Driver: " lines of the current device.
// TRUE when both queries succeeded.
BOOL ReportDeviceProperties();

#pragma once

#include "platform/windows_api.h"

// Prints the "Device: " and "Driver: " lines of the current device.
// TRUE when both queries succeeded.
BOOL ReportDeviceProperties();

// Prints LABEL, the text of the last property query and ENDING, as printf
// does. When standard output is a console the line goes instead through the
// console's wide-character interface, converted from the ANSI code page, so
// that text beyond ASCII shows as the system's own console tools show it;
// each "\n" is written as "\r\n", as the C runtime writes it. To a file or a
// pipe the bytes are the property's own. The last-error code is kept.
void PrintPropertyLine(const char* label, const char* ending);

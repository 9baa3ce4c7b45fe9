#include "device/report.h"

#include <cstdio>

#include "device/scan_context.h"

namespace {

// Room for a label, a whole property and its line endings.
enum { LINE_SIZE = PROPERTY_BUFFER_SIZE + 64 };

BOOL WriteLineToConsole(const char* label, const char* ending) {
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (output == INVALID_HANDLE_VALUE || output == nullptr || !GetConsoleMode(output, &mode)) return FALSE;

    char line[LINE_SIZE];
    const int length = snprintf(line, sizeof line, "%s%.*s%s", label, ScanContext.PropertyTextLength,
                                ScanContext.PropertyBuffer, ending);
    if (length <= 0 || length >= static_cast<int>(sizeof line)) return FALSE;
    WCHAR wide[LINE_SIZE];
    const int count = MultiByteToWideChar(CP_ACP, 0, line, length, wide, LINE_SIZE);
    if (count <= 0) return FALSE;

    WCHAR text[2 * LINE_SIZE];
    DWORD size = 0;
    for (int i = 0; i < count; ++i) {
        if (wide[i] == L'\n') text[size++] = L'\r';
        text[size++] = wide[i];
    }
    // What printf has buffered goes first.
    fflush(stdout);
    DWORD written = 0;
    return WriteConsoleW(output, text, size, &written, nullptr) && written == size;
}

}  // namespace

void PrintPropertyLine(const char* label, const char* ending) {
    const DWORD lastError = GetLastError();
    if (!WriteLineToConsole(label, ending)) {
        printf("%s%.*s%s", label, ScanContext.PropertyTextLength, ScanContext.PropertyBuffer, ending);
    }
    SetLastError(lastError);
}

BOOL ReportDeviceProperties() {
    BOOL result = TRUE;

    if (!QueryDeviceProperty(SPDRP_DEVICEDESC)) {
        printf("Error:SetupDiGetDeviceRegistryProperty( SPDRP_DEVICEDESC )\n");
        result = FALSE;
    }
    PrintPropertyLine("Device: ", "\n");

    if (!QueryDeviceProperty(SPDRP_DRIVER)) {
        printf("Error:SetupDiGetDeviceRegistryProperty( SPDRP_DRIVER )\n");
        result = FALSE;
    }
    PrintPropertyLine("Driver: ", "\n\n");

    return result;
}

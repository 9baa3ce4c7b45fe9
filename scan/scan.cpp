#include "scan/scan.h"

#include <cstdio>

#include "device/report.h"
#include "device/scan_context.h"
#include "settings/phone_settings.h"

namespace {

struct ModeChoice {
    RunMode Mode;
    const char* OpeningLine;  // none for an unrecognised argument
    DWORD EnumerationFlags;
};

// The argument is exactly the letter, in either case.
bool IsModeLetter(const char* argument, char lower) {
    const char upper = static_cast<char>(lower - 'a' + 'A');
    return (argument[0] == lower || argument[0] == upper) && argument[1] == '\0';
}

ModeChoice ChooseRunMode(int argc, char** argv) {
    const DWORD presentFlags = DIGCF_PRESENT | DIGCF_ALLCLASSES;
    if (argc <= 1) {
        return {PresentDevices, "\nFinding Ondavi devices present under the PCI Enum tree.\n\n", presentFlags};
    }
    if (IsModeLetter(argv[1], 'a')) {
        return {AllDevices, "\nFinding all Ondavi devices ( present or not ) under the PCI Enum tree.\n\n",
                presentFlags & ~static_cast<DWORD>(DIGCF_PRESENT)};
    }
    if (IsModeLetter(argv[1], 'd')) {
        return {TolvexModifications, "\nDoing Tolvex registry modifications.\n\n", presentFlags};
    }
    return {PresentDevices, nullptr, presentFlags};
}

// Walks the set; returns how many devices matched.
int ScanDevices(RunMode mode) {
    int count = 0;
    for (int memberIndex = 0; EnumerateDevice(memberIndex); ++memberIndex) {
        if (!QueryDeviceProperty(SPDRP_HARDWAREID)) {
            printf("Error:SetupDiGetDeviceRegistryProperty( SPDRP_HARDWAREID )\n");
            break;
        }
        if (!FirstHardwareIdHasVendorToken()) continue;

        ++count;
        if (mode == TolvexModifications) {
            // Only the first present vendor device is configured.
            MakeTolvexModifications();
            break;
        }
        PrintPropertyLine("HWID:: ", "\n");
        ReportDeviceProperties();
    }
    return count;
}

void PrintSummary(RunMode mode, int count) {
    if (count == 0) {
        printf("No Ondavi Devices found.\n\n");
    } else if (mode == AllDevices) {
        printf("%d Ondavi PCI Device(s) found.\n\n", count);
    } else {
        printf("%d active Ondavi PCI Device(s) found.\n\n", count);
    }
}

}  // namespace

int OndavipciMain(int argc, char** argv) {
    const ModeChoice choice = ChooseRunMode(argc, argv);
    ResetScanContext();

    if (choice.OpeningLine != nullptr) printf("%s", choice.OpeningLine);

    if (!OpenDeviceSet(choice.EnumerationFlags)) {
        printf("Error: Invalid Handle Value returned from SetupDiGetClassDevs() - 1\n");
        return 1;
    }
    ScanContext.DeviceInfoData.cbSize = sizeof(SP_DEVINFO_DATA);

    const int count = ScanDevices(choice.Mode);

    // A walk that ran to its end leaves ERROR_NO_MORE_ITEMS; 0 means no call
    // left a code. Anything else is a failure of the walk.
    const DWORD lastError = GetLastError();
    if (lastError != 0 && lastError != ERROR_NO_MORE_ITEMS) {
        printf("Error:SetupDiEnumDeviceInfo()\n");
        // The process may go on (the simulator, the tests): do not leak the set.
        DestroyDeviceSet();
        return 1;
    }
    if (lastError == ERROR_NO_MORE_ITEMS && choice.Mode != TolvexModifications) PrintSummary(choice.Mode, count);

    DestroyDeviceSet();
    return 0;
}

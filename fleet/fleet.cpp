#include "fleet/fleet.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "device/scan_context.h"

FLEET_RUN FleetRun;

namespace {

const char Usage[] =
    "usage: ondavipci-fleet check [--json]\n"
    "       ondavipci-fleet apply [--json]\n"
    "       ondavipci-fleet --help | --version\n"
    "\n"
    "check  reads the phone settings of the first present Ondavi PCI device\n"
    "       exit 0 compliant, 1 not compliant, 2 no Ondavi device, 3 cannot be checked\n"
    "apply  writes them where they are not right, then reads them back\n"
    "       exit 0 applied or already compliant, 2 no Ondavi device, 1603 failed\n"
    "--json one JSON object on standard output instead of text\n";

void Fail(const char* call, DWORD code) {
    FleetRun.Error = FLEET_ERROR{call, code, nullptr};
}

FLEET_TEXT PropertyText(BOOL ok) {
    if (!ok) return FLEET_TEXT{FALSE, std::string()};
    return FLEET_TEXT{TRUE, std::string(ScanContext.PropertyBuffer,
                                        static_cast<std::size_t>(ScanContext.PropertyTextLength))};
}

// The first present device whose first hardware ID carries the vendor
// token, as "ondavipci d" finds it. FALSE when there is none or the walk
// failed (then FleetRun.Error says why).
BOOL FindVendorDevice() {
    for (int memberIndex = 0;; ++memberIndex) {
        if (!EnumerateDevice(memberIndex)) {
            const DWORD code = GetLastError();
            if (code != ERROR_NO_MORE_ITEMS) Fail("SetupDiEnumDeviceInfo", code);
            return FALSE;
        }
        if (!QueryDeviceProperty(SPDRP_HARDWAREID)) {
            Fail("SetupDiGetDeviceRegistryPropertyA", GetLastError());
            return FALSE;
        }
        if (FirstHardwareIdHasVendorToken()) break;
    }
    FLEET_DEVICE& device = FleetRun.Device;
    device.Found = TRUE;
    device.HardwareId = PropertyText(TRUE);
    device.Description = PropertyText(QueryDeviceProperty(SPDRP_DEVICEDESC));
    device.DriverKey = PropertyText(QueryDeviceProperty(SPDRP_DRIVER));
    device.InstanceId = PropertyText(QueryDeviceInstanceId());
    return TRUE;
}

// Reads one value whole, whatever its size. ERROR_SUCCESS also when the
// value is absent.
LONG ReadDriverValue(HKEY key, const char* name, DRIVER_VALUE& value) {
    value = DRIVER_VALUE{FALSE, 0, std::string()};
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD type = 0, size = 0;
        LONG status = RegQueryValueExA(key, name, nullptr, &type, nullptr, &size);
        if (status == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
        if (status != ERROR_SUCCESS) return status;
        std::vector<BYTE> data(size + 1);
        DWORD read = size;
        status = RegQueryValueExA(key, name, nullptr, &type, data.data(), &read);
        if (status == ERROR_MORE_DATA) continue;  // it grew in between
        if (status == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
        if (status != ERROR_SUCCESS) return status;
        value = DRIVER_VALUE{TRUE, type, std::string(reinterpret_cast<const char*>(data.data()), read)};
        return ERROR_SUCCESS;
    }
    return ERROR_MORE_DATA;
}

BOOL ReadDriverValues(HKEY key, DRIVER_VALUE (&values)[PHONE_SETTING_COUNT]) {
    for (int i = 0; i < PHONE_SETTING_COUNT; ++i) {
        const LONG status = ReadDriverValue(key, PhoneSettings[i].Name, values[i]);
        if (status != ERROR_SUCCESS) {
            Fail("RegQueryValueExA", static_cast<DWORD>(status));
            return FALSE;
        }
    }
    return TRUE;
}

BOOL IsSetting(const DRIVER_VALUE& value, const PHONE_SETTING& setting) {
    return value.Present && value.Type == setting.Type && value.Data.size() == setting.Size &&
           std::memcmp(value.Data.data(), setting.Data, setting.Size) == 0;
}

BOOL Compliant(const DRIVER_VALUE (&values)[PHONE_SETTING_COUNT]) {
    for (int i = 0; i < PHONE_SETTING_COUNT; ++i) {
        if (!IsSetting(values[i], PhoneSettings[i])) return FALSE;
    }
    return TRUE;
}

void Finish(const char* result, int exitCode) {
    FleetRun.Result = result;
    FleetRun.ExitCode = exitCode;
}

// The verb's own failure: check cannot check, apply failed.
void FinishFailed() {
    if (FleetRun.Verb == VerbCheck) {
        Finish("error", FLEET_CANNOT_CHECK);
    } else {
        Finish("failed", FLEET_FATAL);
    }
}

// Opens the set, finds the device and reads its values into Previous.
// FALSE, with the result set, when there is nothing more to do.
BOOL ReadCurrentState() {
    if (!OpenDeviceSet(DIGCF_PRESENT | DIGCF_ALLCLASSES)) {
        Fail("SetupDiGetClassDevsA", GetLastError());
        FinishFailed();
        return FALSE;
    }
    ScanContext.DeviceInfoData.cbSize = sizeof(SP_DEVINFO_DATA);
    if (!FindVendorDevice()) {
        if (FleetRun.Error.Call != nullptr) {
            FinishFailed();
        } else {
            Finish("no-device", FLEET_NO_DEVICE);
        }
        return FALSE;
    }
    HKEY key = OpenDriverKey(KEY_QUERY_VALUE);
    if (key == INVALID_HANDLE_VALUE) {
        Fail("SetupDiOpenDevRegKey", GetLastError());
        FinishFailed();
        return FALSE;
    }
    FleetRun.PreviousRead = ReadDriverValues(key, FleetRun.Previous);
    RegCloseKey(key);
    if (!FleetRun.PreviousRead) {
        FinishFailed();
        return FALSE;
    }
    return TRUE;
}

void CopyValues(const DRIVER_VALUE (&from)[PHONE_SETTING_COUNT], DRIVER_VALUE (&to)[PHONE_SETTING_COUNT]) {
    for (int i = 0; i < PHONE_SETTING_COUNT; ++i) to[i] = from[i];
}

// Writes the values as "ondavipci d" does, the second only if the first was
// written, then reads both back.
void WriteAndVerify() {
    HKEY key = OpenDriverKey(KEY_QUERY_VALUE | KEY_SET_VALUE);
    if (key == INVALID_HANDLE_VALUE) {
        Fail("SetupDiOpenDevRegKey", GetLastError());
        FinishFailed();
        return;
    }
    for (int i = 0; i < PHONE_SETTING_COUNT; ++i) {
        const LONG status = WritePhoneSetting(key, PhoneSettings[i]);
        if (status != ERROR_SUCCESS) {
            Fail("RegSetValueExA", static_cast<DWORD>(status));
            break;
        }
        FleetRun.Wrote[i] = TRUE;
    }
    const FLEET_ERROR writeError = FleetRun.Error;
    FleetRun.ValuesRead = ReadDriverValues(key, FleetRun.Values);
    RegCloseKey(key);
    if (writeError.Call != nullptr) {
        FleetRun.Error = writeError;  // the write's failure is the cause
        FinishFailed();
    } else if (!FleetRun.ValuesRead) {
        FinishFailed();
    } else if (!Compliant(FleetRun.Values)) {
        FleetRun.Error = FLEET_ERROR{nullptr, 0, "the values read back are not the values written"};
        FinishFailed();
    } else {
        Finish("applied", FLEET_COMPLIANT);
    }
}

enum ParseResult { ParseRun, ParseHelp, ParseVersion, ParseBad };

ParseResult ParseArguments(int argc, char** argv) {
    int verbs = 0;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "/?") == 0 || std::strcmp(arg, "-h") == 0) {
            return ParseHelp;
        }
        if (std::strcmp(arg, "--version") == 0) return ParseVersion;
        if (std::strcmp(arg, "--json") == 0) {
            FleetRun.Json = TRUE;
        } else if (std::strcmp(arg, "check") == 0) {
            FleetRun.Verb = VerbCheck;
            ++verbs;
        } else if (std::strcmp(arg, "apply") == 0) {
            FleetRun.Verb = VerbApply;
            ++verbs;
        } else {
            return ParseBad;
        }
    }
    return verbs == 1 ? ParseRun : ParseBad;
}

void ResetFleetRun() {
    FleetRun = FLEET_RUN{};
    FleetRun.Result = "error";
    FleetRun.ExitCode = FLEET_CANNOT_CHECK;
}

}  // namespace

void CheckPhoneSettings() {
    if (!ReadCurrentState()) return;
    CopyValues(FleetRun.Previous, FleetRun.Values);
    FleetRun.ValuesRead = TRUE;
    if (Compliant(FleetRun.Values)) {
        Finish("compliant", FLEET_COMPLIANT);
    } else {
        Finish("not-compliant", FLEET_NOT_COMPLIANT);
    }
}

void ApplyPhoneSettingsForFleet() {
    if (ReadCurrentState()) {
        if (Compliant(FleetRun.Previous)) {
            CopyValues(FleetRun.Previous, FleetRun.Values);
            FleetRun.ValuesRead = TRUE;
            Finish("already-compliant", FLEET_COMPLIANT);
        } else {
            WriteAndVerify();
        }
    }
    AppendApplyLog(JsonDocument(TRUE));
}

int FleetMain(int argc, char** argv) {
    ResetFleetRun();
    ResetScanContext();
    switch (ParseArguments(argc, argv)) {
    case ParseHelp: printf("%s", Usage); return 0;
    case ParseVersion: printf("%s %s\n", ONDAVIPCI_FLEET_NAME, ONDAVIPCI_VERSION); return 0;
    case ParseBad: fprintf(stderr, "%s", Usage); return FLEET_USAGE;
    case ParseRun: break;
    }

    if (FleetRun.Verb == VerbCheck) {
        CheckPhoneSettings();
    } else {
        ApplyPhoneSettingsForFleet();
    }
    DestroyDeviceSet();

    if (FleetRun.Json) {
        printf("%s\n", JsonDocument(FALSE).c_str());
    } else {
        PrintText();
    }
    fflush(stdout);
    return FleetRun.ExitCode;
}

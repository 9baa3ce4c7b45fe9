// An in-memory stand-in for the Setup API, the registry and the last-error
// code, so that the program runs and is tested on any host.
//
// It behaves as the platform does where the program relies on it: successful
// calls leave the last-error code as it was, except opening a driver key and
// destroying a set, which clear it; failed calls set it. Registry calls never
// touch it. A key opened without KEY_SET_VALUE refuses writes with
// ERROR_ACCESS_DENIED. A handle that is not open is misuse, and aborts the
// process.
#include "platform/standin_machine.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace standin {
namespace {

struct DeviceSet {
    std::vector<std::size_t> Members;  // indices into the machine's devices
};

struct OpenKey {
    std::size_t Device;  // index into the machine's devices
    REGSAM Access;
};

struct State {
    Machine Loaded;
    std::map<ULONG_PTR, DeviceSet> Sets;
    std::map<ULONG_PTR, OpenKey> Keys;
    ULONG_PTR NextHandle = 0x1000;
    DWORD LastError = 0;
};

State& TheState() {
    static State state;
    return state;
}

[[noreturn]] void Misuse(const char* call, const char* what) {
    std::fprintf(stderr, "stand-in: %s: %s\n", call, what);
    std::fflush(stderr);
    std::abort();
}

BOOL Fail(DWORD code) {
    TheState().LastError = code;
    return FALSE;
}

DeviceSet& OpenSet(HDEVINFO handle, const char* call) {
    auto found = TheState().Sets.find(reinterpret_cast<ULONG_PTR>(handle));
    if (found == TheState().Sets.end()) Misuse(call, "device information set is not open");
    return found->second;
}

// The device that an enumerated record names, or null when the record does
// not come from this set.
Device* RecordedDevice(HDEVINFO handle, const SP_DEVINFO_DATA* data) {
    if (data == nullptr || data->cbSize != sizeof(SP_DEVINFO_DATA)) return nullptr;
    if (data->Reserved != reinterpret_cast<ULONG_PTR>(handle)) return nullptr;
    auto& devices = TheState().Loaded.Devices;
    return data->DevInst < devices.size() ? &devices[data->DevInst] : nullptr;
}

ULONG_PTR NewHandle() {
    return TheState().NextHandle++;
}

}  // namespace

PropertyValue TextProperty(const std::string& text) {
    return {text + '\0', REG_SZ};
}

PropertyValue MultiTextProperty(const std::vector<std::string>& strings) {
    std::string bytes;
    for (const auto& s : strings) bytes += s + '\0';
    bytes += '\0';
    return {bytes, REG_MULTI_SZ};
}

PropertyValue RawProperty(const std::string& bytes, DWORD type) {
    return {bytes, type};
}

void Load(Machine machine) {
    State& state = TheState();
    state.Loaded = std::move(machine);
    state.Sets.clear();
    state.Keys.clear();
    state.LastError = 0;
}

const Machine& Current() {
    return TheState().Loaded;
}

OpenHandles Open() {
    return {TheState().Sets.size(), TheState().Keys.size()};
}

}  // namespace standin

using namespace standin;

HDEVINFO SetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR Enumerator, HWND, DWORD Flags) {
    State& state = TheState();
    if (state.Loaded.OpenSetFault) {
        Fail(*state.Loaded.OpenSetFault);
        return INVALID_HANDLE_VALUE;
    }
    if (ClassGuid == nullptr && (Flags & DIGCF_ALLCLASSES) == 0) {
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    DeviceSet set;
    set.Members.reserve(state.Loaded.Devices.size());
    // Every device of this machine sits under the PCI enumerator.
    const bool pci = Enumerator != nullptr && std::strcmp(Enumerator, "PCI") == 0;
    for (std::size_t i = 0; pci && i < state.Loaded.Devices.size(); ++i) {
        if ((Flags & DIGCF_PRESENT) == 0 || state.Loaded.Devices[i].Present) set.Members.push_back(i);
    }
    ULONG_PTR handle = NewHandle();
    state.Sets.emplace(handle, std::move(set));
    return reinterpret_cast<HDEVINFO>(handle);
}

BOOL SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex, PSP_DEVINFO_DATA DeviceInfoData) {
    const DeviceSet& set = OpenSet(DeviceInfoSet, "SetupDiEnumDeviceInfo");
    if (DeviceInfoData == nullptr || DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    const auto& fault = TheState().Loaded.EnumerationFault;
    if (fault && fault->Index == MemberIndex) return Fail(fault->Code);
    if (MemberIndex >= set.Members.size()) return Fail(ERROR_NO_MORE_ITEMS);
    DeviceInfoData->ClassGuid = GUID{};
    DeviceInfoData->DevInst = static_cast<DWORD>(set.Members[MemberIndex]);
    DeviceInfoData->Reserved = reinterpret_cast<ULONG_PTR>(DeviceInfoSet);
    return TRUE;
}

BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                       DWORD* PropertyRegDataType, BYTE* PropertyBuffer, DWORD PropertyBufferSize,
                                       DWORD* RequiredSize) {
    OpenSet(DeviceInfoSet, "SetupDiGetDeviceRegistryPropertyA");
    Device* device = RecordedDevice(DeviceInfoSet, DeviceInfoData);
    if (device == nullptr) return Fail(ERROR_INVALID_PARAMETER);

    const std::optional<PropertyValue>* value = nullptr;
    const std::optional<DWORD>* fault = nullptr;
    switch (Property) {
    case SPDRP_HARDWAREID: value = &device->HardwareIds; fault = &device->Faults.HardwareId; break;
    case SPDRP_DEVICEDESC: value = &device->Description; fault = &device->Faults.Description; break;
    case SPDRP_DRIVER: value = &device->Driver; fault = &device->Faults.Driver; break;
    default: return Fail(ERROR_INVALID_DATA);
    }
    if (*fault) return Fail(**fault);
    if (!*value) return Fail(ERROR_INVALID_DATA);

    const std::string& bytes = (*value)->Bytes;
    if (PropertyRegDataType != nullptr) *PropertyRegDataType = (*value)->Type;
    if (RequiredSize != nullptr) *RequiredSize = static_cast<DWORD>(bytes.size());
    if (bytes.size() > PropertyBufferSize) return Fail(ERROR_INSUFFICIENT_BUFFER);
    if (PropertyBuffer == nullptr) return Fail(ERROR_INVALID_USER_BUFFER);
    std::memcpy(PropertyBuffer, bytes.data(), bytes.size());
    return TRUE;
}

HKEY SetupDiOpenDevRegKey(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Scope, DWORD HwProfile,
                          DWORD KeyType, REGSAM samDesired) {
    const HKEY invalid = reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
    OpenSet(DeviceInfoSet, "SetupDiOpenDevRegKey");
    Device* device = RecordedDevice(DeviceInfoSet, DeviceInfoData);
    if (device == nullptr) return Fail(ERROR_INVALID_PARAMETER), invalid;
    if (Scope != DICS_FLAG_GLOBAL || HwProfile != 0 || KeyType != DIREG_DRV) return Fail(ERROR_INVALID_FLAGS), invalid;
    if (device->Faults.OpenKey) return Fail(*device->Faults.OpenKey), invalid;
    if (!device->Driver) return Fail(ERROR_KEY_DOES_NOT_EXIST), invalid;

    State& state = TheState();
    ULONG_PTR handle = NewHandle();
    state.Keys.emplace(handle, OpenKey{static_cast<std::size_t>(device - state.Loaded.Devices.data()), samDesired});
    state.LastError = 0;
    return reinterpret_cast<HKEY>(handle);
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
    OpenSet(DeviceInfoSet, "SetupDiDestroyDeviceInfoList");
    TheState().Sets.erase(reinterpret_cast<ULONG_PTR>(DeviceInfoSet));
    TheState().LastError = 0;
    return TRUE;
}

LONG RegSetValueExA(HKEY hKey, PCSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData, DWORD cbData) {
    State& state = TheState();
    auto key = state.Keys.find(reinterpret_cast<ULONG_PTR>(hKey));
    if (key == state.Keys.end()) Misuse("RegSetValueExA", "key is not open");
    if (lpData == nullptr && cbData != 0) Misuse("RegSetValueExA", "no data for a nonzero size");
    if ((key->second.Access & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
    Device& device = state.Loaded.Devices[key->second.Device];
    const std::string name = lpValueName != nullptr ? lpValueName : "";
    auto fault = device.Faults.SetValue.find(name);
    if (fault != device.Faults.SetValue.end()) return fault->second;
    device.DriverValues[name] = RegistryValue{dwType, cbData != 0 ? std::string(reinterpret_cast<const char*>(lpData), cbData) : std::string()};
    return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY hKey) {
    if (TheState().Keys.erase(reinterpret_cast<ULONG_PTR>(hKey)) == 0) Misuse("RegCloseKey", "key is not open");
    return ERROR_SUCCESS;
}

DWORD GetLastError(void) {
    return TheState().LastError;
}

void SetLastError(DWORD dwErrCode) {
    TheState().LastError = dwErrCode;
}

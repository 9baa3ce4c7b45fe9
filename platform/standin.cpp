// An in-memory stand-in for the Setup API, the registry and the last-error
// code, so that the program runs and is tested on any host.
//
// It behaves as the platform does where the program relies on it: successful
// calls leave the last-error code as it was, except opening a driver key and
// destroying a set, which clear it; failed calls set it. Registry calls never
// touch it: they return their code. A key opened without KEY_SET_VALUE
// refuses writes, one without KEY_QUERY_VALUE reads, with ERROR_ACCESS_DENIED.
// A handle that is not open, or memory freed twice, is misuse, and aborts
// the process.
//
// Files live in memory too: folders, files, their owners and reparse points
// (junctions, followed inside a path, never at its end). The ANSI code page
// is 1252; the clock stands at 2026-01-02T03:04:05Z.
#include "platform/standin_machine.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
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

struct OpenFile {
    std::string Path;  // a key of the file system; empty for a token
    DWORD Access;
    DWORD Share;
};

struct State {
    Machine Loaded;
    std::map<ULONG_PTR, DeviceSet> Sets;
    std::map<ULONG_PTR, OpenKey> Keys;
    std::map<ULONG_PTR, OpenFile> FileHandles;
    std::map<ULONG_PTR, std::unique_ptr<char[]>> Local;  // LocalFree's memory
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

HLOCAL LocalCopy(const std::string& text) {
    auto block = std::make_unique<char[]>(text.size() + 1);
    std::memcpy(block.get(), text.c_str(), text.size() + 1);
    char* const address = block.get();
    TheState().Local.emplace(reinterpret_cast<ULONG_PTR>(address), std::move(block));
    return address;
}

const char* LocalText(const void* block, const char* call) {
    if (TheState().Local.count(reinterpret_cast<ULONG_PTR>(block)) == 0) Misuse(call, "not memory of LocalAlloc's");
    return static_cast<const char*>(block);
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string ParentOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('\\');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool IsDriveRoot(const std::string& path) {
    return path.size() == 2 && path[1] == ':';
}

// The path with every junction inside it (not at its end) followed. Empty
// when a folder on the way does not exist.
std::string Resolve(const std::string& path) {
    const Files& files = TheState().Loaded.FileSystem;
    std::string resolved;
    std::size_t start = 0;
    for (int depth = 0; depth < 64; ++depth) {
        const std::size_t slash = path.find('\\', start);
        const std::string part = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        resolved = resolved.empty() ? part : resolved + "\\" + part;
        if (slash == std::string::npos) return resolved;
        start = slash + 1;
        if (IsDriveRoot(resolved)) continue;
        auto found = files.find(resolved);
        if (found == files.end() || !found->second.Directory) return std::string();
        if (found->second.Reparse) resolved = found->second.Target;
    }
    return std::string();
}

FileEntry* FindFile(const std::string& resolved) {
    auto& files = TheState().Loaded.FileSystem;
    auto found = files.find(resolved);
    return found == files.end() ? nullptr : &found->second;
}

bool FolderExists(const std::string& resolved) {
    if (IsDriveRoot(resolved)) return true;
    const FileEntry* entry = FindFile(resolved);
    return entry != nullptr && entry->Directory;
}

DWORD AttributesOf(const FileEntry& entry) {
    DWORD attributes = entry.Directory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
    if (entry.Reparse) attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    return attributes;
}

OpenFile& OpenFileHandle(HANDLE handle, const char* call) {
    auto found = TheState().FileHandles.find(reinterpret_cast<ULONG_PTR>(handle));
    if (found == TheState().FileHandles.end()) Misuse(call, "handle is not open");
    return found->second;
}

bool InUse(const std::string& path) {
    for (const auto& [handle, file] : TheState().FileHandles) {
        if (!file.Path.empty() && !CaseInsensitiveLess()(file.Path, path) && !CaseInsensitiveLess()(path, file.Path)) {
            return true;
        }
    }
    return false;
}

// Windows-1252's characters 0x80 to 0x9F; the rest of the page is Latin-1.
const WCHAR Cp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

}  // namespace

bool CaseInsensitiveLess::operator()(const std::string& a, const std::string& b) const {
    return Lower(a) < Lower(b);
}

std::string InstanceIdOf(const Machine& machine, std::size_t device) {
    const Device& d = machine.Devices[device];
    if (d.InstanceId) return *d.InstanceId;
    char text[32];
    std::snprintf(text, sizeof text, "PCI\\XDEV%04u\\0", static_cast<unsigned>(device));
    return text;
}

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
    FileEntry programData;
    programData.Directory = true;
    state.Loaded.FileSystem.emplace("C:\\ProgramData", programData);
    state.Sets.clear();
    state.Keys.clear();
    state.FileHandles.clear();
    state.Local.clear();
    state.LastError = 0;
}

const Machine& Current() {
    return TheState().Loaded;
}

OpenHandles Open() {
    return {TheState().Sets.size(), TheState().Keys.size(), TheState().FileHandles.size(), TheState().Local.size()};
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

LONG RegQueryValueExA(HKEY hKey, PCSTR lpValueName, DWORD* lpReserved, DWORD* lpType, BYTE* lpData, DWORD* lpcbData) {
    State& state = TheState();
    auto key = state.Keys.find(reinterpret_cast<ULONG_PTR>(hKey));
    if (key == state.Keys.end()) Misuse("RegQueryValueExA", "key is not open");
    if (lpReserved != nullptr) return ERROR_INVALID_PARAMETER;
    if (lpData != nullptr && lpcbData == nullptr) return ERROR_INVALID_PARAMETER;
    if ((key->second.Access & KEY_QUERY_VALUE) == 0) return ERROR_ACCESS_DENIED;
    const Device& device = state.Loaded.Devices[key->second.Device];
    const std::string name = lpValueName != nullptr ? lpValueName : "";
    auto fault = device.Faults.QueryValue.find(name);
    if (fault != device.Faults.QueryValue.end()) return fault->second;
    auto value = device.DriverValues.find(name);
    if (value == device.DriverValues.end()) return ERROR_FILE_NOT_FOUND;
    const std::string& data = value->second.Data;
    if (lpType != nullptr) *lpType = value->second.Type;
    if (lpcbData == nullptr) return ERROR_SUCCESS;
    const DWORD size = static_cast<DWORD>(data.size());
    if (lpData != nullptr && *lpcbData < size) {
        *lpcbData = size;
        return ERROR_MORE_DATA;
    }
    if (lpData != nullptr && size != 0) std::memcpy(lpData, data.data(), size);
    *lpcbData = size;
    return ERROR_SUCCESS;
}

BOOL SetupDiGetDeviceInstanceIdA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, LPSTR DeviceInstanceId,
                                 DWORD DeviceInstanceIdSize, DWORD* RequiredSize) {
    OpenSet(DeviceInfoSet, "SetupDiGetDeviceInstanceIdA");
    Device* device = RecordedDevice(DeviceInfoSet, DeviceInfoData);
    if (device == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (device->Faults.InstanceId) return Fail(*device->Faults.InstanceId);
    const Machine& machine = TheState().Loaded;
    const std::string id = InstanceIdOf(machine, static_cast<std::size_t>(device - machine.Devices.data()));
    const DWORD size = static_cast<DWORD>(id.size() + 1);
    if (RequiredSize != nullptr) *RequiredSize = size;
    if (DeviceInstanceId == nullptr || DeviceInstanceIdSize < size) return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(DeviceInstanceId, id.c_str(), size);
    return TRUE;
}

DWORD FormatMessageA(DWORD dwFlags, const void*, DWORD dwMessageId, DWORD, LPSTR lpBuffer, DWORD nSize, void*) {
    static const std::map<DWORD, const char*> messages = {
        {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n"},
        {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified.\r\n"},
        {ERROR_ACCESS_DENIED, "Access is denied.\r\n"},
        {ERROR_INVALID_HANDLE, "The handle is invalid.\r\n"},
        {ERROR_INVALID_DATA, "The data is invalid.\r\n"},
        {ERROR_INVALID_PARAMETER, "The parameter is incorrect.\r\n"},
        {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small.\r\n"},
        {ERROR_NO_MORE_ITEMS, "No more data is available.\r\n"},
        {1167, "The device is not connected.\r\n"},
        {1450, "Insufficient system resources exist to complete the requested service.\r\n"},
    };
    if ((dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || lpBuffer == nullptr) return Fail(ERROR_INVALID_PARAMETER), 0u;
    auto found = messages.find(dwMessageId);
    if (found == messages.end()) return Fail(ERROR_MR_MID_NOT_FOUND), 0u;
    const std::size_t length = std::strlen(found->second);
    if (length + 1 > nSize) return Fail(ERROR_INSUFFICIENT_BUFFER), 0u;
    std::memcpy(lpBuffer, found->second, length + 1);
    return static_cast<DWORD>(length);
}

int MultiByteToWideChar(UINT CodePage, DWORD, PCSTR lpMultiByteStr, int cbMultiByte, WCHAR* lpWideCharStr,
                        int cchWideChar) {
    if (CodePage != CP_ACP || lpMultiByteStr == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    const int length = cbMultiByte < 0 ? static_cast<int>(std::strlen(lpMultiByteStr)) + 1 : cbMultiByte;
    if (cchWideChar == 0) return length;
    if (cchWideChar < length) return Fail(ERROR_INSUFFICIENT_BUFFER);
    for (int i = 0; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(lpMultiByteStr[i]);
        lpWideCharStr[i] = byte >= 0x80 && byte < 0xA0 ? Cp1252High[byte - 0x80] : static_cast<WCHAR>(byte);
    }
    return length;
}

namespace {

// UTF-16 code units (a lone surrogate as U+FFFD) as UTF-8.
std::string Utf8Of(const WCHAR* lpWideCharStr, std::size_t length) {
    std::string utf8;
    for (std::size_t i = 0; i < length; ++i) {
        uint32_t c = static_cast<uint16_t>(lpWideCharStr[i]);
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < length && (static_cast<uint16_t>(lpWideCharStr[i + 1]) & 0xFC00) == 0xDC00) {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint16_t>(lpWideCharStr[++i]) - 0xDC00);
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            utf8 += static_cast<char>(c);
        } else if (c < 0x800) {
            utf8 += static_cast<char>(0xC0 | (c >> 6));
            utf8 += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            utf8 += static_cast<char>(0xE0 | (c >> 12));
            utf8 += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            utf8 += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            utf8 += static_cast<char>(0xF0 | (c >> 18));
            utf8 += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            utf8 += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            utf8 += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return utf8;
}

}  // namespace

int WideCharToMultiByte(UINT CodePage, DWORD, const WCHAR* lpWideCharStr, int cchWideChar, LPSTR lpMultiByteStr,
                        int cbMultiByte, PCSTR, BOOL*) {
    if (CodePage != CP_UTF8 || lpWideCharStr == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    std::size_t length = 0;
    if (cchWideChar < 0) {
        while (lpWideCharStr[length] != 0) ++length;
        ++length;
    } else {
        length = static_cast<std::size_t>(cchWideChar);
    }
    const std::string utf8 = Utf8Of(lpWideCharStr, length);
    if (cbMultiByte == 0) return static_cast<int>(utf8.size());
    if (lpMultiByteStr == nullptr || static_cast<std::size_t>(cbMultiByte) < utf8.size()) {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(lpMultiByteStr, utf8.data(), utf8.size());
    return static_cast<int>(utf8.size());
}

namespace {
// Standard output's handle, a console or not as the machine says.
char StandardOutput;
}  // namespace

HANDLE GetStdHandle(DWORD nStdHandle) {
    if (nStdHandle != STD_OUTPUT_HANDLE) Misuse("GetStdHandle", "only standard output is there");
    return &StandardOutput;
}

BOOL GetConsoleMode(HANDLE hConsoleHandle, DWORD* lpMode) {
    if (hConsoleHandle != &StandardOutput || lpMode == nullptr) Misuse("GetConsoleMode", "not standard output");
    if (!TheState().Loaded.Console) return Fail(ERROR_INVALID_HANDLE);
    *lpMode = 0x0003;  // ENABLE_PROCESSED_OUTPUT | ENABLE_WRAP_AT_EOL_OUTPUT
    return TRUE;
}

BOOL WriteConsoleW(HANDLE hConsoleOutput, const void* lpBuffer, DWORD nNumberOfCharsToWrite,
                   DWORD* lpNumberOfCharsWritten, void*) {
    if (hConsoleOutput != &StandardOutput || lpBuffer == nullptr) Misuse("WriteConsoleW", "not standard output");
    if (!TheState().Loaded.Console) return Fail(ERROR_INVALID_HANDLE);
    const std::string utf8 = Utf8Of(static_cast<const WCHAR*>(lpBuffer), nNumberOfCharsToWrite);
    std::fwrite(utf8.data(), 1, utf8.size(), stdout);
    if (lpNumberOfCharsWritten != nullptr) *lpNumberOfCharsWritten = nNumberOfCharsToWrite;
    return TRUE;
}

void GetSystemTime(SYSTEMTIME* lpSystemTime) {
    *lpSystemTime = SYSTEMTIME{2026, 1, 5, 2, 3, 4, 5, 0};
}

DWORD GetEnvironmentVariableA(PCSTR lpName, LPSTR lpBuffer, DWORD nSize) {
    const auto& environment = TheState().Loaded.Environment;
    auto found = environment.end();
    for (auto it = environment.begin(); it != environment.end(); ++it) {
        if (Lower(it->first) == Lower(lpName)) found = it;
    }
    if (found == environment.end()) return Fail(ERROR_ENVVAR_NOT_FOUND), 0u;
    const std::string& value = found->second;
    if (lpBuffer == nullptr || nSize < value.size() + 1) return static_cast<DWORD>(value.size() + 1);
    std::memcpy(lpBuffer, value.c_str(), value.size() + 1);
    return static_cast<DWORD>(value.size());
}

BOOL CreateDirectoryA(PCSTR lpPathName, SECURITY_ATTRIBUTES* lpSecurityAttributes) {
    const std::string path = Resolve(lpPathName);
    if (path.empty() || !FolderExists(ParentOf(path))) return Fail(ERROR_PATH_NOT_FOUND);
    if (FindFile(path) != nullptr || IsDriveRoot(path)) return Fail(ERROR_ALREADY_EXISTS);
    FileEntry folder;
    folder.Directory = true;
    folder.Owner = TheState().Loaded.User;
    if (lpSecurityAttributes != nullptr) {
        if (lpSecurityAttributes->nLength != sizeof(SECURITY_ATTRIBUTES)) return Fail(ERROR_INVALID_PARAMETER);
        if (lpSecurityAttributes->lpSecurityDescriptor != nullptr) {
            folder.Security = LocalText(lpSecurityAttributes->lpSecurityDescriptor, "CreateDirectoryA");
        }
        // An owner given: only Administrators, and only by a token that holds it.
        if (folder.Security.rfind("O:", 0) == 0) {
            if (folder.Security.rfind("O:BA", 0) != 0 || !TheState().Loaded.Elevated) return Fail(ERROR_INVALID_OWNER);
            folder.Owner = AdministratorsSid;
        }
    }
    TheState().Loaded.FileSystem.emplace(path, folder);
    return TRUE;
}

DWORD GetFileAttributesA(PCSTR lpFileName) {
    const std::string path = Resolve(lpFileName);
    if (path.empty()) return Fail(ERROR_PATH_NOT_FOUND), INVALID_FILE_ATTRIBUTES;
    if (IsDriveRoot(path)) return FILE_ATTRIBUTE_DIRECTORY;
    const FileEntry* entry = FindFile(path);
    if (entry == nullptr) return Fail(ERROR_FILE_NOT_FOUND), INVALID_FILE_ATTRIBUTES;
    return AttributesOf(*entry);
}

HANDLE CreateFileA(PCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode, SECURITY_ATTRIBUTES*,
                   DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes, HANDLE) {
    std::string path = Resolve(lpFileName);
    if (path.empty() || !FolderExists(ParentOf(path))) return Fail(ERROR_PATH_NOT_FOUND), INVALID_HANDLE_VALUE;
    if (dwCreationDisposition != OPEN_EXISTING && dwCreationDisposition != OPEN_ALWAYS) {
        return Fail(ERROR_INVALID_PARAMETER), INVALID_HANDLE_VALUE;
    }
    FileEntry* entry = FindFile(path);
    if (entry != nullptr && entry->Reparse && (dwFlagsAndAttributes & FILE_FLAG_OPEN_REPARSE_POINT) == 0) {
        path = entry->Target;
        entry = FindFile(path);
    }
    if (entry == nullptr && dwCreationDisposition == OPEN_EXISTING) {
        return Fail(ERROR_FILE_NOT_FOUND), INVALID_HANDLE_VALUE;
    }
    if (entry == nullptr) {
        FileEntry file;
        file.Owner = TheState().Loaded.User;
        entry = &TheState().Loaded.FileSystem.emplace(path, file).first->second;
    }
    if (entry->Directory && (dwFlagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS) == 0) {
        return Fail(ERROR_ACCESS_DENIED), INVALID_HANDLE_VALUE;
    }
    ULONG_PTR handle = NewHandle();
    TheState().FileHandles.emplace(handle, OpenFile{path, dwDesiredAccess, dwShareMode});
    if (dwCreationDisposition == OPEN_ALWAYS) TheState().LastError = 0;
    return reinterpret_cast<HANDLE>(handle);
}

BOOL GetFileInformationByHandle(HANDLE hFile, BY_HANDLE_FILE_INFORMATION* lpFileInformation) {
    const OpenFile& file = OpenFileHandle(hFile, "GetFileInformationByHandle");
    if (file.Path.empty()) return Fail(ERROR_INVALID_HANDLE);
    const FileEntry* entry = FindFile(file.Path);
    if (entry == nullptr) return Fail(ERROR_FILE_NOT_FOUND);
    *lpFileInformation = BY_HANDLE_FILE_INFORMATION{};
    lpFileInformation->dwFileAttributes = AttributesOf(*entry);
    lpFileInformation->nFileSizeLow = static_cast<DWORD>(entry->Data.size());
    lpFileInformation->nNumberOfLinks = entry->Links;
    return TRUE;
}

BOOL WriteFile(HANDLE hFile, const void* lpBuffer, DWORD nNumberOfBytesToWrite, DWORD* lpNumberOfBytesWritten, void*) {
    const OpenFile& file = OpenFileHandle(hFile, "WriteFile");
    if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = 0;
    if ((file.Access & FILE_APPEND_DATA) == 0) return Fail(ERROR_ACCESS_DENIED);
    FileEntry* entry = FindFile(file.Path);
    if (entry == nullptr || entry->Directory) return Fail(ERROR_ACCESS_DENIED);
    entry->Data.append(static_cast<const char*>(lpBuffer), nNumberOfBytesToWrite);
    if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = nNumberOfBytesToWrite;
    return TRUE;
}

BOOL CloseHandle(HANDLE hObject) {
    if (TheState().FileHandles.erase(reinterpret_cast<ULONG_PTR>(hObject)) == 0) Misuse("CloseHandle", "handle is not open");
    return TRUE;
}

BOOL MoveFileExA(PCSTR lpExistingFileName, PCSTR lpNewFileName, DWORD dwFlags) {
    const std::string from = Resolve(lpExistingFileName), to = Resolve(lpNewFileName);
    if (from.empty() || to.empty() || !FolderExists(ParentOf(to))) return Fail(ERROR_PATH_NOT_FOUND);
    FileEntry* source = FindFile(from);
    if (source == nullptr) return Fail(ERROR_FILE_NOT_FOUND);
    if (InUse(from)) return Fail(32);  // ERROR_SHARING_VIOLATION
    Files& files = TheState().Loaded.FileSystem;
    if (FileEntry* target = FindFile(to)) {
        if ((dwFlags & MOVEFILE_REPLACE_EXISTING) == 0) return Fail(ERROR_ALREADY_EXISTS);
        if (target->Directory || InUse(to)) return Fail(ERROR_ACCESS_DENIED);
        files.erase(to);
    }
    FileEntry moved = *FindFile(from);
    files.erase(from);
    files.emplace(to, moved);
    return TRUE;
}

DWORD GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE ObjectType, DWORD SecurityInfo, PSID* ppsidOwner, PSID*, PACL*,
                      PACL*, PSECURITY_DESCRIPTOR* ppSecurityDescriptor) {
    const OpenFile& file = OpenFileHandle(handle, "GetSecurityInfo");
    if (ObjectType != SE_FILE_OBJECT || SecurityInfo != OWNER_SECURITY_INFORMATION || ppSecurityDescriptor == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if ((file.Access & READ_CONTROL) == 0) return ERROR_ACCESS_DENIED;
    const FileEntry* entry = FindFile(file.Path);
    if (entry == nullptr) return ERROR_FILE_NOT_FOUND;
    HLOCAL descriptor = LocalCopy(entry->Owner);
    *ppSecurityDescriptor = descriptor;
    if (ppsidOwner != nullptr) *ppsidOwner = descriptor;
    return ERROR_SUCCESS;
}

BOOL IsWellKnownSid(PSID pSid, WELL_KNOWN_SID_TYPE WellKnownSidType) {
    const char* sid = static_cast<const char*>(pSid);
    if (WellKnownSidType == WinLocalSystemSid) return std::strcmp(sid, LocalSystemSid) == 0;
    if (WellKnownSidType == WinBuiltinAdministratorsSid) return std::strcmp(sid, AdministratorsSid) == 0;
    return FALSE;
}

BOOL EqualSid(PSID pSid1, PSID pSid2) {
    return std::strcmp(static_cast<const char*>(pSid1), static_cast<const char*>(pSid2)) == 0;
}

HANDLE GetCurrentProcess(void) {
    return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
}

BOOL OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, HANDLE* TokenHandle) {
    if (ProcessHandle != GetCurrentProcess() || DesiredAccess != TOKEN_QUERY) return Fail(ERROR_INVALID_PARAMETER);
    ULONG_PTR handle = NewHandle();
    TheState().FileHandles.emplace(handle, OpenFile{std::string(), DesiredAccess, 0});
    *TokenHandle = reinterpret_cast<HANDLE>(handle);
    return TRUE;
}

BOOL GetTokenInformation(HANDLE TokenHandle, TOKEN_INFORMATION_CLASS TokenInformationClass, void* TokenInformation,
                         DWORD TokenInformationLength, DWORD* ReturnLength) {
    const OpenFile& token = OpenFileHandle(TokenHandle, "GetTokenInformation");
    if (!token.Path.empty() || TokenInformationClass != TokenUser) return Fail(ERROR_INVALID_PARAMETER);
    const std::string& user = TheState().Loaded.User;
    const DWORD size = static_cast<DWORD>(sizeof(TOKEN_USER) + user.size() + 1);
    *ReturnLength = size;
    if (TokenInformation == nullptr || TokenInformationLength < size) return Fail(ERROR_INSUFFICIENT_BUFFER);
    // The record, then the SID it points at.
    char* const sid = static_cast<char*>(TokenInformation) + sizeof(TOKEN_USER);
    std::memcpy(sid, user.c_str(), user.size() + 1);
    static_cast<TOKEN_USER*>(TokenInformation)->User = SID_AND_ATTRIBUTES{sid, 0};
    return TRUE;
}

BOOL ConvertStringSecurityDescriptorToSecurityDescriptorA(PCSTR StringSecurityDescriptor, DWORD StringSDRevision,
                                                          PSECURITY_DESCRIPTOR* SecurityDescriptor,
                                                          DWORD* SecurityDescriptorSize) {
    if (StringSecurityDescriptor == nullptr || StringSDRevision != SDDL_REVISION_1 || SecurityDescriptor == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    *SecurityDescriptor = LocalCopy(StringSecurityDescriptor);
    if (SecurityDescriptorSize != nullptr) *SecurityDescriptorSize = static_cast<DWORD>(std::strlen(StringSecurityDescriptor) + 1);
    return TRUE;
}

HLOCAL LocalFree(HLOCAL hMem) {
    if (hMem != nullptr && TheState().Local.erase(reinterpret_cast<ULONG_PTR>(hMem)) == 0) {
        Misuse("LocalFree", "not memory of LocalAlloc's");
    }
    return nullptr;
}

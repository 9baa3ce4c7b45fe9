// The machine behind the stand-in: its devices, their properties and driver
// values, the faults to force, and a record of the handles left open.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/standin.h"

namespace standin {

// A property's value as the platform hands it out: exactly these bytes.
struct PropertyValue {
    std::string Bytes;
    DWORD Type = REG_SZ;
};

PropertyValue TextProperty(const std::string& text);
PropertyValue MultiTextProperty(const std::vector<std::string>& strings);
PropertyValue RawProperty(const std::string& bytes, DWORD type);

struct RegistryValue {
    DWORD Type = REG_BINARY;
    std::string Data;
    bool operator==(const RegistryValue& other) const { return Type == other.Type && Data == other.Data; }
};

using RegistryValues = std::map<std::string, RegistryValue>;

struct DeviceFaults {
    std::optional<DWORD> HardwareId;
    std::optional<DWORD> Description;
    std::optional<DWORD> Driver;
    std::optional<DWORD> OpenKey;
    std::map<std::string, LONG> SetValue;
    std::optional<DWORD> InstanceId;
    std::map<std::string, LONG> QueryValue;
};

struct Device {
    bool Present = true;
    std::optional<PropertyValue> HardwareIds;
    std::optional<PropertyValue> Description;
    std::optional<PropertyValue> Driver;  // a device without a driver has no driver key
    std::optional<std::string> InstanceId;  // by default PCI\XDEVnnnn\0, nnnn the device's place
    RegistryValues DriverValues;
    DeviceFaults Faults;
};

struct EnumFault {
    DWORD Index = 0;
    DWORD Code = 0;
};

// A file or folder. Owners are SIDs in their text form.
struct FileEntry {
    bool Directory = false;
    bool Reparse = false;
    std::string Target;  // where a reparse point (a junction) leads
    std::string Owner = "S-1-5-18";
    std::string Data;
    DWORD Links = 1;
    std::string Security;  // the descriptor it was created with, in SDDL; empty when inherited
};

struct CaseInsensitiveLess {
    bool operator()(const std::string& a, const std::string& b) const;
};

using Files = std::map<std::string, FileEntry, CaseInsensitiveLess>;

const char* const LocalSystemSid = "S-1-5-18";
const char* const AdministratorsSid = "S-1-5-32-544";

struct Machine {
    std::vector<Device> Devices;
    std::optional<DWORD> OpenSetFault;
    std::optional<EnumFault> EnumerationFault;
    // C:\ProgramData, owned by SYSTEM, is always there.
    Files FileSystem;
    std::map<std::string, std::string> Environment{{"ProgramData", "C:\\ProgramData"}};
    std::string User = LocalSystemSid;  // the SID the program runs as
    // The token holds Administrators (SYSTEM, an elevated administrator),
    // so it may make Administrators the owner of what it creates.
    bool Elevated = true;
    // Standard output is a console rather than a file or a pipe.
    bool Console = false;
};

struct OpenHandles {
    std::size_t DeviceSets = 0;
    std::size_t Keys = 0;
    std::size_t Files = 0;  // file, folder and token handles
    std::size_t LocalMemory = 0;
};

// The device's instance ID, as SetupDiGetDeviceInstanceIdA returns it.
std::string InstanceIdOf(const Machine& machine, std::size_t device);

// Replaces the machine, closes every handle and sets the last-error code to 0.
void Load(Machine machine);
const Machine& Current();
OpenHandles Open();

}  // namespace standin

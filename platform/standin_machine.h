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
};

struct Device {
    bool Present = true;
    std::optional<PropertyValue> HardwareIds;
    std::optional<PropertyValue> Description;
    std::optional<PropertyValue> Driver;  // a device without a driver has no driver key
    RegistryValues DriverValues;
    DeviceFaults Faults;
};

struct EnumFault {
    DWORD Index = 0;
    DWORD Code = 0;
};

struct Machine {
    std::vector<Device> Devices;
    std::optional<DWORD> OpenSetFault;
    std::optional<EnumFault> EnumerationFault;
};

struct OpenHandles {
    std::size_t DeviceSets = 0;
    std::size_t Keys = 0;
};

// Replaces the machine, closes every handle and sets the last-error code to 0.
void Load(Machine machine);
const Machine& Current();
OpenHandles Open();

}  // namespace standin

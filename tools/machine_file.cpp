#include "tools/machine_file.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <limits>
#include <set>
#include <sstream>
#include <vector>

using nlohmann::json;

namespace {

[[noreturn]] void Reject(const std::string& where, const std::string& what) {
    throw MachineFileError(where + ": " + what);
}

void CheckMembers(const json& object, const std::string& where, std::initializer_list<const char*> known) {
    if (!object.is_object()) Reject(where, "expected an object");
    for (const auto& member : object.items()) {
        const bool isKnown = std::any_of(known.begin(), known.end(),
                                         [&](const char* name) { return member.key() == name; });
        if (!isKnown) Reject(where, "unknown member \"" + member.key() + "\"");
    }
}

DWORD Number(const json& value, const std::string& where) {
    if (!value.is_number_integer() || value.get<long long>() < 0 ||
        value.get<long long>() > std::numeric_limits<DWORD>::max()) {
        Reject(where, "expected a whole number from 0 to 4294967295");
    }
    return static_cast<DWORD>(value.get<long long>());
}

std::string Text(const json& value, const std::string& where) {
    if (!value.is_string()) Reject(where, "expected a string");
    return value.get<std::string>();
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string BytesFromHex(const json& value, const std::string& where) {
    const std::string hex = Text(value, where);
    if (hex.size() % 2 != 0) Reject(where, "expected an even number of hex digits");
    std::string bytes;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int high = HexDigit(hex[i]);
        const int low = HexDigit(hex[i + 1]);
        if (high < 0 || low < 0) Reject(where, "expected hex digits");
        bytes += static_cast<char>(high * 16 + low);
    }
    return bytes;
}

// {"hex": "...", "type": N}: exactly those bytes, no terminator added.
standin::PropertyValue RawProperty(const json& value, const std::string& where, DWORD defaultType) {
    CheckMembers(value, where, {"hex", "type"});
    if (!value.contains("hex")) Reject(where, "missing member \"hex\"");
    const DWORD type = value.contains("type") ? Number(value["type"], where + ".type") : defaultType;
    return standin::RawProperty(BytesFromHex(value["hex"], where + ".hex"), type);
}

standin::PropertyValue TextOrRaw(const json& value, const std::string& where) {
    if (value.is_object()) return RawProperty(value, where, REG_SZ);
    return standin::TextProperty(Text(value, where));
}

standin::PropertyValue HardwareIds(const json& value, const std::string& where) {
    if (value.is_object()) return RawProperty(value, where, REG_MULTI_SZ);
    if (!value.is_array()) Reject(where, "expected an array of strings or {\"hex\": ...}");
    std::vector<std::string> ids;
    for (std::size_t i = 0; i < value.size(); ++i) ids.push_back(Text(value[i], where + "[" + std::to_string(i) + "]"));
    return standin::MultiTextProperty(ids);
}

standin::RegistryValues DriverValues(const json& value, const std::string& where) {
    if (!value.is_object()) Reject(where, "expected an object");
    standin::RegistryValues values;
    for (const auto& item : value.items()) {
        const std::string at = where + "." + item.key();
        CheckMembers(item.value(), at, {"type", "data"});
        if (!item.value().contains("type") || !item.value().contains("data")) Reject(at, "needs \"type\" and \"data\"");
        values[item.key()] = {Number(item.value()["type"], at + ".type"), BytesFromHex(item.value()["data"], at + ".data")};
    }
    return values;
}

standin::DeviceFaults DeviceFaults(const json& value, const std::string& where) {
    CheckMembers(value, where, {"hardware_id", "description", "driver", "open_key", "set_value", "instance_id",
                                "query_value"});
    standin::DeviceFaults faults;
    if (value.contains("hardware_id")) faults.HardwareId = Number(value["hardware_id"], where + ".hardware_id");
    if (value.contains("description")) faults.Description = Number(value["description"], where + ".description");
    if (value.contains("driver")) faults.Driver = Number(value["driver"], where + ".driver");
    if (value.contains("open_key")) faults.OpenKey = Number(value["open_key"], where + ".open_key");
    if (value.contains("instance_id")) faults.InstanceId = Number(value["instance_id"], where + ".instance_id");
    for (const char* member : {"set_value", "query_value"}) {
        if (!value.contains(member)) continue;
        const json& calls = value[member];
        const std::string at = where + "." + member;
        if (!calls.is_object()) Reject(at, "expected an object");
        auto& codes = std::string(member) == "set_value" ? faults.SetValue : faults.QueryValue;
        for (const auto& item : calls.items()) {
            codes[item.key()] = static_cast<LONG>(Number(item.value(), at + "." + item.key()));
        }
    }
    return faults;
}

standin::Device Device(const json& value, const std::string& where) {
    CheckMembers(value, where,
                 {"present", "hardware_ids", "description", "driver", "instance_id", "driver_values", "faults"});
    standin::Device device;
    if (value.contains("present")) {
        if (!value["present"].is_boolean()) Reject(where + ".present", "expected true or false");
        device.Present = value["present"].get<bool>();
    }
    if (value.contains("hardware_ids")) device.HardwareIds = HardwareIds(value["hardware_ids"], where + ".hardware_ids");
    if (value.contains("description")) device.Description = TextOrRaw(value["description"], where + ".description");
    if (value.contains("driver")) device.Driver = TextOrRaw(value["driver"], where + ".driver");
    if (value.contains("instance_id")) device.InstanceId = Text(value["instance_id"], where + ".instance_id");
    if (value.contains("driver_values")) device.DriverValues = DriverValues(value["driver_values"], where + ".driver_values");
    if (value.contains("faults")) device.Faults = DeviceFaults(value["faults"], where + ".faults");
    return device;
}

void MachineFaults(const json& value, const std::string& where, standin::Machine& machine) {
    CheckMembers(value, where, {"open_set", "enum"});
    if (value.contains("open_set")) machine.OpenSetFault = Number(value["open_set"], where + ".open_set");
    if (value.contains("enum")) {
        const json& fault = value["enum"];
        CheckMembers(fault, where + ".enum", {"index", "code"});
        if (!fault.contains("index") || !fault.contains("code")) Reject(where + ".enum", "needs \"index\" and \"code\"");
        machine.EnumerationFault = standin::EnumFault{Number(fault["index"], where + ".enum.index"),
                                                      Number(fault["code"], where + ".enum.code")};
    }
}

bool Flag(const json& value, const std::string& where) {
    if (!value.is_boolean()) Reject(where, "expected true or false");
    return value.get<bool>();
}

standin::FileEntry FileEntry(const json& value, const std::string& where) {
    CheckMembers(value, where, {"directory", "reparse", "target", "owner", "data", "links", "security"});
    standin::FileEntry entry;
    if (value.contains("directory")) entry.Directory = Flag(value["directory"], where + ".directory");
    if (value.contains("reparse")) entry.Reparse = Flag(value["reparse"], where + ".reparse");
    if (value.contains("target")) entry.Target = Text(value["target"], where + ".target");
    if (value.contains("owner")) entry.Owner = Text(value["owner"], where + ".owner");
    if (value.contains("data")) entry.Data = Text(value["data"], where + ".data");
    if (value.contains("links")) entry.Links = Number(value["links"], where + ".links");
    if (value.contains("security")) entry.Security = Text(value["security"], where + ".security");
    if (entry.Reparse && entry.Target.empty()) Reject(where, "a reparse point needs a \"target\"");
    return entry;
}

std::map<std::string, std::string> Environment(const json& value, const std::string& where) {
    if (!value.is_object()) Reject(where, "expected an object");
    std::map<std::string, std::string> environment;
    for (const auto& item : value.items()) environment[item.key()] = Text(item.value(), where + "." + item.key());
    return environment;
}

std::string HexFromBytes(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        hex += digits[byte >> 4];
        hex += digits[byte & 0x0f];
    }
    return hex;
}

}  // namespace

standin::Machine ParseMachine(const json& file) {
    CheckMembers(file, "machine", {"devices", "faults", "files", "environment", "user", "elevated", "console",
                                    "open_handles"});
    // What a state file says of the handles is output only, but of its form.
    if (file.contains("open_handles") && !file["open_handles"].is_object()) Reject("open_handles", "expected an object");
    standin::Machine machine;
    if (file.contains("devices")) {
        const json& devices = file["devices"];
        if (!devices.is_array()) Reject("devices", "expected an array");
        for (std::size_t i = 0; i < devices.size(); ++i) {
            machine.Devices.push_back(Device(devices[i], "devices[" + std::to_string(i) + "]"));
        }
    }
    if (file.contains("faults")) MachineFaults(file["faults"], "faults", machine);
    if (file.contains("files")) {
        if (!file["files"].is_object()) Reject("files", "expected an object");
        for (const auto& item : file["files"].items()) {
            machine.FileSystem[item.key()] = FileEntry(item.value(), "files." + item.key());
        }
    }
    if (file.contains("environment")) machine.Environment = Environment(file["environment"], "environment");
    if (file.contains("user")) machine.User = Text(file["user"], "user");
    if (file.contains("elevated")) machine.Elevated = Flag(file["elevated"], "elevated");
    if (file.contains("console")) machine.Console = Flag(file["console"], "console");
    return machine;
}

json ReadMachineFile(const std::string& path) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) throw MachineFileError(path + ": is a directory");
    std::ifstream in(path, std::ios::binary);
    if (!in) throw MachineFileError(path + ": cannot be read");
    std::stringstream text;
    text << in.rdbuf();
    if (in.bad()) throw MachineFileError(path + ": cannot be read");

    // A key given twice would silently lose one of its values.
    std::vector<std::set<std::string>> keys;
    const json::parser_callback_t noDuplicates = [&](int, json::parse_event_t event, json& parsed) {
        if (event == json::parse_event_t::object_start) keys.emplace_back();
        if (event == json::parse_event_t::object_end) keys.pop_back();
        if (event == json::parse_event_t::key && !keys.back().insert(parsed.get<std::string>()).second) {
            throw MachineFileError(path + ": member \"" + parsed.get<std::string>() + "\" given twice");
        }
        return true;
    };
    try {
        return json::parse(text.str(), noDuplicates);
    } catch (const json::parse_error& parseError) {
        throw MachineFileError(path + ": not valid JSON: " + parseError.what());
    }
}

json MachineState(const json& file, const standin::Machine& machine, const standin::OpenHandles& open) {
    json state = file.is_object() ? file : json::object();
    if (!machine.Devices.empty()) {
        json& devices = state["devices"];
        for (std::size_t i = 0; i < machine.Devices.size(); ++i) {
            json values = json::object();
            for (const auto& [name, value] : machine.Devices[i].DriverValues) {
                values[name] = {{"type", value.Type}, {"data", HexFromBytes(value.Data)}};
            }
            if (values.empty()) {
                devices[i].erase("driver_values");
            } else {
                devices[i]["driver_values"] = values;
            }
        }
    }
    json files = json::object();
    for (const auto& [path, entry] : machine.FileSystem) {
        json shown = {{"owner", entry.Owner}};
        if (entry.Directory) shown["directory"] = true;
        if (entry.Reparse) shown["reparse"] = true, shown["target"] = entry.Target;
        if (!entry.Directory) shown["data"] = entry.Data;
        if (entry.Links != 1) shown["links"] = entry.Links;
        if (!entry.Security.empty()) shown["security"] = entry.Security;
        files[path] = shown;
    }
    state["files"] = files;
    state["open_handles"] = {{"device_sets", open.DeviceSets}, {"keys", open.Keys}};
    if (open.Files != 0 || open.LocalMemory != 0) {
        state["open_handles"]["files"] = open.Files;
        state["open_handles"]["local_memory"] = open.LocalMemory;
    }
    return state;
}

bool WriteStateFile(const std::string& path, const json& state) {
    std::ofstream out(path, std::ios::binary);
    out << state.dump(2, ' ', false, json::error_handler_t::replace) << '\n';
    return static_cast<bool>(out.flush());
}

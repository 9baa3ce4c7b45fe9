// What the fleet tool prints: a few lines for a technician, or one JSON
// object (UTF-8) for a deployment tool; the log takes the same object.
#include <cstdio>
#include <string>
#include <vector>

#include "fleet/fleet.h"

namespace {

const char HexDigits[] = "0123456789abcdef";

std::string Hex(const std::string& bytes, const char* separator) {
    std::string hex;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        if (i != 0) hex += separator;
        hex += HexDigits[byte >> 4];
        hex += HexDigits[byte & 0x0f];
    }
    return hex;
}

std::string JsonString(const std::string& utf8) {
    std::string out = "\"";
    for (char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte == 0x7f) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", byte);
            out += escape;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string JsonText(const FLEET_TEXT& text) {
    return text.Known ? JsonString(Utf8FromAnsi(text.Text)) : "null";
}

std::string JsonAnsi(const std::string& text) {
    return JsonString(Utf8FromAnsi(text));
}

std::string JsonDevice() {
    const FLEET_DEVICE& device = FleetRun.Device;
    if (!device.Found) return "null";
    return "{\"instance_id\": " + JsonText(device.InstanceId) + ", \"hardware_id\": " + JsonText(device.HardwareId) +
           ", \"description\": " + JsonText(device.Description) + ", \"driver_key\": " + JsonText(device.DriverKey) +
           "}";
}

std::string JsonValues(BOOL read, const DRIVER_VALUE (&values)[PHONE_SETTING_COUNT]) {
    if (!read) return "null";
    std::string json = "{";
    for (int i = 0; i < PHONE_SETTING_COUNT; ++i) {
        if (i != 0) json += ", ";
        json += JsonString(PhoneSettings[i].Name) + ": ";
        const DRIVER_VALUE& value = values[i];
        json += value.Present ? "{\"type\": " + std::to_string(value.Type) + ", \"data\": \"" + Hex(value.Data, "") + "\"}"
                              : "null";
    }
    return json + "}";
}

std::string JsonError() {
    const FLEET_ERROR& error = FleetRun.Error;
    if (error.Call == nullptr && error.Detail == nullptr) return "null";
    if (error.Call == nullptr) return "{\"call\": null, \"code\": 0, \"message\": " + JsonString(error.Detail) + "}";
    const std::string message = SystemMessage(error.Code);
    return "{\"call\": " + JsonString(error.Call) + ", \"code\": " + std::to_string(error.Code) +
           ", \"message\": " + (message.empty() ? std::string("null") : JsonAnsi(message)) + "}";
}

std::string JsonLog() {
    const FLEET_LOG& log = FleetRun.Log;
    return "{\"path\": " + (log.Path.empty() ? std::string("null") : JsonAnsi(log.Path)) +
           ", \"written\": " + (log.Written ? "true" : "false") +
           ", \"reason\": " + (log.Written ? std::string("null") : JsonAnsi(log.Reason)) + "}";
}

std::string IsoTime() {
    SYSTEMTIME now;
    GetSystemTime(&now);
    char text[64];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ", now.wYear, now.wMonth, now.wDay, now.wHour,
                  now.wMinute, now.wSecond);
    return text;
}

std::string TypeName(DWORD type) {
    switch (type) {
    case 1: return "REG_SZ";
    case 2: return "REG_EXPAND_SZ";
    case 3: return "REG_BINARY";
    case 4: return "REG_DWORD";
    case 7: return "REG_MULTI_SZ";
    case 11: return "REG_QWORD";
    default: return "type " + std::to_string(type);
    }
}

std::string ShownValue(const DRIVER_VALUE& value) {
    if (!value.Present) return "missing";
    return TypeName(value.Type) + (value.Data.empty() ? std::string(" (empty)") : " " + Hex(value.Data, " "));
}

std::string ShownText(const FLEET_TEXT& text) {
    return text.Known ? text.Text : std::string("(could not be read)");
}

const char* Outcome() {
    const std::string result = FleetRun.Result;
    if (result == "compliant") return "compliant: both values are right";
    if (result == "not-compliant") return "not compliant: apply would write the values";
    if (result == "no-device") return "no Ondavi device is present";
    if (result == "applied") return "applied: both values written and read back";
    if (result == "already-compliant") return "already compliant: nothing written";
    if (result == "failed") return "failed";
    return "cannot be checked";
}

}  // namespace

std::string Utf8FromAnsi(const std::string& text) {
    if (text.empty()) return text;
    const int length = static_cast<int>(text.size());
    const int wideLength = MultiByteToWideChar(CP_ACP, 0, text.data(), length, nullptr, 0);
    if (wideLength <= 0) return std::string();
    std::vector<WCHAR> wide(static_cast<std::size_t>(wideLength));
    MultiByteToWideChar(CP_ACP, 0, text.data(), length, wide.data(), wideLength);
    const int utf8Length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideLength, nullptr, 0, nullptr, nullptr);
    if (utf8Length <= 0) return std::string();
    std::string utf8(static_cast<std::size_t>(utf8Length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideLength, &utf8[0], utf8Length, nullptr, nullptr);
    return utf8;
}

// The system's text for an error code, without its line break; empty when
// the system has none.
std::string SystemMessage(DWORD code) {
    char buffer[512];
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                        buffer, sizeof buffer, nullptr);
    std::string message(buffer, length);
    while (!message.empty() && (message.back() == '\r' || message.back() == '\n' || message.back() == ' ')) {
        message.pop_back();
    }
    return message;
}

std::string JsonDocument(BOOL forLog) {
    std::string json = "{";
    if (forLog) json += "\"time\": \"" + IsoTime() + "\", \"version\": \"" ONDAVIPCI_VERSION "\", ";
    json += std::string("\"verb\": \"") + (FleetRun.Verb == VerbCheck ? "check" : "apply") + "\"";
    json += ", \"result\": \"" + std::string(FleetRun.Result) + "\"";
    json += ", \"exit_code\": " + std::to_string(FleetRun.ExitCode);
    json += ", \"device\": " + JsonDevice();
    json += ", \"values\": " + JsonValues(FleetRun.ValuesRead, FleetRun.Values);
    if (FleetRun.Verb == VerbApply) json += ", \"previous\": " + JsonValues(FleetRun.PreviousRead, FleetRun.Previous);
    json += ", \"error\": " + JsonError();
    if (FleetRun.Verb == VerbApply && !forLog) json += ", \"log\": " + JsonLog();
    return json + "}";
}

void PrintText() {
    const FLEET_DEVICE& device = FleetRun.Device;
    if (device.Found) {
        printf("Device: %s\n", ShownText(device.Description).c_str());
        printf("Hardware ID: %s\n", ShownText(device.HardwareId).c_str());
        printf("Instance ID: %s\n", ShownText(device.InstanceId).c_str());
        printf("Driver key: %s\n", ShownText(device.DriverKey).c_str());
    }
    for (int i = 0; i < PHONE_SETTING_COUNT; ++i) {
        const PHONE_SETTING& setting = PhoneSettings[i];
        const DRIVER_VALUE wanted{TRUE, setting.Type,
                                  std::string(reinterpret_cast<const char*>(setting.Data), setting.Size)};
        if (FleetRun.Verb == VerbApply && FleetRun.PreviousRead && FleetRun.Wrote[i]) {
            printf("%s: was %s; wrote %s; now %s\n", setting.Name, ShownValue(FleetRun.Previous[i]).c_str(),
                   ShownValue(wanted).c_str(),
                   FleetRun.ValuesRead ? ShownValue(FleetRun.Values[i]).c_str() : "(could not be read)");
        } else if (FleetRun.ValuesRead) {
            printf("%s: %s (wanted: %s)\n", setting.Name, ShownValue(FleetRun.Values[i]).c_str(),
                   ShownValue(wanted).c_str());
        } else if (FleetRun.PreviousRead) {
            printf("%s: %s (wanted: %s)\n", setting.Name, ShownValue(FleetRun.Previous[i]).c_str(),
                   ShownValue(wanted).c_str());
        }
    }
    const FLEET_ERROR& error = FleetRun.Error;
    if (error.Call != nullptr) {
        const std::string message = SystemMessage(error.Code);
        printf("Error: %s failed with error %lu (0x%08lX): %s\n", error.Call, static_cast<unsigned long>(error.Code),
               static_cast<unsigned long>(error.Code), message.empty() ? "the system has no message for it" : message.c_str());
    } else if (error.Detail != nullptr) {
        printf("Error: %s\n", error.Detail);
    }
    if (FleetRun.Verb == VerbApply) {
        if (FleetRun.Log.Written) {
            printf("Log: written to %s\n", FleetRun.Log.Path.c_str());
        } else {
            printf("Log: not written: %s\n", FleetRun.Log.Reason.c_str());
        }
    }
    printf("Result: %s (exit code %d)\n", Outcome(), FleetRun.ExitCode);
}

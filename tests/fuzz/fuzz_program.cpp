// Runs the whole program on machines decoded from the fuzzer's input and
// checks that it does exactly what the reference model computes from the
// rules (output, exit status, driver values), besides what must hold after
// every run.
//
// Input format; every field reads as zero once the input runs out:
//   u8 mode: 0 no argument, 1 "a", 2 "A", 3 "d", 4 "D",
//            otherwise u8 length and the bytes of the argument
//   u8 machine faults: bit 0 open_set (u32 code), bit 1 enum (u8 index, u32 code)
//   u8 device count (modulo 9), then for each device:
//     u8 flags: bit 0 absent; two bits each for the hardware IDs (bits 1-2),
//               the description (3-4) and the driver (5-6): 0 missing,
//               1 text (for the hardware IDs: u8 count, then strings),
//               2 or 3 raw bytes with no terminator
//     each text, string or raw value: u16 length and the bytes
//     u8 driver value count (modulo 4), each: u8 name (0 "Enable Phone",
//        1 "Default Phone Mute State", other "Other"), u8 type, u8 length, bytes
//     u8 fault mask: hardware_id, description, driver, open_key, set
//        "Enable Phone", set "Default Phone Mute State", query "Default Phone
//        Mute State", instance_id; a u32 code for each set bit
// Every machine is also given to the fleet tool, check and apply, whose
// exit code, result, failed call and driver values must be the model's.
// Property bytes keep every value but "\n", which becomes "\r", so that the
// program's own line shapes can be told apart from the values inside them.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "tests/model/reference_model.h"
#include "tests/program_run.h"

namespace {

const char* const EnablePhone = "Enable Phone";
const char* const MuteState = "Default Phone Mute State";

class Reader {
public:
    Reader(const uint8_t* data, size_t size) : Data(data), Size(size) {}

    uint8_t Byte() { return Position < Size ? Data[Position++] : 0; }
    uint16_t Word() { return static_cast<uint16_t>(Byte() | Byte() << 8); }
    uint32_t Dword() { return static_cast<uint32_t>(Word()) | static_cast<uint32_t>(Word()) << 16; }

    std::string Bytes(size_t length) {
        std::string bytes;
        while (length-- > 0 && Position < Size) {
            const char c = static_cast<char>(Data[Position++]);
            bytes += c == '\n' ? '\r' : c;
        }
        return bytes;
    }

private:
    const uint8_t* Data;
    size_t Size;
    size_t Position = 0;
};

[[noreturn]] void Broken(const char* invariant, const std::string& output) {
    std::fprintf(stderr, "invariant broken: %s\noutput:\n%s\n", invariant, output.c_str());
    std::abort();
}

std::vector<std::string> DecodeArgs(Reader& in) {
    switch (in.Byte()) {
    case 0: return {};
    case 1: return {"a"};
    case 2: return {"A"};
    case 3: return {"d"};
    case 4: return {"D"};
    default: {
        const std::string argument = in.Bytes(in.Byte());
        return {argument.substr(0, argument.find('\0'))};
    }
    }
}

standin::PropertyValue DecodeProperty(Reader& in, unsigned form, bool list) {
    if (form == 1 && list) {
        std::vector<std::string> strings;
        for (uint8_t count = in.Byte() % 4; count > 0; --count) strings.push_back(in.Bytes(in.Word() % 700));
        return standin::MultiTextProperty(strings);
    }
    std::string bytes = in.Bytes(in.Word() % 700);
    if (form == 1) return standin::TextProperty(bytes);
    return standin::RawProperty(bytes, list ? REG_MULTI_SZ : REG_SZ);
}

standin::Device DecodeDevice(Reader& in) {
    standin::Device device;
    const uint8_t flags = in.Byte();
    device.Present = (flags & 1) == 0;
    std::optional<standin::PropertyValue>* properties[] = {&device.HardwareIds, &device.Description, &device.Driver};
    for (unsigned i = 0; i < 3; ++i) {
        const unsigned form = (flags >> (1 + 2 * i)) & 3;
        if (form != 0) *properties[i] = DecodeProperty(in, form, i == 0);
    }
    for (uint8_t count = in.Byte() % 4; count > 0; --count) {
        const uint8_t name = in.Byte();
        const DWORD type = in.Byte();
        device.DriverValues[name == 0 ? EnablePhone : name == 1 ? MuteState : "Other"] = {type, in.Bytes(in.Byte())};
    }
    const uint8_t faults = in.Byte();
    if (faults & 1) device.Faults.HardwareId = in.Dword();
    if (faults & 2) device.Faults.Description = in.Dword();
    if (faults & 4) device.Faults.Driver = in.Dword();
    if (faults & 8) device.Faults.OpenKey = in.Dword();
    if (faults & 16) device.Faults.SetValue[EnablePhone] = static_cast<LONG>(in.Dword());
    if (faults & 32) device.Faults.SetValue[MuteState] = static_cast<LONG>(in.Dword());
    if (faults & 64) device.Faults.QueryValue[MuteState] = static_cast<LONG>(in.Dword());
    if (faults & 128) device.Faults.InstanceId = in.Dword();
    return device;
}

standin::Machine DecodeMachine(Reader& in) {
    standin::Machine machine;
    const uint8_t faults = in.Byte();
    if (faults & 1) machine.OpenSetFault = in.Dword();
    if (faults & 2) {
        const DWORD index = in.Byte();
        machine.EnumerationFault = standin::EnumFault{index, in.Dword()};
    }
    for (uint8_t count = in.Byte() % 9; count > 0; --count) machine.Devices.push_back(DecodeDevice(in));
    return machine;
}

// The device that "d" may write: the first present one whose first hardware
// ID, as its query returns it, carries the token.
std::optional<size_t> TolvexTarget(const standin::Machine& machine) {
    for (size_t i = 0; i < machine.Devices.size(); ++i) {
        const standin::Device& device = machine.Devices[i];
        if (!device.Present || !device.HardwareIds || device.Faults.HardwareId) continue;
        const std::string& bytes = device.HardwareIds->Bytes;
        if (bytes.size() > 512) continue;
        if (std::string_view(bytes.data(), std::strlen(bytes.c_str())).find("VEN_7F3C") != std::string_view::npos) {
            return i;
        }
    }
    return std::nullopt;
}

bool StartsWith(std::string_view line, std::string_view prefix) {
    return line.substr(0, prefix.size()) == prefix;
}

// A count summary's number, or -1 when the line is not one.
long SummaryCount(std::string_view line) {
    if (line == "No Ondavi Devices found.") return 0;
    size_t digits = 0;
    while (digits < line.size() && line[digits] >= '0' && line[digits] <= '9') ++digits;
    if (digits == 0 || digits > 9) return -1;
    const std::string_view rest = line.substr(digits);
    if (rest != " active Ondavi PCI Device(s) found." && rest != " Ondavi PCI Device(s) found.") return -1;
    return std::strtol(std::string(line.substr(0, digits)).c_str(), nullptr, 10);
}

bool IsProgramLine(std::string_view line) {
    static const char* const fixed[] = {
        "",
        "Finding Ondavi devices present under the PCI Enum tree.",
        "Finding all Ondavi devices ( present or not ) under the PCI Enum tree.",
        "Doing Tolvex registry modifications.",
        "Error: Invalid Handle Value returned from SetupDiGetClassDevs() - 1",
        "Error:SetupDiGetDeviceRegistryProperty( SPDRP_HARDWAREID )",
        "Error:SetupDiGetDeviceRegistryProperty( SPDRP_DEVICEDESC )",
        "Error:SetupDiGetDeviceRegistryProperty( SPDRP_DRIVER )",
        "Error:SetupDiEnumDeviceInfo()",
        "Setting 'Enable Phone' to 0000",
        "Setting 'Default Phone Mute State' to 01",
        "SUCCESS!",
        "Error: Could not make Tolvex registry modifications.",
    };
    for (const char* text : fixed) {
        if (line == text) return true;
    }
    for (std::string_view label : {"HWID:: ", "Device: ", "Driver: "}) {
        if (StartsWith(line, label)) return line.size() - label.size() <= 512;
    }
    return SummaryCount(line) >= 0;
}

std::string Shown(const standin::RegistryValues& values) {
    std::string text;
    for (const auto& [name, value] : values) {
        text += "  " + name + ": type " + std::to_string(value.Type) + ", data";
        for (char c : value.Data) text += " " + std::to_string(static_cast<unsigned char>(c));
        text += "\n";
    }
    return text;
}

void CheckAgainstModel(const ProgramRun& run, const standin::Machine& after, const ExpectedRun& expected) {
    if (run.Output != expected.Output) {
        Broken("the output is the model's", run.Output + "\nthe model's output:\n" + expected.Output);
    }
    if (run.Status != expected.Status) {
        Broken("the exit status is the model's",
               "status " + std::to_string(run.Status) + ", model " + std::to_string(expected.Status));
    }
    for (size_t i = 0; i < after.Devices.size(); ++i) {
        if (after.Devices[i].DriverValues != expected.DriverValues[i]) {
            Broken("the driver values are the model's", "device " + std::to_string(i) + ":\n" +
                                                            Shown(after.Devices[i].DriverValues) + "model:\n" +
                                                            Shown(expected.DriverValues[i]));
        }
    }
}

void CheckOutput(const std::string& output, bool tolvexMode) {
    if (output.find('\0') != std::string::npos) Broken("no NUL in the output", output);
    if (!output.empty() && output.back() != '\n') Broken("the output ends with a line break", output);

    long hwidLines = 0, summaries = 0, summaryCount = -1;
    size_t start = 0;
    while (start < output.size()) {
        const size_t end = output.find('\n', start);
        const std::string_view line(output.data() + start, end - start);
        if (!IsProgramLine(line)) Broken("every line is one of the program's own", output);
        if (StartsWith(line, "HWID:: ")) ++hwidLines;
        if (SummaryCount(line) >= 0) ++summaries, summaryCount = SummaryCount(line);
        start = end + 1;
    }
    if (tolvexMode && (hwidLines != 0 || summaries != 0)) Broken("\"d\" prints no HWID line and no summary", output);
    if (summaries > 1) Broken("at most one summary", output);
    if (summaries == 1 && summaryCount != hwidLines) Broken("the summary counts the HWID lines", output);
}

void CheckDriverValues(const standin::Machine& before, const standin::Machine& after, bool tolvexMode,
                       const std::string& output) {
    const std::optional<size_t> target = TolvexTarget(before);
    for (size_t i = 0; i < before.Devices.size(); ++i) {
        const standin::RegistryValues& old = before.Devices[i].DriverValues;
        const standin::RegistryValues& now = after.Devices[i].DriverValues;
        if (now == old) continue;
        if (!tolvexMode) Broken("a listing writes nothing", output);
        if (!target || *target != i) Broken("only the first present vendor device is written", output);
        for (const auto& [name, value] : now) {
            auto previous = old.find(name);
            if (previous != old.end() && previous->second == value) continue;
            if (name == EnablePhone && value == standin::RegistryValue{REG_BINARY, std::string(2, '\0')}) continue;
            if (name == MuteState && value == standin::RegistryValue{REG_BINARY, "\x01"}) continue;
            Broken("only the two values, with their exact types and data, are written", output);
        }
        for (const auto& [name, value] : old) {
            if (now.count(name) == 0) Broken("no value is removed", output);
        }
    }
}

bool ValidUtf8(const std::string& text) {
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const size_t length = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 0;
        if (length == 0 || i + length > text.size()) return false;
        for (size_t k = 1; k < length; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
        }
        i += length;
    }
    return true;
}

// The member's text as the JSON line shows it: "name": "text" or "name": N.
std::string Member(const std::string& json, const std::string& name) {
    const std::string key = "\"" + name + "\": ";
    const size_t at = json.find(key);
    if (at == std::string::npos) return "(missing)";
    const size_t start = at + key.size();
    if (json.compare(start, 1, "\"") == 0) return json.substr(start + 1, json.find('"', start + 1) - start - 1);
    return json.substr(start, json.find_first_of(",}", start) - start);
}

std::string FailedCall(const std::string& json) {
    const size_t at = json.find("\"error\": {\"call\": \"");
    if (at == std::string::npos) return std::string();
    const size_t start = at + std::strlen("\"error\": {\"call\": \"");
    return json.substr(start, json.find('"', start) - start);
}

void CheckFleet(const standin::Machine& machine, const char* verb) {
    const ProgramRun run = RunFleetOn(machine, {verb, "--json"});
    const ExpectedFleetRun expected = ModelFleetRun(machine, verb);
    const std::string& out = run.Output;
    const standin::OpenHandles open = standin::Open();
    if (open.Keys != 0 || open.DeviceSets != 0 || open.Files != 0 || open.LocalMemory != 0) {
        Broken("the fleet tool closes and frees everything", out);
    }
    if (out.empty() || out.front() != '{' || out.find('\n') != out.size() - 1) Broken("one JSON line", out);
    if (!ValidUtf8(out)) Broken("the JSON is UTF-8", out);
    if (run.Status != expected.ExitCode) {
        Broken("the fleet exit code is the model's", out + "model: " + std::to_string(expected.ExitCode));
    }
    if (Member(out, "exit_code") != std::to_string(run.Status)) Broken("exit_code is the exit code", out);
    if (Member(out, "result") != expected.Result) Broken("the fleet result is the model's", out + "model: " + expected.Result);
    if (FailedCall(out) != expected.FailedCall) {
        Broken("the failed call is the model's", out + "model: " + expected.FailedCall);
    }
    for (size_t i = 0; i < machine.Devices.size(); ++i) {
        if (standin::Current().Devices[i].DriverValues != expected.DriverValues[i]) {
            Broken("the fleet tool's driver values are the model's",
                   out + "device " + std::to_string(i) + ":\n" + Shown(standin::Current().Devices[i].DriverValues) +
                       "model:\n" + Shown(expected.DriverValues[i]));
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader in(data, size);
    const std::vector<std::string> args = DecodeArgs(in);
    const standin::Machine machine = DecodeMachine(in);
    const bool tolvexMode = !args.empty() && (args[0] == "d" || args[0] == "D");

    const ProgramRun run = RunProgramOn(machine, args);

    if (run.Status != 0 && run.Status != 1) Broken("the exit status is 0 or 1", run.Output);
    if (standin::Open().Keys != 0) Broken("every key opened is closed", run.Output);
    if (standin::Open().DeviceSets != 0) Broken("the set is destroyed", run.Output);
    CheckOutput(run.Output, tolvexMode);
    CheckDriverValues(machine, standin::Current(), tolvexMode, run.Output);
    CheckAgainstModel(run, standin::Current(), ModelRun(machine, args));
    CheckFleet(machine, "check");
    CheckFleet(machine, "apply");
    return 0;
}

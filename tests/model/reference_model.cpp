// The rules of a run, written out plainly. The platform's side follows the
// machine's description: a query returns the stored bytes when they fit in
// 512 bytes; a failed call leaves its code as the last error (a forced fault's
// code, 13 for a missing property, 122 for one too long, 259 past the last
// device, 0xE0000204 for a device without a driver key); opening a driver key
// clears the code; registry writes never touch it.
#include "tests/model/reference_model.h"

#include <optional>

namespace {

enum class Mode { Present, All, Tolvex };

const std::string Token = "VEN_7F3C";
const unsigned BufferSize = 512;
const unsigned NoMoreItems = 259;

struct Query {
    bool Ok;
    std::string Text;  // what the program may show: the bytes up to the first NUL
};

class Run {
public:
    Run(const standin::Machine& machine, const std::vector<std::string>& args) : Machine(machine) {
        Result.DriverValues.reserve(machine.Devices.size());
        for (const auto& device : machine.Devices) Result.DriverValues.push_back(device.DriverValues);
        ChooseMode(args);
    }

    ExpectedRun Go() {
        Print(Opening);
        if (Machine.OpenSetFault) {
            Print("Error: Invalid Handle Value returned from SetupDiGetClassDevs() - 1\n");
            Result.Status = 1;
            return Result;
        }
        const int count = Walk();
        if (LastError != 0 && LastError != NoMoreItems) {
            Print("Error:SetupDiEnumDeviceInfo()\n");
            Result.Status = 1;
            return Result;
        }
        if (LastError == NoMoreItems && Chosen != Mode::Tolvex) {
            if (count == 0) Print("No Ondavi Devices found.\n\n");
            else if (Chosen == Mode::All) Print(std::to_string(count) + " Ondavi PCI Device(s) found.\n\n");
            else Print(std::to_string(count) + " active Ondavi PCI Device(s) found.\n\n");
        }
        return Result;
    }

private:
    void ChooseMode(const std::vector<std::string>& args) {
        if (args.empty()) {
            Opening = "\nFinding Ondavi devices present under the PCI Enum tree.\n\n";
        } else if (args[0] == "a" || args[0] == "A") {
            Chosen = Mode::All;
            Opening = "\nFinding all Ondavi devices ( present or not ) under the PCI Enum tree.\n\n";
        } else if (args[0] == "d" || args[0] == "D") {
            Chosen = Mode::Tolvex;
            Opening = "\nDoing Tolvex registry modifications.\n\n";
        }
    }

    void Print(const std::string& text) { Result.Output += text; }

    // The devices the set holds, in order: all of them, or the present ones.
    std::vector<std::size_t> Members() const {
        std::vector<std::size_t> members;
        for (std::size_t i = 0; i < Machine.Devices.size(); ++i) {
            if (Chosen == Mode::All || Machine.Devices[i].Present) members.push_back(i);
        }
        return members;
    }

    Query Property(const std::optional<standin::PropertyValue>& value, const std::optional<DWORD>& fault) {
        if (fault) return Fail(*fault);
        if (!value) return Fail(13);
        if (value->Bytes.size() > BufferSize) return Fail(122);
        return {true, value->Bytes.substr(0, value->Bytes.find('\0'))};
    }

    Query Fail(DWORD code) {
        LastError = code;
        return {false, ""};
    }

    int Walk() {
        const std::vector<std::size_t> members = Members();
        int count = 0;
        for (std::size_t index = 0;; ++index) {
            const auto& fault = Machine.EnumerationFault;
            if (fault && fault->Index == index) return LastError = fault->Code, count;
            if (index >= members.size()) return LastError = NoMoreItems, count;

            const std::size_t device = members[index];
            const Query ids = Property(Machine.Devices[device].HardwareIds, Machine.Devices[device].Faults.HardwareId);
            if (!ids.Ok) {
                Print("Error:SetupDiGetDeviceRegistryProperty( SPDRP_HARDWAREID )\n");
                return count;
            }
            if (ids.Text.find(Token) == std::string::npos) continue;

            ++count;
            if (Chosen == Mode::Tolvex) {
                Report(device);
                Print(WritePhoneSettings(device) ? "SUCCESS!\n\n"
                                                 : "Error: Could not make Tolvex registry modifications.\n\n");
                return count;
            }
            Print("HWID:: " + ids.Text + "\n");
            Report(device);
        }
    }

    void Report(std::size_t index) {
        const standin::Device& device = Machine.Devices[index];
        const Query description = Property(device.Description, device.Faults.Description);
        if (!description.Ok) Print("Error:SetupDiGetDeviceRegistryProperty( SPDRP_DEVICEDESC )\n");
        Print("Device: " + description.Text + "\n");
        const Query driver = Property(device.Driver, device.Faults.Driver);
        if (!driver.Ok) Print("Error:SetupDiGetDeviceRegistryProperty( SPDRP_DRIVER )\n");
        Print("Driver: " + driver.Text + "\n\n");
    }

    bool WritePhoneSettings(std::size_t index) {
        const standin::Device& device = Machine.Devices[index];
        if (device.Faults.OpenKey) return Fail(*device.Faults.OpenKey), false;
        if (!device.Driver) return Fail(0xE0000204), false;
        LastError = 0;
        if (!Write(index, "Enable Phone", std::string(2, '\0'))) return false;
        Print("Setting 'Enable Phone' to 0000\n\n");
        if (!Write(index, "Default Phone Mute State", "\x01")) return false;
        Print("Setting 'Default Phone Mute State' to 01\n\n");
        return true;
    }

    // A forced fault's code is the write's result; it stores nothing, and a
    // code of 0 reads as success.
    bool Write(std::size_t index, const std::string& name, const std::string& data) {
        const auto& faults = Machine.Devices[index].Faults.SetValue;
        const auto fault = faults.find(name);
        if (fault != faults.end()) return fault->second == 0;
        Result.DriverValues[index][name] = standin::RegistryValue{REG_BINARY, data};
        return true;
    }

    const standin::Machine& Machine;
    Mode Chosen = Mode::Present;
    std::string Opening;
    DWORD LastError = 0;
    ExpectedRun Result;
};

}  // namespace

ExpectedRun ModelRun(const standin::Machine& machine, const std::vector<std::string>& args) {
    return Run(machine, args).Go();
}

// The fleet tool's rules. The device is the one "d" finds; a walk that ends
// with 259 finds none, any other failure on the way is an error. A read
// value whose forced fault is 2 is absent, 0 reads as an empty value of
// type 0, anything else is an error. A write whose forced fault is 0 reads
// as success and stores nothing.
namespace {

struct FleetModel {
    const standin::Machine& Machine;
    const bool Apply;
    ExpectedFleetRun Result;

    void End(int exitCode, const char* result, const char* failedCall = "") {
        Result.ExitCode = exitCode;
        Result.Result = result;
        Result.FailedCall = failedCall;
    }
    void Error(const char* call) { Apply ? End(1603, "failed", call) : End(3, "error", call); }

    // The device's index, or -1 with the outcome set.
    long Find() {
        if (Machine.OpenSetFault) return Error("SetupDiGetClassDevsA"), -1;
        std::vector<std::size_t> present;
        for (std::size_t i = 0; i < Machine.Devices.size(); ++i) {
            if (Machine.Devices[i].Present) present.push_back(i);
        }
        for (std::size_t index = 0;; ++index) {
            const auto& fault = Machine.EnumerationFault;
            const bool faulted = fault && fault->Index == index;
            if ((faulted && fault->Code == NoMoreItems) || (!faulted && index >= present.size())) {
                return End(2, "no-device"), -1;
            }
            if (faulted) return Error("SetupDiEnumDeviceInfo"), -1;
            const standin::Device& device = Machine.Devices[present[index]];
            if (device.Faults.HardwareId || !device.HardwareIds || device.HardwareIds->Bytes.size() > BufferSize) {
                return Error("SetupDiGetDeviceRegistryPropertyA"), -1;
            }
            const std::string& bytes = device.HardwareIds->Bytes;
            if (bytes.substr(0, bytes.find('\0')).find(Token) != std::string::npos) return static_cast<long>(present[index]);
        }
    }

    // FALSE on a read error. values: name -> value, absent names left out.
    bool Read(std::size_t device, standin::RegistryValues& values) {
        values.clear();
        const standin::Device& d = Machine.Devices[device];
        for (const char* name : {"Enable Phone", "Default Phone Mute State"}) {
            const auto fault = d.Faults.QueryValue.find(name);
            if (fault != d.Faults.QueryValue.end()) {
                if (fault->second == 0) values[name] = standin::RegistryValue{0, ""};
                else if (fault->second != 2) return false;
                continue;
            }
            const auto stored = Result.DriverValues[device].find(name);
            if (stored != Result.DriverValues[device].end()) values[name] = stored->second;
        }
        return true;
    }

    static bool Compliant(const standin::RegistryValues& values) {
        const auto enable = values.find("Enable Phone");
        const auto mute = values.find("Default Phone Mute State");
        return enable != values.end() && enable->second == standin::RegistryValue{REG_BINARY, std::string(2, '\0')} &&
               mute != values.end() && mute->second == standin::RegistryValue{REG_BINARY, "\x01"};
    }

    void Go() {
        for (const auto& device : Machine.Devices) Result.DriverValues.push_back(device.DriverValues);
        const long found = Find();
        if (found < 0) return;
        const auto device = static_cast<std::size_t>(found);
        const standin::Device& d = Machine.Devices[device];
        if (d.Faults.OpenKey || !d.Driver) return Error("SetupDiOpenDevRegKey");
        standin::RegistryValues values;
        if (!Read(device, values)) return Error("RegQueryValueExA");
        if (Compliant(values)) return Apply ? End(0, "already-compliant") : End(0, "compliant");
        if (!Apply) return End(1, "not-compliant");

        const std::pair<const char*, std::string> writes[] = {{"Enable Phone", std::string(2, '\0')},
                                                              {"Default Phone Mute State", "\x01"}};
        for (const auto& [name, data] : writes) {
            const auto fault = d.Faults.SetValue.find(name);
            if (fault != d.Faults.SetValue.end()) {
                if (fault->second != 0) return Error("RegSetValueExA");
                continue;
            }
            Result.DriverValues[device][name] = standin::RegistryValue{REG_BINARY, data};
        }
        if (!Read(device, values)) return Error("RegQueryValueExA");
        if (!Compliant(values)) return End(1603, "failed");
        End(0, "applied");
    }
};

}  // namespace

ExpectedFleetRun ModelFleetRun(const standin::Machine& machine, const std::string& verb) {
    FleetModel model{machine, verb == "apply", {}};
    model.Go();
    return model.Result;
}

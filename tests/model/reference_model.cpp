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

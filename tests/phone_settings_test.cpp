#include <gtest/gtest.h>

#include "tests/program_run.h"

using standin::Device;
using standin::Machine;
using standin::RegistryValue;
using standin::RegistryValues;

namespace {

const std::string Opening = "\nDoing Tolvex registry modifications.\n\n";
const std::string EnableLine = "Setting 'Enable Phone' to 0000\n\n";
const std::string MuteLine = "Setting 'Default Phone Mute State' to 01\n\n";
const std::string Success = "SUCCESS!\n\n";
const std::string Failure = "Error: Could not make Tolvex registry modifications.\n\n";
const std::string WalkError = "Error:SetupDiEnumDeviceInfo()\n";

const RegistryValue EnablePhone{REG_BINARY, std::string(2, '\0')};
const RegistryValue MuteState{REG_BINARY, "\x01"};
const RegistryValue Existing{REG_DWORD, std::string("\x07\0\0\0", 4)};

// The first vendor device's report in this mode: no HWID line.
std::string Report(const std::string& name, int number) {
    const std::string block = VendorBlock(name, number);
    return block.substr(block.find("Device: "));
}

// Another vendor's device, an absent vendor device, the target with a value
// of its own and an older "Enable Phone", and a later present vendor device.
Machine TargetMachine(void (*change)(Device& target) = nullptr) {
    Device target = VendorDevice("Target", 2);
    target.DriverValues = {{"Existing", Existing}, {"Enable Phone", {REG_DWORD, "\xff\xff\xff\xff"}}};
    if (change != nullptr) change(target);
    return MachineOf({OtherDevice("Bridge", 1), VendorDevice("Absent", 1, false), target, VendorDevice("Later", 3)});
}

const RegistryValues TargetBefore = {{"Existing", Existing}, {"Enable Phone", {REG_DWORD, "\xff\xff\xff\xff"}}};

struct TolvexCase {
    const char* Name;
    Machine Target;
    std::vector<std::string> Args;
    std::string Output;
    int Status;
    RegistryValues TargetValues;  // of device 2; every other device's must stay as they were
};

TEST(TolvexModificationsTest, WritesOnlyTheFirstPresentVendorDevice) {
    const RegistryValues written = {{"Existing", Existing}, {"Enable Phone", EnablePhone}, {"Default Phone Mute State", MuteState}};
    const TolvexCase cases[] = {
        {"both values written", TargetMachine(), {"d"}, Opening + Report("Target", 2) + EnableLine + MuteLine + Success, 0, written},
        {"upper-case D", TargetMachine(), {"D"}, Opening + Report("Target", 2) + EnableLine + MuteLine + Success, 0, written},
        {"extra arguments ignored", TargetMachine(), {"d", "a"}, Opening + Report("Target", 2) + EnableLine + MuteLine + Success, 0, written},
        {"key cannot be opened", TargetMachine([](Device& d) { d.Faults.OpenKey = 5; }), {"d"},
         Opening + Report("Target", 2) + Failure + WalkError, 1, TargetBefore},
        {"device without driver key", TargetMachine([](Device& d) { d.Driver.reset(); }), {"d"},
         Opening + "Device: Target\nError:SetupDiGetDeviceRegistryProperty( SPDRP_DRIVER )\nDriver: \n\n" + Failure + WalkError, 1,
         TargetBefore},
        {"first write fails", TargetMachine([](Device& d) { d.Faults.SetValue = {{"Enable Phone", 5}}; }), {"d"},
         Opening + Report("Target", 2) + Failure, 0, TargetBefore},
        {"second write fails", TargetMachine([](Device& d) { d.Faults.SetValue = {{"Default Phone Mute State", 1450}}; }), {"d"},
         Opening + Report("Target", 2) + EnableLine + Failure, 0,
         {{"Existing", Existing}, {"Enable Phone", EnablePhone}}},
        {"description fails, values still written", TargetMachine([](Device& d) { d.Faults.Description = 13; }), {"d"},
         Opening + "Error:SetupDiGetDeviceRegistryProperty( SPDRP_DEVICEDESC )\nDevice: \n" +
             Report("Target", 2).substr(Report("Target", 2).find("Driver: ")) + EnableLine + MuteLine + Success,
         0, written},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const ProgramRun run = RunProgramOn(c.Target, c.Args);
        EXPECT_EQ(run.Output, c.Output);
        EXPECT_EQ(run.Status, c.Status);
        const auto& devices = standin::Current().Devices;
        EXPECT_EQ(devices[2].DriverValues, c.TargetValues);
        for (std::size_t i : {0u, 1u, 3u}) EXPECT_TRUE(devices[i].DriverValues.empty()) << "device " << i;
        EXPECT_EQ(standin::Open().Keys, 0u);
        EXPECT_EQ(standin::Open().DeviceSets, 0u);
    }
}

TEST(TolvexModificationsTest, NothingToConfigure) {
    Machine hardwareIdFails = TargetMachine();
    hardwareIdFails.Devices[0].Faults.HardwareId = 31;
    const struct {
        const char* Name;
        Machine Target;
        std::string Output;
        int Status;
    } cases[] = {
        {"no devices", MachineOf({}), Opening, 0},
        {"only absent and other vendors' devices", MachineOf({OtherDevice("Bridge", 1), VendorDevice("Absent", 1, false)}), Opening, 0},
        {"hardware ID fails before any match", hardwareIdFails,
         Opening + "Error:SetupDiGetDeviceRegistryProperty( SPDRP_HARDWAREID )\n" + WalkError, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const ProgramRun run = RunProgramOn(c.Target, {"d"});
        EXPECT_EQ(run.Output, c.Output);
        EXPECT_EQ(run.Status, c.Status);
        const auto& devices = standin::Current().Devices;
        ASSERT_EQ(devices.size(), c.Target.Devices.size());
        for (std::size_t i = 0; i < devices.size(); ++i) {
            EXPECT_EQ(devices[i].DriverValues, c.Target.Devices[i].DriverValues) << "device " << i;
        }
        EXPECT_EQ(standin::Open().Keys, 0u);
    }
}

TEST(TolvexModificationsTest, SecondRunWritesTheSameAgain) {
    standin::Load(TargetMachine());
    const ProgramRun first = RunProgram({"d"});
    const RegistryValues afterFirst = standin::Current().Devices[2].DriverValues;
    const ProgramRun second = RunProgram({"d"});

    EXPECT_EQ(second.Output, first.Output);
    EXPECT_EQ(second.Status, 0);
    EXPECT_EQ(standin::Current().Devices[2].DriverValues, afterFirst);
    EXPECT_EQ(standin::Open().Keys, 0u);
}

}  // namespace

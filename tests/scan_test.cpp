#include <gtest/gtest.h>

#include "tests/program_run.h"

using standin::Device;
using standin::Machine;

namespace {

const char* const HardwareIdError = "Error:SetupDiGetDeviceRegistryProperty( SPDRP_HARDWAREID )\n";
const char* const WalkError = "Error:SetupDiEnumDeviceInfo()\n";
const char* const OpenSetError = "Error: Invalid Handle Value returned from SetupDiGetClassDevs() - 1\n";

// One present and one absent vendor device, and another vendor's device.
Machine MixedMachine() {
    return MachineOf({VendorDevice("Phone One", 1), OtherDevice("Bridge", 1), VendorDevice("Phone Two", 2, false)});
}

struct ModeCase {
    const char* Name;
    std::vector<std::string> Args;
    std::string Expected;
};

TEST(RunModeTest, FirstArgumentChoosesModeOpeningAndDevices) {
    const std::string present = VendorBlock("Phone One", 1) + "1 active Ondavi PCI Device(s) found.\n\n";
    const std::string all =
        VendorBlock("Phone One", 1) + VendorBlock("Phone Two", 2) + "2 Ondavi PCI Device(s) found.\n\n";
    const ModeCase cases[] = {
        {"no argument", {}, PresentOpening + present},
        {"a", {"a"}, AllOpening + all},
        {"upper-case A", {"A"}, AllOpening + all},
        {"a with extra arguments", {"a", "x", "d"}, AllOpening + all},
        {"unrecognised letter", {"x"}, present},
        {"empty argument", {""}, present},
        {"dash a", {"-a"}, present},
        {"slash a", {"/a"}, present},
        {"longer word starting with a", {"all"}, present},
        {"two letters", {"ad"}, present},
        {"dash d", {"-d"}, present},
        {"d twice", {"dd"}, present},
        {"a only as second argument", {"x", "a"}, present},
        {"non-ASCII letter", {"\xe1"}, present},
        {"very long argument", {std::string(100000, 'a')}, present},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const ProgramRun run = RunProgramOn(MixedMachine(), c.Args);
        EXPECT_EQ(run.Output, c.Expected);
        EXPECT_EQ(run.Status, 0);
        EXPECT_EQ(standin::Open().DeviceSets, 0u);
    }
}

struct MatchCase {
    const char* Name;
    std::vector<std::string> HardwareIds;
    bool Matches;
};

TEST(VendorMatchTest, TokenMustBeInFirstHardwareIdExactly) {
    const MatchCase cases[] = {
        {"after the bus prefix", {"PCI\\VEN_7F3C&DEV_0001"}, true},
        {"whole ID is the token", {"VEN_7F3C"}, true},
        {"outside the bus prefix", {"PCI\\VEN_8086&DEV_1234&SUBSYS_VEN_7F3C"}, true},
        {"lower case", {"PCI\\ven_7f3c&DEV_0001"}, false},
        {"mixed case", {"PCI\\VEN_7f3C&DEV_0001"}, false},
        {"only in the second ID", {"PCI\\VEN_8086&DEV_1234", "PCI\\VEN_7F3C&DEV_0001"}, false},
        {"truncated token", {"PCI\\VEN_7F3"}, false},
        {"other vendor", {"PCI\\VEN_7F3D&DEV_0001"}, false},
        {"empty list", {}, false},
        {"empty first ID", {"", "PCI\\VEN_7F3C"}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const Device device = MakeDevice(c.HardwareIds, "Desc", "Drv");
        const ProgramRun run = RunProgramOn(MachineOf({device}), {});
        const std::string expected =
            c.Matches ? "HWID:: " + (c.HardwareIds.empty() ? std::string() : c.HardwareIds[0]) +
                            "\nDevice: Desc\nDriver: Drv\n\n1 active Ondavi PCI Device(s) found.\n\n"
                      : std::string("No Ondavi Devices found.\n\n");
        EXPECT_EQ(run.Output, PresentOpening + expected);
        EXPECT_EQ(run.Status, 0);
    }
}

TEST(ListingTest, BlocksInEnumerationOrderThenSummary) {
    const Machine three = MachineOf(
        {VendorDevice("A", 1), OtherDevice("X", 1), VendorDevice("B", 2, false), VendorDevice("C", 3, false)});
    const struct {
        const char* Name;
        Machine Target;
        std::vector<std::string> Args;
        std::string Expected;
    } cases[] = {
        {"no devices", MachineOf({}), {}, PresentOpening + "No Ondavi Devices found.\n\n"},
        {"no vendor device, all", MachineOf({OtherDevice("X", 1)}), {"a"}, AllOpening + "No Ondavi Devices found.\n\n"},
        {"no vendor device, unrecognised argument", MachineOf({OtherDevice("X", 1)}), {"?"}, "No Ondavi Devices found.\n\n"},
        {"three in all mode", three, {"a"},
         AllOpening + VendorBlock("A", 1) + VendorBlock("B", 2) + VendorBlock("C", 3) +
             "3 Ondavi PCI Device(s) found.\n\n"},
        {"absent ones skipped", three, {}, PresentOpening + VendorBlock("A", 1) + "1 active Ondavi PCI Device(s) found.\n\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const ProgramRun run = RunProgramOn(c.Target, c.Args);
        EXPECT_EQ(run.Output, c.Expected);
        EXPECT_EQ(run.Status, 0);
    }
}

struct EndCase {
    const char* Name;
    Machine Target;
    std::string Expected;  // after the opening line
    int Status;
};

Machine WithEnumFault(Machine machine, DWORD index, DWORD code) {
    machine.EnumerationFault = standin::EnumFault{index, code};
    return machine;
}

Machine WithHardwareIdFault(Machine machine, std::size_t device, DWORD code) {
    machine.Devices[device].Faults.HardwareId = code;
    return machine;
}

TEST(EndCheckTest, LastErrorCodeDecidesSummaryAndStatus) {
    const Machine two = MachineOf({VendorDevice("A", 1), OtherDevice("X", 1), VendorDevice("B", 2)});
    Machine longId = two;
    longId.Devices[1].HardwareIds = standin::MultiTextProperty({std::string(600, 'P')});
    Machine noId = two;
    noId.Devices[1].HardwareIds.reset();
    Machine opened = two;
    opened.OpenSetFault = 5;

    const EndCase cases[] = {
        {"walk ran to its end", two, VendorBlock("A", 1) + VendorBlock("B", 2) + "2 active Ondavi PCI Device(s) found.\n\n", 0},
        {"enumeration stops with 0", WithEnumFault(two, 1, 0), VendorBlock("A", 1), 0},
        {"enumeration fails", WithEnumFault(two, 1, 1167), VendorBlock("A", 1) + WalkError, 1},
        {"enumeration fails on the first", WithEnumFault(two, 0, 1167), WalkError, 1},
        {"hardware ID fails mid-walk", WithHardwareIdFault(two, 1, 31), VendorBlock("A", 1) + HardwareIdError + WalkError, 1},
        {"hardware ID missing", noId, VendorBlock("A", 1) + HardwareIdError + WalkError, 1},
        {"hardware ID over 512 bytes", longId, VendorBlock("A", 1) + HardwareIdError + WalkError, 1},
        {"hardware ID fails leaving 259", WithHardwareIdFault(two, 1, 259),
         VendorBlock("A", 1) + HardwareIdError + "1 active Ondavi PCI Device(s) found.\n\n", 0},
        {"hardware ID fails leaving 0", WithHardwareIdFault(two, 1, 0), VendorBlock("A", 1) + HardwareIdError, 0},
        {"set not opened", opened, OpenSetError, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const ProgramRun run = RunProgramOn(c.Target, {});
        EXPECT_EQ(run.Output, PresentOpening + c.Expected);
        EXPECT_EQ(run.Status, c.Status);
        EXPECT_EQ(standin::Open().DeviceSets, 0u);
        EXPECT_EQ(standin::Open().Keys, 0u);
    }
}

TEST(EndCheckTest, SetNotOpenedWithUnrecognisedArgumentPrintsOnlyTheError) {
    Machine machine;
    machine.OpenSetFault = 1450;
    const ProgramRun run = RunProgramOn(machine, {"z"});
    EXPECT_EQ(run.Output, OpenSetError);
    EXPECT_EQ(run.Status, 1);
}

TEST(RepeatedRunTest, EachRunStartsClean) {
    const Machine failing = WithHardwareIdFault(MachineOf({VendorDevice("A", 1), VendorDevice("B", 2)}), 1, 31);
    const Machine healthy = MachineOf({VendorDevice("C", 3)});
    const std::string healthyOutput = AllOpening + VendorBlock("C", 3) + "1 Ondavi PCI Device(s) found.\n\n";

    const ProgramRun first = RunProgramOn(healthy, {"a"});
    RunProgramOn(failing, {});
    const ProgramRun again = RunProgramOn(healthy, {"a"});

    EXPECT_EQ(first.Output, healthyOutput);
    EXPECT_EQ(again.Output, healthyOutput);
    EXPECT_EQ(again.Status, 0);
    // A second run on the same loaded machine, without reloading it.
    const ProgramRun third = RunProgram({"a"});
    EXPECT_EQ(third.Output, healthyOutput);
    EXPECT_EQ(standin::Open().DeviceSets, 0u);
}

}  // namespace

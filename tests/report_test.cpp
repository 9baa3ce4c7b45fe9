#include <gtest/gtest.h>

#include "device/report.h"
#include "device/scan_context.h"
#include "platform/windows_api.h"
#include "tests/program_run.h"

using standin::Device;
using standin::Machine;
using standin::PropertyValue;
using standin::RawProperty;

namespace {

const char* const DescriptionError = "Error:SetupDiGetDeviceRegistryProperty( SPDRP_DEVICEDESC )\n";
const char* const DriverError = "Error:SetupDiGetDeviceRegistryProperty( SPDRP_DRIVER )\n";
const std::string FirstId = "PCI\\VEN_7F3C&DEV_0001&SUBSYS_00017F3C&REV_01";

Device Vendor() {
    return MakeDevice({FirstId}, "Phone", "{class}\\0001");
}

// The whole output of a no-argument run over these devices, for a single
// matching device with this block.
std::string OneDeviceRun(const std::string& block) {
    return PresentOpening + block + "1 active Ondavi PCI Device(s) found.\n\n";
}

struct ReportCase {
    const char* Name;
    Device Target;
    std::string Block;
};

Device With(Device device, void (*change)(Device&)) {
    change(device);
    return device;
}

TEST(ReportTest, FailedQueryPrintsErrorThenEmptyLabelledLine) {
    const std::string hwid = "HWID:: " + FirstId + "\n";
    const ReportCase cases[] = {
        {"both succeed", Vendor(), hwid + "Device: Phone\nDriver: {class}\\0001\n\n"},
        {"description missing", With(Vendor(), [](Device& d) { d.Description.reset(); }),
         hwid + DescriptionError + "Device: \nDriver: {class}\\0001\n\n"},
        {"description fault", With(Vendor(), [](Device& d) { d.Faults.Description = 31; }),
         hwid + DescriptionError + "Device: \nDriver: {class}\\0001\n\n"},
        {"driver missing", With(Vendor(), [](Device& d) { d.Driver.reset(); }),
         hwid + "Device: Phone\n" + DriverError + "Driver: \n\n"},
        {"both fail", With(Vendor(), [](Device& d) { d.Description.reset(), d.Faults.Driver = 5; }),
         hwid + DescriptionError + "Device: \n" + DriverError + "Driver: \n\n"},
        {"description over 512 bytes", With(Vendor(), [](Device& d) { d.Description = standin::TextProperty(std::string(600, 'x')); }),
         hwid + DescriptionError + "Device: \nDriver: {class}\\0001\n\n"},
        {"empty description", With(Vendor(), [](Device& d) { d.Description = standin::TextProperty(""); }),
         hwid + "Device: \nDriver: {class}\\0001\n\n"},
        {"percent signs print as text", With(Vendor(), [](Device& d) { d.Description = standin::TextProperty("100% %s %n"); }),
         hwid + "Device: 100% %s %n\nDriver: {class}\\0001\n\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const ProgramRun run = RunProgramOn(MachineOf({c.Target}), {});
        EXPECT_EQ(run.Output, OneDeviceRun(c.Block));
        EXPECT_EQ(run.Status, 0);
    }
}

// The platform may hand back text without a terminator. Only the bytes that
// the query returned count, up to the first NUL among them.
TEST(BoundedTextTest, OnlyTheReturnedBytesAreText) {
    const std::string full(512, 'D');
    const std::string hwid = "HWID:: " + FirstId + "\n";
    const ReportCase cases[] = {
        {"511 characters and NUL", With(Vendor(), [](Device& d) { d.Description = standin::TextProperty(std::string(511, 'D')); }),
         hwid + "Device: " + std::string(511, 'D') + "\nDriver: {class}\\0001\n\n"},
        {"512 bytes without NUL", With(Vendor(), [](Device& d) { d.Description = RawProperty(std::string(512, 'D'), REG_SZ); }),
         hwid + "Device: " + full + "\nDriver: {class}\\0001\n\n"},
        {"512 characters and NUL is too long", With(Vendor(), [](Device& d) { d.Description = standin::TextProperty(std::string(512, 'D')); }),
         hwid + DescriptionError + "Device: \nDriver: {class}\\0001\n\n"},
        {"4-byte DWORD after a longer hardware ID", With(Vendor(), [](Device& d) { d.Description = RawProperty("ABCD", REG_DWORD); }),
         hwid + "Device: ABCD\nDriver: {class}\\0001\n\n"},
        {"driver without NUL after a longer description",
         With(Vendor(), [](Device& d) { d.Description = standin::TextProperty(std::string(300, 'L')); d.Driver = RawProperty("{c}", REG_SZ); }),
         hwid + "Device: " + std::string(300, 'L') + "\nDriver: {c}\n\n"},
        {"1 byte without NUL", With(Vendor(), [](Device& d) { d.Description = RawProperty("X", REG_SZ); }),
         hwid + "Device: X\nDriver: {class}\\0001\n\n"},
        {"zero bytes", With(Vendor(), [](Device& d) { d.Driver = RawProperty("", REG_SZ); }),
         hwid + "Device: Phone\nDriver: \n\n"},
        {"NUL inside the value", With(Vendor(), [](Device& d) { d.Description = RawProperty(std::string("Pho\0ne", 6), REG_SZ); }),
         hwid + "Device: Pho\nDriver: {class}\\0001\n\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const ProgramRun run = RunProgramOn(MachineOf({c.Target}), {});
        EXPECT_EQ(run.Output, OneDeviceRun(c.Block));
    }
}

// On a console the property lines are written as characters (the stand-in
// shows them in UTF-8), converted from the ANSI code page, each "\n" as
// "\r\n"; to a file or a pipe the bytes are the property's own.
TEST(ConsoleTextTest, PropertyLinesReachAConsoleAsCharacters) {
    const std::string description = "T\xe9l\xe9phone Ondavi \x99 100% %s";
    const Device vendor = MakeDevice({FirstId}, description, "{class}\\0001");
    const struct {
        const char* Name;
        bool Console;
        std::string Output;
    } cases[] = {
        {"a console", true,
         PresentOpening + "HWID:: " + FirstId + "\r\n" + "Device: T\u00e9l\u00e9phone Ondavi \u2122 100% %s\r\n" +
             "Driver: {class}\\0001\r\n\r\n" + "1 active Ondavi PCI Device(s) found.\n\n"},
        {"a file or a pipe", false,
         PresentOpening + "HWID:: " + FirstId + "\n" + "Device: " + description + "\n" +
             "Driver: {class}\\0001\n\n" + "1 active Ondavi PCI Device(s) found.\n\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        Machine machine = MachineOf({vendor});
        machine.Console = c.Console;
        const ProgramRun run = RunProgramOn(machine, {});
        EXPECT_EQ(run.Output, c.Output);
        EXPECT_EQ(run.Status, 0);
    }
}

// Whether standard output is a console is asked of the platform, which sets
// the last-error code when it is not one; the end check of the walk reads
// that code, so a property line keeps it.
TEST(ConsoleTextTest, APropertyLineKeepsTheLastErrorCode) {
    for (bool console : {false, true}) {
        SCOPED_TRACE(console ? "a console" : "a file");
        Machine machine = MachineOf({});
        machine.Console = console;
        standin::Load(machine);
        ResetScanContext();
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        PrintPropertyLine("Test output, a property line: ", "\n");
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    }
}

Device RawHardwareId(const std::string& bytes, const std::string& description) {
    Device device = MakeDevice({}, description, "{class}\\" + description);
    device.HardwareIds = RawProperty(bytes, REG_MULTI_SZ);
    return device;
}

TEST(BoundedTextTest, HardwareIdWithoutTerminator) {
    // Each device that does not match leaves bytes in the buffer that the
    // next, shorter value without terminator would run into.
    const Device tokenInSecondId = MakeDevice({"AAAA", "PCI\\VEN_7F3C"}, "Stale", "d");
    const Device tokenAfterFirstId = RawHardwareId(std::string("a\0", 2) + std::string(508, 'R') + "3C", "Stale2");
    const Device longFirstId = MakeDevice({std::string(16, 'A')}, "Stale3", "d");

    const ProgramRun run = RunProgramOn(
        MachineOf({tokenInSecondId, RawHardwareId("ABCDE", "RunsIntoOldSecondId"),
                   tokenAfterFirstId, RawHardwareId(std::string(504, 'Q') + "VEN_7F", "RunsIntoOldBytes"),
                   RawHardwareId(std::string(504, 'Q') + "VEN_7F3C", "Full"),
                   longFirstId, RawHardwareId("VEN_7F3C", "Short")}),
        {});
    EXPECT_EQ(run.Output, PresentOpening + "HWID:: " + std::string(504, 'Q') + "VEN_7F3C\nDevice: Full\nDriver: {class}\\Full\n\n" +
                              "HWID:: VEN_7F3C\nDevice: Short\nDriver: {class}\\Short\n\n" +
                              "2 active Ondavi PCI Device(s) found.\n\n");
}

}  // namespace

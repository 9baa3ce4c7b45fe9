#include "tests/program_run.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

#include "fleet/fleet.h"
#include "scan/scan.h"

const std::string PresentOpening = "\nFinding Ondavi devices present under the PCI Enum tree.\n\n";
const std::string AllOpening = "\nFinding all Ondavi devices ( present or not ) under the PCI Enum tree.\n\n";

namespace {

ProgramRun Run(int (*entry)(int, char**), const char* name, const std::vector<std::string>& args) {
    std::vector<std::string> storage{name};
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& arg : storage) argv.push_back(arg.data());
    argv.push_back(nullptr);

    char *buffer = nullptr, *errorBuffer = nullptr;
    std::size_t size = 0, errorSize = 0;
    std::fflush(stdout);
    std::fflush(stderr);
    FILE* const console = stdout;
    FILE* const errors = stderr;
    stdout = open_memstream(&buffer, &size);
    stderr = open_memstream(&errorBuffer, &errorSize);
    ProgramRun run;
    run.Status = entry(static_cast<int>(storage.size()), argv.data());
    std::fclose(stdout);
    std::fclose(stderr);
    stdout = console;
    stderr = errors;
    run.Output.assign(buffer, size);
    run.Errors.assign(errorBuffer, errorSize);
    std::free(buffer);
    std::free(errorBuffer);
    return run;
}

}  // namespace

ProgramRun RunProgram(const std::vector<std::string>& args) {
    return Run(OndavipciMain, "ondavipci", args);
}

ProgramRun RunFleet(const std::vector<std::string>& args) {
    return Run(FleetMain, "ondavipci-fleet", args);
}

ProgramRun RunFleetOn(const standin::Machine& machine, const std::vector<std::string>& args) {
    standin::Load(machine);
    return RunFleet(args);
}

standin::Machine MachineOf(std::vector<standin::Device> devices) {
    standin::Machine machine;
    machine.Devices = std::move(devices);
    return machine;
}

ProgramRun RunProgramOn(const standin::Machine& machine, const std::vector<std::string>& args) {
    standin::Load(machine);
    return RunProgram(args);
}

standin::Device MakeDevice(const std::vector<std::string>& hardwareIds, const std::string& description,
                           const std::string& driver, bool present) {
    standin::Device device;
    device.Present = present;
    device.HardwareIds = standin::MultiTextProperty(hardwareIds);
    device.Description = standin::TextProperty(description);
    device.Driver = standin::TextProperty(driver);
    return device;
}

namespace {

std::string Hex4(int number) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", number & 0xFFFF);
    return text;
}

std::string DriverName(int number) {
    return "{4d36e96c-e325-11ce-bfc1-08002be10318}\\" + Hex4(number);
}

std::string VendorId(int number) {
    return "PCI\\VEN_7F3C&DEV_" + Hex4(number) + "&SUBSYS_0001" + "7F3C&REV_01";
}

}  // namespace

standin::Device VendorDevice(const std::string& name, int number, bool present) {
    return MakeDevice({VendorId(number), "PCI\\VEN_7F3C&DEV_" + Hex4(number)}, name, DriverName(number), present);
}

standin::Device OtherDevice(const std::string& name, int number) {
    return MakeDevice({"PCI\\VEN_8086&DEV_" + Hex4(number) + "&REV_01"}, name, DriverName(0x100 + number));
}

std::string VendorBlock(const std::string& name, int number) {
    return "HWID:: " + VendorId(number) + "\nDevice: " + name + "\nDriver: " + DriverName(number) + "\n\n";
}

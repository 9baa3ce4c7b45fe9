// Runs the program in this process on a stand-in machine and captures what
// it prints, plus helpers that build machines tersely.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include "platform/standin_machine.h"

struct ProgramRun {
    std::string Output;
    int Status = -1;
    std::string Errors;  // standard error (the fleet tool's usage)
};

// argv is "ondavipci" followed by args.
ProgramRun RunProgram(const std::vector<std::string>& args);
standin::Machine MachineOf(std::vector<standin::Device> devices);
ProgramRun RunProgramOn(const standin::Machine& machine, const std::vector<std::string>& args);

// The same for the fleet tool: argv is "ondavipci-fleet" followed by args.
ProgramRun RunFleet(const std::vector<std::string>& args);
ProgramRun RunFleetOn(const standin::Machine& machine, const std::vector<std::string>& args);

standin::Device MakeDevice(const std::vector<std::string>& hardwareIds, const std::string& description,
                           const std::string& driver, bool present = true);
standin::Device VendorDevice(const std::string& name, int number, bool present = true);
standin::Device OtherDevice(const std::string& name, int number);

// The block that a listing prints for VendorDevice(name, number).
std::string VendorBlock(const std::string& name, int number);

extern const std::string PresentOpening;
extern const std::string AllOpening;

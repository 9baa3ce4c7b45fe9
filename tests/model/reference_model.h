// What a run of ondavipci must do, computed from the rules alone: the exact
// output, the exit status and every device's driver values afterwards, for a
// machine as the stand-in describes it and the command-line arguments.
// It shares nothing with the program but the machine's description.
#pragma once

#include <string>
#include <vector>

#include "platform/standin_machine.h"

struct ExpectedRun {
    std::string Output;
    int Status = 0;
    std::vector<standin::RegistryValues> DriverValues;  // one per device, in machine order
};

ExpectedRun ModelRun(const standin::Machine& machine, const std::vector<std::string>& args);

// What "ondavipci-fleet check" or "apply" must do on the machine: its exit
// code, its result, the call that failed (empty: none) and every device's
// driver values afterwards.
struct ExpectedFleetRun {
    int ExitCode = 0;
    std::string Result;
    std::string FailedCall;
    std::vector<standin::RegistryValues> DriverValues;
};

ExpectedFleetRun ModelFleetRun(const standin::Machine& machine, const std::string& verb);

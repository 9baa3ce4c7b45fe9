// Machine files: a simulated machine as JSON, read strictly so that a typo in
// a fixture fails instead of passing silently.
#pragma once

#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/standin_machine.h"

struct MachineFileError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Throws MachineFileError naming the member at fault.
standin::Machine ParseMachine(const nlohmann::json& file);
nlohmann::json ReadMachineFile(const std::string& path);

// The file as the machine stands now: the input with every device's
// driver_values replaced by the current ones, plus the open handles.
nlohmann::json MachineState(const nlohmann::json& file, const standin::Machine& machine,
                            const standin::OpenHandles& open);

// Writes a state as a state file; false when it cannot be written.
bool WriteStateFile(const std::string& path, const nlohmann::json& state);

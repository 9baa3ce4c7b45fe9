// ondavipci-model: what the reference model says a run of ondavipci must do
// on a machine file, in the simulator's form, so that recorded transcripts
// and the Windows build under Wine are held to the rules and not only to
// the program's own build.
//
//   ondavipci-model [--state-out FILE] MACHINE.json [ARG ...]
//
// Prints the output the model computes and exits with its status; the state
// file is the machine with every device's driver values as the model leaves
// them. Errors of its own: one line on standard error, exit status 2.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tests/model/reference_model.h"
#include "tools/machine_file.h"

namespace {

int Fail(const std::string& message) {
    std::fprintf(stderr, "ondavipci-model: %s\n", message.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    int next = 1;
    const char* stateOut = nullptr;
    if (next + 1 < argc && std::strcmp(argv[next], "--state-out") == 0) {
        stateOut = argv[next + 1];
        next += 2;
    }
    if (next >= argc) return Fail("usage: ondavipci-model [--state-out FILE] MACHINE.json [ARG ...]");
    const std::string machinePath = argv[next++];

    nlohmann::json file;
    standin::Machine machine;
    try {
        file = ReadMachineFile(machinePath);
        machine = ParseMachine(file);
    } catch (const std::exception& error) {
        return Fail(error.what());
    }
    // The model knows the output to a file or a pipe only.
    if (machine.Console) return Fail(machinePath + ": the model does not describe a console");

    const ExpectedRun expected = ModelRun(machine, std::vector<std::string>(argv + next, argv + argc));
    std::fwrite(expected.Output.data(), 1, expected.Output.size(), stdout);
    if (std::fflush(stdout) != 0) return Fail("standard output: write failed");

    if (stateOut != nullptr) {
        for (std::size_t i = 0; i < machine.Devices.size(); ++i) machine.Devices[i].DriverValues = expected.DriverValues[i];
        if (!WriteStateFile(stateOut, MachineState(file, machine, standin::OpenHandles{}))) {
            return Fail(std::string(stateOut) + ": cannot be written");
        }
    }
    return expected.Status;
}

// ondavipci-sim: runs the program, or with --fleet the fleet tool, on a
// simulated machine.
//
//   ondavipci-sim [--fleet] [--state-out FILE] MACHINE.json [ARG ...]
//
// Standard output and the exit status are the program's own. Errors of the
// simulator itself are one line on standard error and exit status 2.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fleet/fleet.h"
#include "scan/scan.h"
#include "tools/machine_file.h"

namespace {

const int SimulatorError = 2;
const char* const Usage = "usage: ondavipci-sim [--fleet] [--state-out FILE] MACHINE.json [ARG ...]";

int Fail(const std::string& message) {
    std::fprintf(stderr, "ondavipci-sim: %s\n", message.c_str());
    return SimulatorError;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::printf("%s\n", Usage);
        return 0;
    }
    int next = 1;
    bool fleet = false;
    if (next < argc && std::strcmp(argv[next], "--fleet") == 0) {
        fleet = true;
        ++next;
    }
    const char* stateOut = nullptr;
    if (next + 1 < argc && std::strcmp(argv[next], "--state-out") == 0) {
        stateOut = argv[next + 1];
        next += 2;
    }
    if (next >= argc) return Fail(Usage);
    const std::string machinePath = argv[next++];

    nlohmann::json file;
    try {
        file = ReadMachineFile(machinePath);
        standin::Load(ParseMachine(file));
    } catch (const MachineFileError& error) {
        return Fail(error.what());
    } catch (const std::exception& error) {
        return Fail(machinePath + ": " + error.what());
    }

    std::vector<char*> programArgv;
    char programName[] = "ondavipci";
    char fleetName[] = "ondavipci-fleet";
    programArgv.push_back(fleet ? fleetName : programName);
    for (int i = next; i < argc; ++i) programArgv.push_back(argv[i]);
    programArgv.push_back(nullptr);

    const int programArgc = static_cast<int>(programArgv.size() - 1);
    const int status = fleet ? FleetMain(programArgc, programArgv.data()) : OndavipciMain(programArgc, programArgv.data());
    if (std::fflush(stdout) != 0) return Fail("standard output: write failed");

    if (stateOut != nullptr) {
        if (!WriteStateFile(stateOut, MachineState(file, standin::Current(), standin::Open()))) {
            return Fail(std::string(stateOut) + ": cannot be written");
        }
    }
    return status;
}

// The simulator as a command: its own errors, and state files that chain.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>

namespace {

struct Command {
    std::string Stdout;
    std::string Stderr;
    int Status = -1;
};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class SimulatorTest : public ::testing::Test {
protected:
    std::string Dir;

    void SetUp() override {
        char pattern[] = "/tmp/ondavipci-sim-test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        Dir = pattern;
    }
    void TearDown() override { std::system(("rm -rf '" + Dir + "'").c_str()); }

    std::string Write(const std::string& name, const std::string& content) {
        const std::string path = Dir + "/" + name;
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }

    // args are passed through the shell as they stand.
    Command Sim(const std::string& args) {
        const std::string out = Dir + "/stdout", err = Dir + "/stderr";
        const int raw = std::system((std::string(ONDAVIPCI_SIM) + " " + args + " >" + out + " 2>" + err).c_str());
        return {ReadFile(out), ReadFile(err), WIFEXITED(raw) ? WEXITSTATUS(raw) : -1};
    }
};

TEST_F(SimulatorTest, OwnErrorsAreOneLineOnStderrAndStatus2) {
    const struct {
        const char* Name;
        std::string Machine;  // empty: no machine file argument at all
        const char* Message;
    } cases[] = {
        {"no machine file", "", "usage:"},
        {"invalid JSON", "{\"devices\": [", "not valid JSON"},
        {"unknown top-level member", R"({"device": []})", "unknown member \"device\""},
        {"unknown device member", R"({"devices": [{"presnt": true}]})", "devices[0]: unknown member \"presnt\""},
        {"unknown fault member", R"({"devices": [{"faults": {"hwid": 5}}]})", "devices[0].faults: unknown member \"hwid\""},
        {"present not a boolean", R"({"devices": [{"present": "yes"}]})", "devices[0].present"},
        {"hardware IDs not strings", R"({"devices": [{"hardware_ids": [5]}]})", "devices[0].hardware_ids[0]"},
        {"description a number", R"({"devices": [{"description": 5}]})", "devices[0].description"},
        {"odd hex", R"({"devices": [{"driver": {"hex": "414"}}]})", "devices[0].driver.hex"},
        {"not hex", R"({"devices": [{"driver": {"hex": "zz"}}]})", "devices[0].driver.hex"},
        {"negative code", R"({"faults": {"open_set": -1}})", "faults.open_set"},
        {"enum fault without code", R"({"faults": {"enum": {"index": 1}}})", "faults.enum"},
        {"driver value without data", R"({"devices": [{"driver_values": {"V": {"type": 3}}}]})", "devices[0].driver_values.V"},
        {"top level not an object", "[]", "expected an object"},
        {"a top-level key twice", R"({"devices": [], "devices": []})", "member \"devices\" given twice"},
        {"a nested key twice", R"({"devices": [{"description": "a", "description": "b"}]})",
         "member \"description\" given twice"},
        {"open_handles not an object", R"({"open_handles": "whatever"})", "open_handles: expected an object"},
        {"console not a boolean", R"({"console": 1})", "console"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const Command run = Sim(c.Machine.empty() ? std::string() : Write("machine.json", c.Machine));
        EXPECT_EQ(run.Status, 2);
        EXPECT_EQ(run.Stdout, "");
        EXPECT_NE(run.Stderr.find(c.Message), std::string::npos) << run.Stderr;
        EXPECT_EQ(run.Stderr.find('\n'), run.Stderr.size() - 1) << "one line: " << run.Stderr;
    }
    const struct {
        const char* Name;
        std::string Path;
        const char* Message;
    } paths[] = {
        {"a missing file", Dir + "/absent.json", "cannot be read"},
        {"a directory", Dir, "is a directory"},
    };
    for (const auto& c : paths) {
        SCOPED_TRACE(c.Name);
        const Command run = Sim(c.Path);
        EXPECT_EQ(run.Status, 2);
        EXPECT_NE(run.Stderr.find(c.Message), std::string::npos) << run.Stderr;
        EXPECT_EQ(run.Stderr.find('\n'), run.Stderr.size() - 1) << "one line: " << run.Stderr;
    }
}

TEST_F(SimulatorTest, HelpPrintsTheUsageAndSucceeds) {
    const Command run = Sim("--help");
    EXPECT_EQ(run.Status, 0);
    EXPECT_EQ(run.Stdout, "usage: ondavipci-sim [--fleet] [--state-out FILE] MACHINE.json [ARG ...]\n");
    EXPECT_EQ(run.Stderr, "");
}

TEST_F(SimulatorTest, PassesArgumentsAndStatusThrough) {
    const std::string machine = Write("m.json", R"({"faults": {"open_set": 5}})");
    const Command run = Sim(machine + " a extra");
    EXPECT_EQ(run.Status, 1);
    EXPECT_EQ(run.Stdout,
              "\nFinding all Ondavi devices ( present or not ) under the PCI Enum tree.\n\n"
              "Error: Invalid Handle Value returned from SetupDiGetClassDevs() - 1\n");
    EXPECT_EQ(run.Stderr, "");
}

TEST_F(SimulatorTest, StateFileIsAMachineFileThatChains) {
    const std::string machine = Write("m.json", R"({"devices": [
        {"hardware_ids": ["PCI\\VEN_7F3C&DEV_0001"], "description": "Phone", "driver": "{c}\\0001",
         "driver_values": {"Existing": {"type": 4, "data": "0A0B0C0D"}}},
        {"present": false, "hardware_ids": {"hex": "4142"}}]})");
    const std::string first = Dir + "/first.json", second = Dir + "/second.json";

    const std::string listing =
        "\nFinding Ondavi devices present under the PCI Enum tree.\n\n"
        "HWID:: PCI\\VEN_7F3C&DEV_0001\nDevice: Phone\nDriver: {c}\\0001\n\n"
        "1 active Ondavi PCI Device(s) found.\n\n";

    const Command run = Sim("--state-out " + first + " " + machine);
    EXPECT_EQ(run.Stdout, listing);
    EXPECT_EQ(run.Status, 0);
    const Command chained = Sim("--state-out " + second + " " + first);
    EXPECT_EQ(chained.Stdout, listing);
    EXPECT_EQ(chained.Status, 0);

    const std::string state = ReadFile(second);
    EXPECT_NE(state.find("\"data\": \"0a0b0c0d\""), std::string::npos) << state;
    EXPECT_NE(state.find("\"hex\": \"4142\""), std::string::npos) << state;
    EXPECT_NE(state.find("\"present\": false"), std::string::npos) << state;
    EXPECT_NE(state.find("\"open_handles\": {\n    \"device_sets\": 0,\n    \"keys\": 0\n  }"), std::string::npos) << state;
}

}  // namespace

// The fleet tool on stand-in machines: every exit code, every fault point,
// the JSON (parsed) and the log's refusals.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/standin_machine.h"
#include "tests/program_run.h"

using nlohmann::json;

namespace {

const char* const EnablePhone = "Enable Phone";
const char* const MuteState = "Default Phone Mute State";
const standin::RegistryValue EnablePhoneRight{REG_BINARY, std::string(2, '\0')};
const standin::RegistryValue MuteStateRight{REG_BINARY, "\x01"};
const char* const LogFolder = "C:\\ProgramData\\Ondavi\\ondavipci";
const char* const LogPath = "C:\\ProgramData\\Ondavi\\ondavipci\\apply.log";

standin::Device Card(standin::RegistryValues values = {}) {
    standin::Device device = VendorDevice("Ondavi Phone Adapter", 1);
    device.DriverValues = std::move(values);
    return device;
}

standin::RegistryValues Right() {
    return {{EnablePhone, EnablePhoneRight}, {MuteState, MuteStateRight}};
}

json Parsed(const ProgramRun& run) {
    EXPECT_EQ(run.Output.find('\n'), run.Output.size() - 1) << "one line of JSON: " << run.Output;
    try {
        return json::parse(run.Output);
    } catch (const json::exception& error) {
        ADD_FAILURE() << "not JSON: " << error.what() << "\n" << run.Output;
        return json::object();
    }
}

// What a verb must do on a machine: its exit code and JSON result, the call
// that failed (if any) and its code, and the first device's values after.
struct VerbCase {
    const char* Name;
    standin::Machine Machine;
    const char* Verb;
    int ExitCode;
    const char* Result;
    const char* FailedCall;  // null: "error" is null
    DWORD Code;
    std::optional<standin::RegistryValues> ValuesAfter;  // unset: as before
    std::size_t Target = 0;  // the device whose values may change
    bool DeviceFound = true;
};

std::vector<VerbCase> VerbCases() {
    auto withFaults = [](standin::Device device, auto change) {
        change(device.Faults);
        return device;
    };
    standin::Device noDriver = Card();
    noDriver.Driver.reset();
    standin::Machine openSetFault = MachineOf({Card()});
    openSetFault.OpenSetFault = 1450;
    standin::Machine enumFault = MachineOf({OtherDevice("Other", 1), Card()});
    enumFault.EnumerationFault = standin::EnumFault{1, 1167};
    const standin::Device firstWriteFault = withFaults(Card(), [](auto& f) { f.SetValue[EnablePhone] = 5; });
    const standin::Device secondWriteFault = withFaults(Card(), [](auto& f) { f.SetValue[MuteState] = 1450; });
    const standin::Device unreadable = withFaults(Card(), [](auto& f) { f.QueryValue[MuteState] = 5; });
    // A compliant card that refuses every write proves that nothing is written.
    standin::Device compliantReadOnly = withFaults(Card(Right()), [](auto& f) {
        f.SetValue[EnablePhone] = 5;
        f.SetValue[MuteState] = 5;
    });
    // The same bytes under another type.
    const standin::RegistryValues wrongType{{EnablePhone, {REG_SZ, std::string(2, '\0')}}, {MuteState, MuteStateRight}};
    const standin::RegistryValues wrongSize{{EnablePhone, {REG_BINARY, std::string(3, '\0')}}, {MuteState, MuteStateRight}};
    const standin::RegistryValues wrongData{{EnablePhone, EnablePhoneRight}, {MuteState, {REG_BINARY, std::string(1, '\0')}}};
    standin::RegistryValues otherValues = Right();
    otherValues["Existing"] = {REG_DWORD, std::string("\x07\0\0\0", 4)};
    standin::RegistryValues wrongTypeFixed = Right();
    standin::RegistryValues enableOnly{{EnablePhone, EnablePhoneRight}};
    standin::Device absentCard = Card();
    absentCard.Present = false;

    return {
        {"fresh card: check", MachineOf({Card()}), "check", 1, "not-compliant", nullptr, 0, std::nullopt},
        {"fresh card: apply", MachineOf({Card()}), "apply", 0, "applied", nullptr, 0, Right()},
        {"compliant: check", MachineOf({compliantReadOnly}), "check", 0, "compliant", nullptr, 0, std::nullopt},
        {"compliant: apply writes nothing", MachineOf({compliantReadOnly}), "apply", 0, "already-compliant", nullptr, 0, std::nullopt},
        {"another type: check", MachineOf({Card(wrongType)}), "check", 1, "not-compliant", nullptr, 0, std::nullopt},
        {"another type: apply", MachineOf({Card(wrongType)}), "apply", 0, "applied", nullptr, 0, wrongTypeFixed},
        {"another size: check", MachineOf({Card(wrongSize)}), "check", 1, "not-compliant", nullptr, 0, std::nullopt},
        {"other data: apply", MachineOf({Card(wrongData)}), "apply", 0, "applied", nullptr, 0, Right()},
        {"other values stay", MachineOf({Card(otherValues)}), "check", 0, "compliant", nullptr, 0, std::nullopt},
        {"no vendor device: check", MachineOf({OtherDevice("Other", 1)}), "check", 2, "no-device", nullptr, 0, std::nullopt, 0, false},
        {"no vendor device: apply", MachineOf({OtherDevice("Other", 1)}), "apply", 2, "no-device", nullptr, 0, std::nullopt, 0, false},
        {"absent card: check", MachineOf({absentCard}), "check", 2, "no-device", nullptr, 0, std::nullopt, 0, false},
        {"set cannot be opened: check", openSetFault, "check", 3, "error", "SetupDiGetClassDevsA", 1450, std::nullopt, 0, false},
        {"set cannot be opened: apply", openSetFault, "apply", 1603, "failed", "SetupDiGetClassDevsA", 1450, std::nullopt, 0,
         false},
        {"walk fails: check", enumFault, "check", 3, "error", "SetupDiEnumDeviceInfo", 1167, std::nullopt, 0, false},
        {"walk fails: apply", enumFault, "apply", 1603, "failed", "SetupDiEnumDeviceInfo", 1167, std::nullopt, 0, false},
        {"hardware ID query fails: check", MachineOf({withFaults(OtherDevice("Other", 1), [](auto& f) { f.HardwareId = 31; }), Card()}),
         "check", 3, "error", "SetupDiGetDeviceRegistryPropertyA", 31, std::nullopt, 0, false},
        {"hardware ID query fails: apply", MachineOf({withFaults(Card(), [](auto& f) { f.HardwareId = 31; })}), "apply", 1603,
         "failed", "SetupDiGetDeviceRegistryPropertyA", 31, std::nullopt, 0, false},
        {"no driver key: check", MachineOf({noDriver}), "check", 3, "error", "SetupDiOpenDevRegKey", ERROR_KEY_DOES_NOT_EXIST, std::nullopt},
        {"no driver key: apply", MachineOf({noDriver}), "apply", 1603, "failed", "SetupDiOpenDevRegKey", ERROR_KEY_DOES_NOT_EXIST,
         std::nullopt},
        {"key cannot be opened: check", MachineOf({withFaults(Card(), [](auto& f) { f.OpenKey = 5; })}), "check", 3, "error",
         "SetupDiOpenDevRegKey", 5, std::nullopt},
        {"value cannot be read: check", MachineOf({unreadable}), "check", 3, "error", "RegQueryValueExA", 5, std::nullopt},
        {"value cannot be read: apply", MachineOf({unreadable}), "apply", 1603, "failed", "RegQueryValueExA", 5, std::nullopt},
        {"first write fails", MachineOf({firstWriteFault}), "apply", 1603, "failed", "RegSetValueExA", 5, std::nullopt},
        {"second write fails", MachineOf({secondWriteFault}), "apply", 1603, "failed", "RegSetValueExA", 1450, enableOnly},
        {"only the first present card", MachineOf({absentCard, OtherDevice("Other", 1), Card(), Card()}), "apply", 0, "applied",
         nullptr, 0, Right(), 2},
    };
}

void ExpectHandlesClosed() {
    EXPECT_EQ(standin::Open().DeviceSets, 0u);
    EXPECT_EQ(standin::Open().Keys, 0u);
    EXPECT_EQ(standin::Open().Files, 0u);
    EXPECT_EQ(standin::Open().LocalMemory, 0u);
}

TEST(FleetTest, ExitCodeResultAndValuesOfEachVerb) {
    for (const VerbCase& c : VerbCases()) {
        SCOPED_TRACE(c.Name);
        for (bool asJson : {true, false}) {
            std::vector<std::string> args{c.Verb};
            if (asJson) args.push_back("--json");
            const ProgramRun run = RunFleetOn(c.Machine, args);
            EXPECT_EQ(run.Status, c.ExitCode);
            EXPECT_EQ(run.Errors, "");
            ExpectHandlesClosed();
            // Only the first present vendor device may change.
            const auto& before = c.Machine.Devices;
            const auto& after = standin::Current().Devices;
            for (std::size_t i = 0; i < before.size(); ++i) {
                const bool changes = i == c.Target && c.ValuesAfter;
                EXPECT_EQ(after[i].DriverValues, changes ? *c.ValuesAfter : before[i].DriverValues) << "device " << i;
            }
            if (!asJson) {
                EXPECT_NE(run.Output.find("(exit code " + std::to_string(c.ExitCode) + ")\n"), std::string::npos) << run.Output;
                if (c.FailedCall) {
                    const std::string line = std::string("Error: ") + c.FailedCall + " failed with error " + std::to_string(c.Code);
                    EXPECT_NE(run.Output.find(line), std::string::npos) << run.Output;
                }
                continue;
            }
            const json doc = Parsed(run);
            EXPECT_EQ(doc.value("result", ""), c.Result);
            EXPECT_EQ(doc.value("exit_code", -1), c.ExitCode);
            if (c.FailedCall) {
                ASSERT_TRUE(doc["error"].is_object()) << run.Output;
                EXPECT_EQ(doc["error"]["call"], c.FailedCall);
                EXPECT_EQ(doc["error"]["code"], c.Code);
                EXPECT_TRUE(doc["error"].contains("message"));
            } else {
                EXPECT_TRUE(doc["error"].is_null()) << run.Output;
            }
            EXPECT_EQ(doc["device"].is_object(), c.DeviceFound) << run.Output;
            EXPECT_EQ(doc.contains("previous"), std::string(c.Verb) == "apply");
            EXPECT_EQ(doc.contains("log"), std::string(c.Verb) == "apply");
        }
    }
}

TEST(FleetTest, JsonShowsTheDeviceAndTheValuesBeforeAndAfter) {
    standin::Device card = Card({{EnablePhone, {REG_DWORD, std::string("\x01\0\0\0", 4)}}});
    // Windows-1252: e-acute is E9, the trade mark sign 99; a quote, a
    // backslash and a control character must be escaped.
    card.Description = standin::RawProperty(std::string("Ond\xe9vi\x99 \"Phone\" \\ \x01", 19) + '\0', REG_SZ);
    card.InstanceId = "PCI\\VEN_7F3C&DEV_0001\\3&11583659&0&10";
    const json doc = Parsed(RunFleetOn(MachineOf({OtherDevice("Other", 1), card}), {"apply", "--json"}));

    EXPECT_EQ(doc["device"], json::parse(R"({"instance_id": "PCI\\VEN_7F3C&DEV_0001\\3&11583659&0&10",
        "hardware_id": "PCI\\VEN_7F3C&DEV_0001&SUBSYS_00017F3C&REV_01",
        "description": "Ondévi™ \"Phone\" \\ \u0001",
        "driver_key": "{4d36e96c-e325-11ce-bfc1-08002be10318}\\0001"})"));
    EXPECT_EQ(doc["previous"], json::parse(R"({"Enable Phone": {"type": 4, "data": "01000000"},
        "Default Phone Mute State": null})"));
    EXPECT_EQ(doc["values"], json::parse(R"({"Enable Phone": {"type": 3, "data": "0000"},
        "Default Phone Mute State": {"type": 3, "data": "01"}})"));
}

TEST(FleetTest, DeviceTextThatCannotBeReadIsNull) {
    standin::Device card = Card();
    card.Faults.Description = 13;
    card.Faults.InstanceId = 13;
    const json doc = Parsed(RunFleetOn(MachineOf({card}), {"check", "--json"}));
    EXPECT_TRUE(doc["device"]["description"].is_null());
    EXPECT_TRUE(doc["device"]["instance_id"].is_null());
    EXPECT_EQ(doc["result"], "not-compliant");
}

TEST(FleetTest, ArgumentsOutsideTheUsageTouchNothing) {
    struct ArgumentCase {
        const char* Name;
        std::vector<std::string> Args;
        int Status;
        bool UsageOnStdout, UsageOnStderr;
    };
    const ArgumentCase cases[] = {
        {"--help", {"--help"}, 0, true, false},
        {"/?", {"/?"}, 0, true, false},
        {"help wins over a verb", {"apply", "--help"}, 0, true, false},
        {"no verb", {}, 87, false, true},
        {"unknown verb", {"fix"}, 87, false, true},
        {"two verbs", {"check", "apply"}, 87, false, true},
        {"unknown option", {"apply", "--force"}, 87, false, true},
        {"the verb in capitals", {"APPLY"}, 87, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const ProgramRun run = RunFleetOn(MachineOf({Card()}), c.Args);
        EXPECT_EQ(run.Status, c.Status);
        EXPECT_EQ(run.Output.find("usage: ondavipci-fleet") == 0, c.UsageOnStdout) << run.Output;
        EXPECT_EQ(run.Errors.find("usage: ondavipci-fleet") == 0, c.UsageOnStderr) << run.Errors;
        EXPECT_TRUE(standin::Current().Devices[0].DriverValues.empty());
        EXPECT_EQ(standin::Current().FileSystem.size(), 1u) << "only ProgramData";
    }
    const ProgramRun version = RunFleet({"--version"});
    EXPECT_EQ(version.Status, 0);
    EXPECT_EQ(version.Output, "ondavipci-fleet " ONDAVIPCI_TEST_VERSION "\n");
}

// --- the log --------------------------------------------------------------

standin::FileEntry Folder(const std::string& owner = standin::LocalSystemSid) {
    standin::FileEntry folder;
    folder.Directory = true;
    folder.Owner = owner;
    return folder;
}

standin::FileEntry Junction(const std::string& target) {
    standin::FileEntry link = Folder("S-1-5-21-1000");
    link.Reparse = true;
    link.Target = target;
    return link;
}

standin::FileEntry File(const std::string& data, const std::string& owner = standin::LocalSystemSid) {
    standin::FileEntry file;
    file.Data = data;
    file.Owner = owner;
    return file;
}

const standin::FileEntry* FindFile(const std::string& path) {
    const auto& files = standin::Current().FileSystem;
    auto found = files.find(path);
    return found == files.end() ? nullptr : &found->second;
}

std::vector<json> LogLines(const std::string& path = LogPath) {
    std::vector<json> lines;
    const standin::FileEntry* log = FindFile(path);
    if (log == nullptr) return lines;
    std::size_t start = 0;
    while (start < log->Data.size()) {
        const std::size_t end = log->Data.find("\r\n", start);
        if (end == std::string::npos) {
            ADD_FAILURE() << "a line without CR LF: " << log->Data.substr(start);
            break;
        }
        lines.push_back(json::parse(log->Data.substr(start, end - start)));
        start = end + 2;
    }
    return lines;
}

TEST(FleetLogTest, EveryApplyAppendsOneEntryInProtectedFolders) {
    standin::Machine machine = MachineOf({Card()});
    standin::Load(machine);
    const json first = Parsed(RunFleet({"apply", "--json"}));
    const json second = Parsed(RunFleet({"apply", "--json"}));
    ExpectHandlesClosed();

    EXPECT_EQ(first["log"], json::parse(R"({"path": "C:\\ProgramData\\Ondavi\\ondavipci\\apply.log", "written": true,
                                             "reason": null})"));
    const std::vector<json> lines = LogLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0]["result"], "applied");
    EXPECT_EQ(lines[1]["result"], "already-compliant");
    EXPECT_EQ(lines[0]["time"], "2026-01-02T03:04:05Z");
    EXPECT_EQ(lines[0]["version"], ONDAVIPCI_TEST_VERSION);
    EXPECT_EQ(lines[0]["previous"], first["previous"]);
    EXPECT_EQ(lines[0]["values"], first["values"]);
    EXPECT_EQ(lines[0]["device"], first["device"]);
    EXPECT_EQ(lines[0]["exit_code"], 0);
    for (const char* folder : {"C:\\ProgramData\\Ondavi", LogFolder}) {
        SCOPED_TRACE(folder);
        const standin::FileEntry* made = FindFile(folder);
        ASSERT_NE(made, nullptr);
        // Protected: nothing inherited from ProgramData, where users may create.
        EXPECT_EQ(made->Security.rfind("O:BAD:P(", 0), 0u) << made->Security;
        EXPECT_NE(made->Security.find("(A;OICI;FA;;;SY)"), std::string::npos);
        EXPECT_NE(made->Security.find("(A;OICI;FA;;;BA)"), std::string::npos);
        EXPECT_NE(made->Security.find("(A;OICI;0x1200a9;;;BU)"), std::string::npos) << "users read, list and traverse";
    }
}

TEST(FleetLogTest, ARedirectedOrForeignPlaceIsNotWrittenAndTheApplyStands) {
    struct LogCase {
        const char* Name;
        standin::Files Files;
        const char* Reason;  // a part of the reason given
        std::string User = standin::LocalSystemSid;
    };
    const LogCase cases[] = {
        {"the tool's top folder is a junction", {{"C:\\victim", Folder()}, {"C:\\ProgramData\\Ondavi", Junction("C:\\victim")}},
         "C:\\ProgramData\\Ondavi is a reparse point"},
        {"the log's folder is a junction",
         {{"C:\\victim", Folder()}, {"C:\\ProgramData\\Ondavi", Folder()}, {LogFolder, Junction("C:\\victim")}},
         "ondavipci is a reparse point"},
        {"the top folder belongs to a user", {{"C:\\ProgramData\\Ondavi", Folder("S-1-5-21-1000")}},
         "is owned by an account other than SYSTEM, Administrators or the running user"},
        {"the log belongs to a user",
         {{"C:\\ProgramData\\Ondavi", Folder()}, {LogFolder, Folder()}, {LogPath, File("", "S-1-5-21-1000")}},
         "apply.log is owned by an account other than"},
        {"the log is a hard link",
         {{"C:\\ProgramData\\Ondavi", Folder()}, {LogFolder, Folder()}, {LogPath, [] { auto f = File("x"); f.Links = 2; return f; }()}},
         "hard link"},
        {"the log is a link", {{"C:\\victim.ini", File("victim")}, {"C:\\ProgramData\\Ondavi", Folder()}, {LogFolder, Folder()},
                                {LogPath, [] { auto f = File(""); f.Reparse = true; f.Target = "C:\\victim.ini"; return f; }()}},
         "apply.log is a reparse point"},
        {"the log's folder is a file", {{"C:\\ProgramData\\Ondavi", Folder()}, {LogFolder, File("")}}, "is not a folder"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        standin::Machine machine = MachineOf({Card()});
        machine.FileSystem = c.Files;
        machine.User = c.User;
        const ProgramRun run = RunFleetOn(machine, {"apply", "--json"});
        EXPECT_EQ(run.Status, 0) << "the apply itself succeeded";
        ExpectHandlesClosed();
        const json doc = Parsed(run);
        EXPECT_EQ(doc["result"], "applied");
        EXPECT_EQ(doc["log"]["written"], false);
        EXPECT_NE(doc["log"].value("reason", "").find(c.Reason), std::string::npos) << doc["log"];
        // Nothing was made or changed anywhere.
        for (const auto& [path, entry] : standin::Current().FileSystem) {
            if (path == "C:\\ProgramData") continue;
            auto given = c.Files.find(path);
            ASSERT_NE(given, c.Files.end()) << "made " << path;
            EXPECT_EQ(entry.Data, given->second.Data) << path;
        }
        const ProgramRun text = RunFleetOn(machine, {"apply"});
        EXPECT_NE(text.Output.find("Log: not written: "), std::string::npos) << text.Output;
    }
}

TEST(FleetLogTest, FoldersOfTheRunningUserAreTrusted) {
    standin::Machine machine = MachineOf({Card()});
    machine.User = "S-1-5-21-1000";  // an administrator running it by hand
    machine.FileSystem = {{"C:\\ProgramData\\Ondavi", Folder("S-1-5-21-1000")}, {LogFolder, Folder(standin::AdministratorsSid)}};
    const json doc = Parsed(RunFleetOn(machine, {"apply", "--json"}));
    EXPECT_EQ(doc["log"]["written"], true) << doc["log"];
    EXPECT_EQ(LogLines().size(), 1u);
}

TEST(FleetLogTest, OnlyARunAsSystemOrElevatedMakesTheFolders) {
    struct OwnerCase {
        const char* Name;
        std::string User;
        bool Elevated;
        bool Written;
    };
    const OwnerCase cases[] = {
        {"SYSTEM", standin::LocalSystemSid, true, true},
        {"an elevated administrator", "S-1-5-21-1000", true, true},
        {"a user without elevation may not give the folders to Administrators", "S-1-5-21-1000", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        standin::Machine machine = MachineOf({Card()});
        machine.User = c.User;
        machine.Elevated = c.Elevated;
        const json doc = Parsed(RunFleetOn(machine, {"apply", "--json"}));
        EXPECT_EQ(doc["log"]["written"], c.Written) << doc["log"];
        EXPECT_EQ(standin::Current().FileSystem.size(), c.Written ? 4u : 1u);
        // Whoever made them, later runs as SYSTEM trust them.
        for (const auto& [path, entry] : standin::Current().FileSystem) {
            if (path != "C:\\ProgramData" && entry.Directory) {
                EXPECT_EQ(entry.Owner, standin::AdministratorsSid) << path;
            }
        }
    }
}

TEST(FleetLogTest, NoProgramDataNoLog) {
    for (const auto& environment : std::vector<std::map<std::string, std::string>>{{}, {{"ProgramData", "ProgramData"}}}) {
        standin::Machine machine = MachineOf({Card()});
        machine.Environment = environment;
        const ProgramRun run = RunFleetOn(machine, {"apply", "--json"});
        EXPECT_EQ(run.Status, 0);
        EXPECT_EQ(Parsed(run)["log"]["written"], false);
        EXPECT_EQ(standin::Current().FileSystem.size(), 1u);
    }
}

TEST(FleetLogTest, AFullLogIsRenamedNotDeleted) {
    standin::Machine machine = MachineOf({Card()});
    const std::string full(1024 * 1024 + 1, 'x');
    machine.FileSystem = {{"C:\\ProgramData\\Ondavi", Folder()}, {LogFolder, Folder()}, {LogPath, File(full)},
                          {std::string(LogPath) + ".1", File("older")}};
    const json doc = Parsed(RunFleetOn(machine, {"apply", "--json"}));
    EXPECT_EQ(doc["log"]["written"], true) << doc["log"];
    EXPECT_EQ(LogLines().size(), 1u);
    const standin::FileEntry* old = FindFile(std::string(LogPath) + ".1");
    ASSERT_NE(old, nullptr);
    EXPECT_EQ(old->Data, full);

    const std::string atLimit(1024 * 1024, 'x');
    machine.FileSystem[LogPath] = File(atLimit);
    Parsed(RunFleetOn(machine, {"apply", "--json"}));
    EXPECT_EQ(FindFile(LogPath)->Data.compare(0, atLimit.size(), atLimit), 0) << "a log at the limit is kept";
    EXPECT_GT(FindFile(LogPath)->Data.size(), atLimit.size());
    EXPECT_EQ(FindFile(std::string(LogPath) + ".1")->Data, "older");
}

TEST(FleetLogTest, CheckNeverWritesALog) {
    const ProgramRun run = RunFleetOn(MachineOf({Card()}), {"check", "--json"});
    EXPECT_EQ(run.Status, 1);
    EXPECT_EQ(standin::Current().FileSystem.size(), 1u);
    EXPECT_FALSE(Parsed(run).contains("log"));
}

}  // namespace

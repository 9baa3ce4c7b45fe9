// The stand-in must behave as the platform does where the program relies on
// it, or the program's tests prove nothing. Each call starts from a sentinel
// last-error code, as the platform's own tests do.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "platform/standin_machine.h"
#include "tests/program_run.h"

namespace {

const DWORD Sentinel = 0xdeadbeef;

class StandinTest : public ::testing::Test {
protected:
    void SetUp() override {
        standin::Device noDriver = MakeDevice({"PCI\\VEN_1"}, "NoDriver", "");
        noDriver.Driver.reset();
        standin::Device faulty = MakeDevice({"PCI\\VEN_2"}, "Faulty", "drv");
        faulty.Faults = {31, 5, 6, 1450, {{"Broken", 5}}, 1167, {{"Unreadable", 1450}}};
        standin::Device absent = MakeDevice({"PCI\\VEN_3"}, "Absent", "drv", false);
        standin::Load(MachineOf({MakeDevice({"PCI\\VEN_0", "PCI\\X"}, "Desc", "drv"), noDriver, faulty, absent}));
        Set = SetupDiGetClassDevsA(nullptr, "PCI", nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
        ASSERT_NE(Set, INVALID_HANDLE_VALUE);
    }
    void TearDown() override {
        if (standin::Open().DeviceSets != 0) SetupDiDestroyDeviceInfoList(Set);
    }

    SP_DEVINFO_DATA Enumerated(DWORD index) {
        SP_DEVINFO_DATA data{};
        data.cbSize = sizeof data;
        EXPECT_TRUE(SetupDiEnumDeviceInfo(Set, index, &data));
        return data;
    }

    HDEVINFO Set = INVALID_HANDLE_VALUE;
};

struct CallCase {
    const char* Name;
    std::function<BOOL()> Call;
    BOOL Result;
    DWORD LastError;
};

TEST_F(StandinTest, ResultAndLastErrorOfEachCall) {
    SP_DEVINFO_DATA good = Enumerated(0), noDriver = Enumerated(1), faulty = Enumerated(2);
    char buffer[32];
    DWORD type = 0, size = 0;
    auto query = [&](SP_DEVINFO_DATA data, DWORD property, DWORD bufferSize) {
        return [=, &buffer, &type, &size]() mutable {
            return SetupDiGetDeviceRegistryPropertyA(Set, &data, property, &type, reinterpret_cast<BYTE*>(buffer),
                                                     bufferSize, &size);
        };
    };
    auto openKey = [&](SP_DEVINFO_DATA data) {
        return [=]() mutable {
            HKEY key = SetupDiOpenDevRegKey(Set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_ALL_ACCESS);
            if (key == INVALID_HANDLE_VALUE) return FALSE;
            RegCloseKey(key);
            return TRUE;
        };
    };
    const CallCase cases[] = {
        {"enum succeeds", [&] { SP_DEVINFO_DATA d{}; d.cbSize = sizeof d; return SetupDiEnumDeviceInfo(Set, 0, &d); }, TRUE, Sentinel},
        {"enum past the end (absent device left out)", [&] { SP_DEVINFO_DATA d{}; d.cbSize = sizeof d; return SetupDiEnumDeviceInfo(Set, 3, &d); }, FALSE, ERROR_NO_MORE_ITEMS},
        {"enum with wrong cbSize", [&] { SP_DEVINFO_DATA d{}; d.cbSize = sizeof d + 4; return SetupDiEnumDeviceInfo(Set, 0, &d); }, FALSE, ERROR_INVALID_USER_BUFFER},
        {"property succeeds", query(good, SPDRP_HARDWAREID, sizeof buffer), TRUE, Sentinel},
        {"property missing", query(noDriver, SPDRP_DRIVER, sizeof buffer), FALSE, ERROR_INVALID_DATA},
        {"property too long", query(good, SPDRP_HARDWAREID, 4), FALSE, ERROR_INSUFFICIENT_BUFFER},
        {"property fault", query(faulty, SPDRP_HARDWAREID, sizeof buffer), FALSE, 31},
        {"open key succeeds", openKey(good), TRUE, 0},
        {"open key without driver", openKey(noDriver), FALSE, ERROR_KEY_DOES_NOT_EXIST},
        {"open key fault", openKey(faulty), FALSE, 1450},
        {"destroy", [&] { return SetupDiDestroyDeviceInfoList(Set); }, TRUE, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        SetLastError(Sentinel);
        EXPECT_EQ(c.Call(), c.Result);
        EXPECT_EQ(GetLastError(), c.LastError);
    }
}

TEST_F(StandinTest, PropertyBytesTypeAndSize) {
    SP_DEVINFO_DATA good = Enumerated(0);
    char buffer[32];
    DWORD type = 0, size = 0;

    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(Set, &good, SPDRP_HARDWAREID, &type, reinterpret_cast<BYTE*>(buffer),
                                                  sizeof buffer, &size));
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    EXPECT_EQ(std::string(buffer, size), std::string("PCI\\VEN_0\0PCI\\X\0\0", 17));

    std::memset(buffer, '#', sizeof buffer);
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(Set, &good, SPDRP_DEVICEDESC, &type,
                                                   reinterpret_cast<BYTE*>(buffer), 4, &size));
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(std::string(buffer, 4), "####") << "a value too long writes nothing";
}

TEST_F(StandinTest, RegistryWritesAreRecordedAndLeaveLastError) {
    SP_DEVINFO_DATA good = Enumerated(0), faulty = Enumerated(2);
    HKEY key = SetupDiOpenDevRegKey(Set, &good, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_ALL_ACCESS);
    HKEY faultyKey = SetupDiOpenDevRegKey(Set, &faulty, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_ALL_ACCESS);
    EXPECT_EQ(faultyKey, INVALID_HANDLE_VALUE);
    standin::Device& faultyDevice = const_cast<standin::Device&>(standin::Current().Devices[2]);
    faultyDevice.Faults.OpenKey.reset();
    faultyKey = SetupDiOpenDevRegKey(Set, &faulty, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_ALL_ACCESS);
    ASSERT_NE(faultyKey, INVALID_HANDLE_VALUE);
    EXPECT_EQ(standin::Open().Keys, 2u);

    SetLastError(Sentinel);
    const BYTE data[] = {1, 2};
    EXPECT_EQ(RegSetValueExA(key, "Value", 0, REG_BINARY, data, 2), ERROR_SUCCESS);
    const BYTE dword[] = {7, 0, 0, 0};
    EXPECT_EQ(RegSetValueExA(key, "Number", 0, REG_DWORD, dword, 4), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(faultyKey, "Broken", 0, REG_BINARY, data, 2), 5);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(faultyKey), ERROR_SUCCESS);
    EXPECT_EQ(GetLastError(), Sentinel);

    EXPECT_EQ(standin::Current().Devices[0].DriverValues.at("Value"), (standin::RegistryValue{REG_BINARY, "\x01\x02"}));
    EXPECT_EQ(standin::Current().Devices[0].DriverValues.at("Number"),
              (standin::RegistryValue{REG_DWORD, std::string("\x07\0\0\0", 4)}));
    EXPECT_TRUE(standin::Current().Devices[2].DriverValues.empty());
    EXPECT_EQ(standin::Open().Keys, 0u);
}

// As on Windows, a key opened without KEY_SET_VALUE refuses every write.
TEST_F(StandinTest, WritesNeedTheSetValueRight) {
    struct AccessCase {
        const char* Name;
        REGSAM Access;
        LONG Result;
    };
    const AccessCase cases[] = {
        {"KEY_ALL_ACCESS", KEY_ALL_ACCESS, ERROR_SUCCESS},
        {"KEY_SET_VALUE alone", KEY_SET_VALUE, ERROR_SUCCESS},
        {"KEY_READ", KEY_READ, ERROR_ACCESS_DENIED},
        {"KEY_QUERY_VALUE", KEY_QUERY_VALUE, ERROR_ACCESS_DENIED},
    };
    SP_DEVINFO_DATA good = Enumerated(0);
    const BYTE data[] = {1};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const_cast<standin::Device&>(standin::Current().Devices[0]).DriverValues.clear();
        HKEY key = SetupDiOpenDevRegKey(Set, &good, DICS_FLAG_GLOBAL, 0, DIREG_DRV, c.Access);
        ASSERT_NE(key, INVALID_HANDLE_VALUE);
        SetLastError(Sentinel);
        EXPECT_EQ(RegSetValueExA(key, "Value", 0, REG_BINARY, data, 1), c.Result);
        EXPECT_EQ(GetLastError(), Sentinel);
        EXPECT_EQ(standin::Current().Devices[0].DriverValues.count("Value"), c.Result == ERROR_SUCCESS ? 1u : 0u);
        RegCloseKey(key);
    }
}

// RegQueryValueExA as Windows answers it: the stored type, the needed size
// for a short buffer, ERROR_FILE_NOT_FOUND for a missing value; never the
// last-error code.
TEST_F(StandinTest, RegistryReadsAnswerAsWindowsDoes) {
    SP_DEVINFO_DATA good = Enumerated(0), faulty = Enumerated(2);
    auto& values = const_cast<standin::Device&>(standin::Current().Devices[0]).DriverValues;
    values["Three"] = {REG_BINARY, "abc"};
    HKEY key = SetupDiOpenDevRegKey(Set, &good, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_QUERY_VALUE);
    HKEY writeOnly = SetupDiOpenDevRegKey(Set, &good, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_SET_VALUE);
    const_cast<standin::Device&>(standin::Current().Devices[2]).Faults.OpenKey.reset();
    HKEY faultyKey = SetupDiOpenDevRegKey(Set, &faulty, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_QUERY_VALUE);
    struct ReadCase {
        const char* Name;
        HKEY Key;
        const char* Value;
        DWORD BufferSize;  // 0: no buffer, a size query
        LONG Result;
        DWORD Type, Size;
        std::string Data;
    };
    const ReadCase cases[] = {
        {"whole value", key, "Three", 8, ERROR_SUCCESS, REG_BINARY, 3, "abc"},
        {"exact buffer", key, "Three", 3, ERROR_SUCCESS, REG_BINARY, 3, "abc"},
        {"size query", key, "Three", 0, ERROR_SUCCESS, REG_BINARY, 3, ""},
        {"short buffer", key, "Three", 2, ERROR_MORE_DATA, REG_BINARY, 3, ""},
        {"missing value", key, "Absent", 8, ERROR_FILE_NOT_FOUND, Sentinel, 8, ""},
        {"no KEY_QUERY_VALUE", writeOnly, "Three", 8, ERROR_ACCESS_DENIED, Sentinel, 8, ""},
        {"forced fault", faultyKey, "Unreadable", 8, 1450, Sentinel, 8, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        BYTE buffer[8] = {};
        DWORD type = Sentinel, size = c.BufferSize;
        SetLastError(Sentinel);
        EXPECT_EQ(RegQueryValueExA(c.Key, c.Value, nullptr, &type, c.BufferSize ? buffer : nullptr, &size), c.Result);
        EXPECT_EQ(GetLastError(), Sentinel);
        EXPECT_EQ(type, c.Type);
        EXPECT_EQ(size, c.Result == ERROR_SUCCESS || c.Result == ERROR_MORE_DATA ? c.Size : c.BufferSize);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), c.Data.size()), c.Data);
    }
    for (HKEY open : {key, writeOnly, faultyKey}) RegCloseKey(open);
}

TEST_F(StandinTest, InstanceIdAndItsSize) {
    SP_DEVINFO_DATA good = Enumerated(0), faulty = Enumerated(2);
    char id[16];
    DWORD size = 0;
    SetLastError(Sentinel);
    ASSERT_TRUE(SetupDiGetDeviceInstanceIdA(Set, &good, id, sizeof id, &size));
    EXPECT_EQ(std::string(id), "PCI\\XDEV0000\\0") << "planted as the Wine tests plant it";
    EXPECT_EQ(size, 15u);
    EXPECT_EQ(GetLastError(), Sentinel);
    EXPECT_FALSE(SetupDiGetDeviceInstanceIdA(Set, &good, id, 14, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(size, 15u);
    EXPECT_FALSE(SetupDiGetDeviceInstanceIdA(Set, &faulty, id, sizeof id, &size));
    EXPECT_EQ(GetLastError(), 1167u);
}

TEST_F(StandinTest, AllDevicesWithoutPresentFlagAndForcedFaults) {
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    HDEVINFO all = SetupDiGetClassDevsA(nullptr, "PCI", nullptr, DIGCF_ALLCLASSES);
    EXPECT_TRUE(SetupDiEnumDeviceInfo(all, 3, &data));
    EXPECT_FALSE(SetupDiEnumDeviceInfo(all, 4, &data));
    SetupDiDestroyDeviceInfoList(all);

    standin::Machine machine = MachineOf({MakeDevice({"PCI\\VEN_0"}, "D", "drv")});
    machine.EnumerationFault = standin::EnumFault{0, 1167};
    standin::Load(machine);
    HDEVINFO faultyEnum = SetupDiGetClassDevsA(nullptr, "PCI", nullptr, DIGCF_ALLCLASSES);
    EXPECT_FALSE(SetupDiEnumDeviceInfo(faultyEnum, 0, &data));
    EXPECT_EQ(GetLastError(), 1167u);
    SetupDiDestroyDeviceInfoList(faultyEnum);

    machine.OpenSetFault = 5;
    standin::Load(machine);
    EXPECT_EQ(SetupDiGetClassDevsA(nullptr, "PCI", nullptr, DIGCF_ALLCLASSES), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), 5u);
}

using StandinMisuseDeathTest = StandinTest;

TEST_F(StandinMisuseDeathTest, HandlesThatAreNotOpenAbort) {
    SP_DEVINFO_DATA good = Enumerated(0);
    EXPECT_DEATH(
        {
            HKEY key = SetupDiOpenDevRegKey(Set, &good, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_ALL_ACCESS);
            RegCloseKey(key);
            RegCloseKey(key);
        },
        "RegCloseKey: key is not open");
    EXPECT_DEATH(
        {
            SetupDiDestroyDeviceInfoList(Set);
            SetupDiEnumDeviceInfo(Set, 0, &good);
        },
        "SetupDiEnumDeviceInfo: device information set is not open");
    EXPECT_DEATH(RegSetValueExA(reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE), "X", 0, REG_BINARY, nullptr, 0),
                 "RegSetValueExA: key is not open");
}

}  // namespace

// set_raw_value KEY NAME TYPE HEX
//
// Stores exactly the bytes HEX as value NAME of type TYPE under
// HKEY_LOCAL_MACHINE\KEY, creating the key. The registry adds a terminator to
// string data when the byte after it is NUL; a non-NUL byte follows the data
// here, so the value is stored without one.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/windows_api.h"

namespace {

int Usage() {
    std::fprintf(stderr, "usage: set_raw_value KEY NAME TYPE HEX\n");
    return 2;
}

bool ParseHex(const std::string& hex, std::vector<BYTE>& bytes) {
    if (hex.size() % 2 != 0) return false;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        char* end = nullptr;
        const std::string pair = hex.substr(i, 2);
        const unsigned long byte = std::strtoul(pair.c_str(), &end, 16);
        if (*end != '\0') return false;
        bytes.push_back(static_cast<BYTE>(byte));
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) return Usage();
    std::vector<BYTE> data;
    if (!ParseHex(argv[4], data)) return Usage();
    const DWORD size = static_cast<DWORD>(data.size());
    data.push_back('X');

    HKEY key;
    LONG status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, argv[1], 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) {
        std::fprintf(stderr, "set_raw_value: cannot open %s: error %ld\n", argv[1], static_cast<long>(status));
        return 1;
    }
    const DWORD type = static_cast<DWORD>(std::strtoul(argv[3], nullptr, 10));
    status = RegSetValueExA(key, argv[2], 0, type, data.data(), size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) {
        std::fprintf(stderr, "set_raw_value: cannot set %s: error %ld\n", argv[2], static_cast<long>(status));
        return 1;
    }
    return 0;
}

// The Setup API calls that "ondavipci a" makes, in the same order and with
// the same arguments, and nothing else: no output, no text handling beyond
// the vendor match that decides which queries follow.
#include <cstring>

#include "platform/windows_api.h"

int main() {
    HDEVINFO set = SetupDiGetClassDevsA(NULL, "PCI", NULL, DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE) return 1;

    SP_DEVINFO_DATA device;
    device.cbSize = sizeof device;
    char buffer[513];  // one byte more than the program's, so that strstr always stops
    buffer[512] = '\0';
    const DWORD reportedProperties[] = {SPDRP_DEVICEDESC, SPDRP_DRIVER};
    DWORD type = 0, size = 0;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &device); ++index) {
        buffer[0] = '\0';
        if (!SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, &type, reinterpret_cast<BYTE*>(buffer),
                                               512, &size)) {
            break;
        }
        if (std::strstr(buffer, "VEN_7F3C") == NULL) continue;
        for (DWORD property : reportedProperties) {
            buffer[0] = '\0';
            SetupDiGetDeviceRegistryPropertyA(set, &device, property, &type, reinterpret_cast<BYTE*>(buffer),
                                              512, &size);
        }
    }
    const DWORD lastError = GetLastError();
    SetupDiDestroyDeviceInfoList(set);
    return lastError == ERROR_NO_MORE_ITEMS ? 0 : 1;
}

#include "busdescription_setupapi.h"

#include <windows.h>

#include <devpropdef.h>
#include <setupapi.h>

#include <cstring>
#include <utility>

namespace {

// GUID_DEVCLASS_PORTS and DEVPKEY_Device_BusReportedDeviceDesc, spelt out so
// that no GUID storage has to be pulled in through initguid.h.
const GUID portsClassGuid
    = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
const DEVPROPKEY busReportedDeviceDescKey
    = {{0x540b947e, 0x8b40, 0x45bc, {0xa8, 0xa2, 0x6a, 0x0b, 0x89, 0x4c, 0xbd, 0xa2}}, 4};

constexpr DWORD busDescriptionBufferSize = 1024;
// Read into a zero-filled area two bytes longer, so the text always ends.
constexpr DWORD friendlyNameReadSize = 2046;
constexpr DWORD friendlyNameAreaSize = 2048;
constexpr DWORD utf16TerminatorSize = 2;

} // namespace

std::vector<SetupApiPortRecord> setupApiPortRecords()
{
    std::vector<SetupApiPortRecord> records;
    const HDEVINFO deviceSet
        = SetupDiGetClassDevsA(&portsClassGuid, nullptr, nullptr, DIGCF_PRESENT);
    if (deviceSet == INVALID_HANDLE_VALUE)
        return records;

    SP_DEVINFO_DATA device;
    device.cbSize = sizeof(device);
    for (DWORD index = 0; SetupDiEnumDeviceInfo(deviceSet, index, &device); ++index) {
        BYTE busDescription[busDescriptionBufferSize];
        DEVPROPTYPE propertyType = 0;
        DWORD requiredSize = 0;
        if (!SetupDiGetDevicePropertyW(deviceSet, &device, &busReportedDeviceDescKey, &propertyType,
                                       busDescription, busDescriptionBufferSize, &requiredSize, 0))
            continue;
        // The required size counts bytes, terminator included.
        DWORD units = requiredSize > utf16TerminatorSize
            ? (requiredSize - utf16TerminatorSize) / sizeof(char16_t)
            : 0;
        if (units > busDescriptionBufferSize / sizeof(char16_t))
            units = busDescriptionBufferSize / sizeof(char16_t);
        SetupApiPortRecord record;
        record.busDescription.resize(units);
        std::memcpy(&record.busDescription[0], busDescription, units * sizeof(char16_t));

        char friendlyName[friendlyNameAreaSize] = {};
        DWORD registryType = 0;
        if (!SetupDiGetDeviceRegistryPropertyA(deviceSet, &device, SPDRP_FRIENDLYNAME,
                                               &registryType, reinterpret_cast<PBYTE>(friendlyName),
                                               friendlyNameReadSize, &requiredSize))
            continue;
        record.friendlyName = friendlyName;
        records.push_back(std::move(record));
    }
    SetupDiDestroyDeviceInfoList(deviceSet);
    return records;
}

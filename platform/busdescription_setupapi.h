#pragma once

// The Windows step of listing the bus descriptions, kept free of Qt so that
// it can be compiled (and syntax-checked on any host) with a plain Windows
// tool chain.

#include <string>
#include <vector>

// One present serial-port device as SetupAPI reports it.
struct SetupApiPortRecord
{
    std::u16string busDescription; // DEVPKEY_Device_BusReportedDeviceDesc, UTF-16
    std::string friendlyName; // SPDRP_FRIENDLYNAME, 8-bit text ending in "(COMn)"
};

#ifdef _WIN32
// Every present device of the Ports class whose bus description and friendly
// name can both be read, in enumeration order.
std::vector<SetupApiPortRecord> setupApiPortRecords();
#endif

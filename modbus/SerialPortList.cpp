#include "SerialPortList.h"

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

// The serial core lists every UART slot the platform reserves (ttyS0 ...
// ttyS31) with a device link; a slot where no UART was found has type 0.
bool IsEmptyUartSlot(const fs::path& tty)
{
    std::ifstream type(tty / "type");
    int value = -1;
    return type >> value && value == 0;
}

} // namespace

void EnumerateSerialPorts(std::vector<std::string>& ports, const std::string& sysClassTty,
                          const std::string& serialById)
{
    ports.clear();
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(sysClassTty, ec)) {
        // Virtual consoles and pseudo-terminals have no device link.
        if (fs::exists(entry.path() / "device", ec) && !IsEmptyUartSlot(entry.path()))
            ports.push_back("/dev/" + entry.path().filename().string());
    }
    // udev removes a stable name when its adapter goes, but not at the same
    // instant: a name that leads to no device is not offered.
    for (const auto& entry : fs::directory_iterator(serialById, ec)) {
        std::error_code missing;
        if (fs::exists(entry.path(), missing))
            ports.push_back(entry.path().string());
    }
}

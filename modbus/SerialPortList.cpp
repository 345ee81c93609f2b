#include "SerialPortList.h"

#include <filesystem>

namespace fs = std::filesystem;

void EnumerateSerialPorts(std::vector<std::string>& ports, const std::string& sysClassTty,
                          const std::string& serialById)
{
    ports.clear();
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(sysClassTty, ec)) {
        // Virtual consoles and pseudo-terminals have no device link.
        if (fs::exists(entry.path() / "device", ec))
            ports.push_back("/dev/" + entry.path().filename().string());
    }
    for (const auto& entry : fs::directory_iterator(serialById, ec))
        ports.push_back(entry.path().string());
}

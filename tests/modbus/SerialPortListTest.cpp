#include "SerialPortList.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include <unistd.h>

namespace fs = std::filesystem;

TEST(SerialPortList, DevicesWithADeviceLinkAndStableNames)
{
    const fs::path root = fs::temp_directory_path() / ("kelvane-ports-" + std::to_string(::getpid()));
    fs::remove_all(root);
    for (const char* tty : {"ttyS0", "ttyS1", "ttyUSB0", "tty1", "ptmx"})
        fs::create_directories(root / "class/tty" / tty);
    for (const char* tty : {"ttyS0", "ttyS1", "ttyUSB0"})
        fs::create_directories(root / "class/tty" / tty / "device");
    std::ofstream(root / "class/tty/ttyS0/type") << "4\n"; // a 16550A
    std::ofstream(root / "class/tty/ttyS1/type") << "0\n"; // no UART in this slot
    fs::create_directories(root / "by-id");
    std::ofstream(root / "by-id/usb-FTDI_Cable-if00-port0").put('x');

    std::vector<std::string> ports{"stale"};
    EnumerateSerialPorts(ports, (root / "class/tty").string(), (root / "by-id").string());
    std::sort(ports.begin(), ports.end());
    EXPECT_EQ(ports, (std::vector<std::string>{"/dev/ttyS0", "/dev/ttyUSB0",
                                               (root / "by-id/usb-FTDI_Cable-if00-port0").string()}));

    EnumerateSerialPorts(ports, (root / "missing").string(), (root / "missing2").string());
    EXPECT_TRUE(ports.empty());
    fs::remove_all(root);
}

// The port list over a temporary tree standing for /sys/class/tty and
// /dev/serial/by-id, with stable names that are real symbolic links: one to
// a live pseudo-terminal, which then opens and carries bytes through the
// serial port like any device path, and one whose adapter is gone.

#include "PtyLine.h"
#include "SerialPort.h"
#include "SerialPortList.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include <poll.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class TPortTree {
public:
    TPortTree() : root_(fs::temp_directory_path() / ("kelvane-by-id-" + std::to_string(::getpid())))
    {
        fs::remove_all(root_);
        fs::create_directories(ById());
    }
    ~TPortTree() { fs::remove_all(root_); }

    fs::path Tty() const { return root_ / "class/tty"; }
    fs::path ById() const { return root_ / "serial/by-id"; }

    // A tty as the kernel lists it; withDevice: it has a device behind it;
    // uartType: the "type" file of a UART slot, when it has one.
    void AddTty(const std::string& name, bool withDevice, const char* uartType = nullptr) const
    {
        fs::create_directories(Tty() / name);
        if (withDevice)
            fs::create_directories(Tty() / name / "device");
        if (uartType)
            std::ofstream(Tty() / name / "type") << uartType << '\n';
    }
    fs::path AddStableName(const std::string& name, const std::string& target) const
    {
        fs::create_symlink(target, ById() / name);
        return ById() / name;
    }

private:
    fs::path root_;
};

bool ReadExactly(int fd, uint8_t* data, std::size_t size)
{
    std::size_t got = 0;
    while (got < size) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0)
            return false;
        const ssize_t n = ::read(fd, data + got, size - got);
        if (n <= 0)
            return false;
        got += std::size_t(n);
    }
    return true;
}

TEST(SerialPortById, StableNamesThatLeadToADeviceAreListedAndOpen)
{
    TPtyLine line;
    TPortTree tree;
    tree.AddTty("ttyS0", true, "4"); // a 16550A
    tree.AddTty("ttyS1", true, "0"); // a UART slot without a UART
    tree.AddTty("ttyUSB0", true);
    tree.AddTty("tty1", false); // a virtual console
    const fs::path live = tree.AddStableName("usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", line.SlavePath());
    tree.AddStableName("usb-Prolific_Technology_Inc._USB-Serial_Controller-if00-port0", "/dev/no-such-ttyUSB7");

    std::vector<std::string> ports{"stale"};
    EnumerateSerialPorts(ports, tree.Tty().string(), tree.ById().string());
    std::sort(ports.begin(), ports.end());
    EXPECT_EQ(ports, (std::vector<std::string>{"/dev/ttyS0", "/dev/ttyUSB0", live.string()}));

    // What the list offers is what gets opened: the link, not its target.
    TSerialPort port;
    port.Open(live.string(), TLineSettings{});
    const uint8_t frame[] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xC5, 0xCD};
    ASSERT_TRUE(port.WriteFrame(frame, sizeof frame, 0));
    uint8_t received[sizeof frame] = {};
    ASSERT_TRUE(ReadExactly(line.Master(), received, sizeof received));
    EXPECT_TRUE(std::equal(std::begin(frame), std::end(frame), received));
}

} // namespace

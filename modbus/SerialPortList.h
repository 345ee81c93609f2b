#pragma once

#include <string>
#include <vector>

// The machine's serial ports as /dev paths, in the order found: the tty
// devices the kernel lists under sysClassTty that have a device link
// (ttyS*, ttyUSB*, ttyACM*, ...) except UART slots without a UART, then
// the stable names under serialById (symbolic links to those devices) that
// lead to a device. A folder that is missing contributes nothing.
void EnumerateSerialPorts(std::vector<std::string>& ports,
                          const std::string& sysClassTty = "/sys/class/tty",
                          const std::string& serialById = "/dev/serial/by-id");

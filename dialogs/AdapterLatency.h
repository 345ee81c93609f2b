#pragma once

#include <QString>

#include <optional>

// The latency timer of the USB serial adapter behind a port, in
// milliseconds: how long the adapter holds back a few received bytes before
// it sends them to the machine. FTDI adapters default to 16 ms, which
// delays every short reply; their driver (ftdi_sio) shows the timer as the
// attribute latency_timer of the tty's device. port is named as the link
// takes it (a path, a stable name under /dev/serial/by-id, a name under
// /dev, COMn); symbolic links are followed to the tty they lead to. Nothing
// when the port does not exist or its driver has no such attribute.
// sysfsRoot stands for /sys, so that a test can lay out a driver's folder.
std::optional<int> AdapterLatencyTimerMs(const QString& port, const QString& sysfsRoot = "/sys");

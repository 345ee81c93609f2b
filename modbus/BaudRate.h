#pragma once

// The line speeds of a serial connection; brCustom uses a rate of its own.
enum class TBaudRate {
    br110, br300, br600, br1200, br2400, br4800, br9600, br14400, br19200,
    br38400, br56000, br57600, br115200, br128000, br256000, brCustom
};

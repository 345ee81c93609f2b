#pragma once

#include <array>

// The line speeds of a serial connection; brCustom uses a rate of its own.
enum class TBaudRate {
    br110, br300, br600, br1200, br2400, br4800, br9600, br14400, br19200,
    br38400, br56000, br57600, br115200, br128000, br256000, brCustom
};

// The speeds the utility offers for a meter, in the order its settings file
// keeps them: the "Baud" key is an index into these.
inline constexpr std::array SettingsBaudRates{TBaudRate::br9600, TBaudRate::br19200, TBaudRate::br38400,
                                              TBaudRate::br57600};

// The speed of a settings index; an index outside the list is 9600 baud.
constexpr TBaudRate BaudRateFromIndex(int index)
{
    if (index < 0 || index >= static_cast<int>(SettingsBaudRates.size()))
        return TBaudRate::br9600;
    return SettingsBaudRates[static_cast<std::size_t>(index)];
}

#pragma once

// A configuration profile: the configuration block of one meter as the
// editor showed it, kept in a small INI file so that another meter can be
// given the same set-up. Besides each register's value the file holds the
// value's meaning in engineering units for a reader, and where the profile
// came from: the source meter's serial number, address, software version
// and the date it was saved.

#include <QString>

#include <cstdint>
#include <map>
#include <optional>

struct TConfigProfile {
    // Register number -> value (16 bits), only registers a profile carries.
    std::map<int, int32_t> Values;
    // Register number -> "name: value in engineering units"; written only.
    std::map<int, QString> Meanings;
    QString SerialNumber;
    int Address = 0;
    // As SoftwareVersionText writes it; empty when it was not known.
    QString SoftwareVersion;
    QString Date;
};

// What the editor knows of the meter it shows.
struct TMeterIdentity {
    int Address = 0;
    std::optional<double> SoftwareVersion;
};

namespace ConfigProfile {

// The registers a profile carries and loads: the editable configuration,
// never the fixed register 133, the reset register 135, the calibration
// registers 143 to 148 or the serial number 149.
bool IsProfileRegister(int reg);

// Both return false with a message in error when the file cannot be written
// or is not a profile that can be loaded.
bool Save(const QString& fileName, const TConfigProfile& profile, QString& error);
bool Load(const QString& fileName, TConfigProfile& profile, QString& error);

} // namespace ConfigProfile

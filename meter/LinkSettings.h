#pragma once

#include <QString>

#include <optional>

class TIniFile;
class TKelvane;
enum class TLinkKind;

// The settings of a meter link that a technician sets for a slow meter or
// gateway or for an adapter that echoes: the wait for each reply, how often
// a bank is tried before the pass gives up on it, whether the adapter
// returns every frame it sends (the serial master then removes the echo),
// and the two that make a link faster than the utility has always been.
struct TLinkSettings {
    static constexpr int MinReceiveTimeoutMs = 100;
    static constexpr int MaxReceiveTimeoutMs = 10000;
    static constexpr int MinTries = 1;
    static constexpr int MaxTries = 10;

    int ReceiveTimeoutMs = 500;
    int Tries = 3;
    bool Echo = false;
    // RTU replies (on a serial line and over TCP) end as soon as their
    // length is in and the CRC checks, instead of after the line's silence.
    bool EndAtLength = false;
    // One TCP connection (Modbus/TCP and RTU over TCP) carries every request
    // until it breaks, instead of a connection per request.
    bool KeepConnection = false;

    // Keys "Receive Timeout", "Tries", "Echo", "End Serial Replies At Length"
    // and "Keep TCP Connection Open" of section "Form" of the utility's
    // settings file; a missing key gives the default's value, one out of
    // range the nearest in range.
    static TLinkSettings Read(const TIniFile& ini, const TLinkSettings& defaults);
    // Writes the keys for a link of this kind. The two speed keys are left
    // out of a file that lacks them while they hold RTU over TCP's own
    // defaults, which are then no choice; every other link writes them, as
    // the utility always has, so that its file brings its ways along.
    void Write(TIniFile& ini, TLinkKind kind, bool withTries = true) const;
    // What a link of this kind works with until the technician chooses:
    // the utility's ways of old, but for RTU over TCP, which has no old way
    // to keep and ends its replies at their length and keeps its
    // connection.
    static TLinkSettings Defaults(TLinkKind kind);
    // Everything but the tries, which a bank pass counts.
    void Apply(TKelvane& link) const;
};

// How the settings file names the kind of link.
namespace LinkKindSetting {

// "RTU", "TCP" or "RTUTCP", as the key "Mode" and the utility's /MODE switch
// give it, without regard to case; anything else names no kind.
std::optional<TLinkKind> FromName(const QString& name);
QString Name(TLinkKind kind);

// Key "Mode" of section "Form". A file without it, written before RTU over
// TCP existed, says by its bool key "TCP" whether the link is Modbus/TCP or
// RTU. A program that knows only "TCP" keeps "Mode" as it found it and
// rewrites "TCP": where the two disagree, "TCP" is the newer word.
TLinkKind Read(const TIniFile& ini);
// Writes both keys; "TCP" is 1 for Modbus/TCP only, so that a program that
// knows only "TCP" opens the serial port for RTU over TCP rather than speak
// Modbus/TCP frames to a device server that would pass them to the line.
void Write(TIniFile& ini, TLinkKind kind);

} // namespace LinkKindSetting

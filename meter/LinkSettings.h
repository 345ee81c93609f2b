#pragma once

class TIniFile;

// The settings of a meter link that a technician sets for a slow meter or
// gateway or for an adapter that echoes: the wait for each reply, how often
// a bank is tried before the pass gives up on it, and whether the adapter
// returns every frame it sends (the serial master then removes the echo).
struct TLinkSettings {
    static constexpr int MinReceiveTimeoutMs = 100;
    static constexpr int MaxReceiveTimeoutMs = 10000;
    static constexpr int MinTries = 1;
    static constexpr int MaxTries = 10;

    int ReceiveTimeoutMs = 500;
    int Tries = 3;
    bool Echo = false;

    // Keys "Receive Timeout", "Tries" and "Echo" of section "Form" of the
    // utility's settings file; a missing key gives the default's value, one
    // out of range the nearest in range.
    static TLinkSettings Read(const TIniFile& ini, const TLinkSettings& defaults);
    void Write(TIniFile& ini, bool withTries = true) const;
};

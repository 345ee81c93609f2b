#pragma once

#include <string>

// A pseudo-terminal whose slave side stands for a meter's serial port: a
// program opens SlavePath() as it would open /dev/ttyUSB0, and the server
// reads and writes the master side. The line starts in raw mode, so that a
// program that opens it without setting it up sees the bytes as sent.
//
// The object keeps the slave open itself for its whole life. Without that the
// master would report a hang-up at every poll while no program has the port
// open, and a program closing and reopening it would race with the server
// over where one session ends. Like a wire, the line then simply stays
// there. Since the line also keeps what was written to it and nobody read,
// an inotify watch on the slave tells when a program opens or closes it, so
// that the server can drop such leftovers before the next program reads.
class TPseudoTerminal {
public:
    // Throws std::runtime_error with the system's reason.
    TPseudoTerminal();
    ~TPseudoTerminal();
    TPseudoTerminal(const TPseudoTerminal&) = delete;
    TPseudoTerminal& operator=(const TPseudoTerminal&) = delete;

    // The master side, non-blocking.
    int Master() const { return MasterFd; }
    // "/dev/pts/5".
    const std::string& SlavePath() const { return Path; }
    // Drops what the master wrote that no program has read yet; what a
    // program wrote to the master stays.
    void DropUnread();

    // Readable when a program has opened or closed the slave; -1 when the
    // system gave no watch (the line works all the same, only leftovers
    // are not dropped).
    int Watch() const { return WatchFd; }
    // Reads the watch's events: true when a program opened or closed the
    // slave since the last call.
    bool PortOpenedOrClosed();

private:
    int MasterFd = -1;
    int SlaveFd = -1;
    int WatchFd = -1;
    std::string Path;
};

// A symbolic link to the slave under a fixed name, so that a settings file
// or a command line can name the port before the simulator runs. A link
// found there (left by an earlier run) is replaced; anything else there is
// refused. The link goes with the object, unless it has been pointed
// elsewhere meanwhile (another simulator took the name over).
class TSlaveLink {
public:
    // Throws std::runtime_error "cannot link PATH: REASON".
    TSlaveLink(std::string link, std::string target);
    ~TSlaveLink();
    TSlaveLink(const TSlaveLink&) = delete;
    TSlaveLink& operator=(const TSlaveLink&) = delete;

private:
    std::string Link;
    std::string Target;
};

#pragma once

// A pseudo-terminal standing for a serial line: the port under test opens
// the slave by its path, the test plays the far end on the master. The test
// keeps a descriptor of the slave open itself, so the line stays up while
// the port closes and reopens; closing the master hangs the line up, as an
// unplugged adapter does.

#include <fcntl.h>
#include <pty.h>
#include <stdlib.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

class TPtyLine {
public:
    // With nonBlockingMaster the test's reads of the master never block.
    explicit TPtyLine(bool nonBlockingMaster = false)
    {
        if (::openpty(&master_, &slave_, nullptr, nullptr, nullptr) < 0)
            throw std::runtime_error("openpty failed");
        char name[128];
        if (::ptsname_r(master_, name, sizeof name) != 0)
            throw std::runtime_error("ptsname_r failed");
        slavePath_ = name;
        if (nonBlockingMaster)
            ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    }
    ~TPtyLine()
    {
        CloseMaster();
        ::close(slave_);
    }
    TPtyLine(const TPtyLine&) = delete;
    TPtyLine& operator=(const TPtyLine&) = delete;

    int Master() const { return master_; }
    int Slave() const { return slave_; }
    const std::string& SlavePath() const { return slavePath_; }
    void CloseMaster()
    {
        if (master_ >= 0)
            ::close(master_);
        master_ = -1;
    }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
};

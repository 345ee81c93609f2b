#include "TtyAttributes.h"

#include <algorithm>
#include <cerrno>
#include <iterator>

#include <asm/termbits.h>
#include <sys/ioctl.h>

static_assert(sizeof(termios2{}.c_cc) <= sizeof(TTtyAttributes{}.ControlChars));

int GetTtyAttributes(int fd, TTtyAttributes& attributes)
{
    termios2 tio{};
    if (::ioctl(fd, TCGETS2, &tio) < 0)
        return errno;
    attributes.InputFlags = tio.c_iflag;
    attributes.OutputFlags = tio.c_oflag;
    attributes.ControlFlags = tio.c_cflag;
    attributes.LocalFlags = tio.c_lflag;
    attributes.Line = tio.c_line;
    std::copy(std::begin(tio.c_cc), std::end(tio.c_cc), attributes.ControlChars);
    attributes.InputSpeed = tio.c_ispeed;
    attributes.OutputSpeed = tio.c_ospeed;
    return 0;
}

int SetTtyAttributes(int fd, const TTtyAttributes& attributes)
{
    termios2 tio{};
    tio.c_iflag = attributes.InputFlags;
    tio.c_oflag = attributes.OutputFlags;
    tio.c_cflag = attributes.ControlFlags;
    tio.c_lflag = attributes.LocalFlags;
    tio.c_line = attributes.Line;
    std::copy_n(attributes.ControlChars, std::size(tio.c_cc), tio.c_cc);
    tio.c_ispeed = attributes.InputSpeed;
    tio.c_ospeed = attributes.OutputSpeed;
    return ::ioctl(fd, TCSETS2, &tio) < 0 ? errno : 0;
}

void SetTtyRate(TTtyAttributes& attributes, uint32_t rate, uint32_t standardCode)
{
    const uint32_t code = standardCode != 0 ? standardCode : BOTHER;
    attributes.ControlFlags &= ~(CBAUD | (CBAUD << IBSHIFT));
    attributes.ControlFlags |= code | (code << IBSHIFT);
    attributes.InputSpeed = rate;
    attributes.OutputSpeed = rate;
}

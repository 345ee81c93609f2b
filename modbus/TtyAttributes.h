#pragma once

// A tty's settings as the kernel keeps them (struct termios2), read and
// written with TCGETS2 and TCSETS2. glibc's tcsetattr() cannot serve: it
// knows no rate outside its constants, and on a pseudo-terminal, which
// ignores a parity request, it fails with EINVAL. The kernel's header clashes
// with <termios.h>, so the record has types of its own; the flag and c_cc
// index constants of <termios.h> have the kernel's values and apply to it.

#include <cstdint>

struct TTtyAttributes {
    uint32_t InputFlags = 0;
    uint32_t OutputFlags = 0;
    uint32_t ControlFlags = 0;
    uint32_t LocalFlags = 0;
    uint8_t Line = 0;
    uint8_t ControlChars[32] = {};
    uint32_t InputSpeed = 0;
    uint32_t OutputSpeed = 0;
};

// Both return 0 or the failed ioctl's errno.
int GetTtyAttributes(int fd, TTtyAttributes& attributes);
int SetTtyAttributes(int fd, const TTtyAttributes& attributes);

// Sets input and output to rate bits per second: through its termios
// constant where it has one (standardCode, else 0), otherwise as BOTHER.
void SetTtyRate(TTtyAttributes& attributes, uint32_t rate, uint32_t standardCode);

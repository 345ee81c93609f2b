#pragma once

#include "Descriptors.h"

#include <string>

// Sets a terminal up as a serial port in raw mode: 8N1, no echo, no
// translation of characters, reads that return what is there. Throws
// std::runtime_error with the system's reason; name says which terminal.
void MakeRaw(int fd, const std::string& name);

// Opens a terminal for reading and writing in that mode.
TUniqueFd OpenRawTty(const std::string& path);

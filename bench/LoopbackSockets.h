#pragma once

// TCP on 127.0.0.1 for the benchmarks' relays. Each throws
// std::runtime_error with the system's reason.

#include "Descriptors.h"

#include <cstdint>

// A listening socket on a port the system picks.
TUniqueFd ListenOnLoopback();
uint16_t LocalPort(int socket);
// A connected socket, with Nagle's delay off as Modbus clients have it.
TUniqueFd ConnectToLoopback(uint16_t port);
// The next connection; with Nagle's delay off too.
TUniqueFd AcceptFrom(int listener);

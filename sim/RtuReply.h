#pragma once

#include "RequestDispatcher.h"
#include "RtuRequestReader.h"

#include <cstdint>
#include <optional>
#include <vector>

// How the meters on an RTU bus answer one request, whatever carries the
// bytes: the reply framed as on the line (address, PDU, CRC low byte first),
// or nothing. A request to address 0 (broadcast) is executed by every meter
// without a reply, and an address no meter has keeps quiet.
std::optional<std::vector<uint8_t>> RtuReply(TRequestDispatcher& dispatcher, const rRtuRequest& request);

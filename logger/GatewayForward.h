#pragma once

#include "GatewayLink.h"
#include "GatewayRequest.h"
#include "KelvaneCOM.h"

#include <cstdint>

// Passes one client's request to its meter at address over the link, once
// (the client makes its own retries), and answers it: with the meter's
// reply as it came, its exceptions included; with exception 0x0B when the
// meter gave none; with 0x0A when the link is down. The link's register
// image is left alone. A write that reached the line is told on stderr,
// with its client, unit, registers, values and result. Nothing is answered
// when abort ended the wait: the run is ending.
void ForwardRequest(TKelvane& link, uint8_t address, const TGatewayRequest& request, TGatewayCounters& counters,
                    const bool& abort);

#pragma once

// The reply handlers of TModbusClient, one per function code: each reads the
// request back from the transaction, checks a successful reply against it,
// turns a reply that fails its checks into trUnmatchedReply and raises the
// function's event with what it found.

#include "ModbusClient.h"

#include <cstdint>

// Runs the handler of command; a function code without one raises nothing.
// checksumSize is the number of checksum bytes that end both ADUs.
void HandleReply(TModbusClient& client, uint8_t command, TModbusTransaction& transaction, int checksumSize);

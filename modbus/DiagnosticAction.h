#pragma once

#include <cstdint>

// The diagnostics (function 8) the client can request, each one sub-function
// of the Modbus diagnostics and its data.
enum class TDiagnosticAction {
    daReturnQueryData,
    daRestartCommsOption,
    daRestartCommsOptionAndClearEventLog,
    daReturnDiagnosticRegister,
    daForceListenOnlyMode,
    daClearCountersAndDiagnosticRegister,
    daReturnBusMessageCount,
    daReturnBusCommErrorCount,
    daReturnBusExceptionErrorCount,
    daReturnServerMessageCount,
    daReturnServerNoReplyCount,
    daReturnServerNegativeAcknowledgeCount,
    daReturnServerBusyCount,
    daReturnBusCharacterOverrunCount,
    daClearOverrunCounterAndFlag,
};

// The data word that selects the restart which also clears the event log.
inline constexpr uint16_t ClearEventLogData = 0xFF00;

uint16_t DiagnosticSubFunction(TDiagnosticAction action);
// True when the reply's data word must repeat the request's.
bool DiagnosticDataEchoed(TDiagnosticAction action);
// The data word of the request: queryData for daReturnQueryData, the
// clear-log selector for the restart that clears the log, else 0.
uint16_t DiagnosticRequestData(TDiagnosticAction action, uint16_t queryData);
// The action of a request's sub-function and data; raises EModbusError
// "Diagnostic action was not recognized" for a sub-function outside the set.
TDiagnosticAction DiagnosticActionOf(uint16_t subFunction, uint16_t data);

#include "DiagnosticAction.h"

#include "KelvaneError.h"

#include <array>

namespace {

struct TDiagnosticEntry {
    TDiagnosticAction Action;
    uint16_t SubFunction;
    bool DataEchoed;
};

// In the order of TDiagnosticAction, so an action indexes its own entry.
constexpr std::array<TDiagnosticEntry, 15> DiagnosticTable{{
    {TDiagnosticAction::daReturnQueryData, 0, true},
    {TDiagnosticAction::daRestartCommsOption, 1, true},
    {TDiagnosticAction::daRestartCommsOptionAndClearEventLog, 1, true},
    {TDiagnosticAction::daReturnDiagnosticRegister, 2, false},
    {TDiagnosticAction::daForceListenOnlyMode, 4, false},
    {TDiagnosticAction::daClearCountersAndDiagnosticRegister, 10, true},
    {TDiagnosticAction::daReturnBusMessageCount, 11, false},
    {TDiagnosticAction::daReturnBusCommErrorCount, 12, false},
    {TDiagnosticAction::daReturnBusExceptionErrorCount, 13, false},
    {TDiagnosticAction::daReturnServerMessageCount, 14, false},
    {TDiagnosticAction::daReturnServerNoReplyCount, 15, false},
    {TDiagnosticAction::daReturnServerNegativeAcknowledgeCount, 16, false},
    {TDiagnosticAction::daReturnServerBusyCount, 17, false},
    {TDiagnosticAction::daReturnBusCharacterOverrunCount, 18, false},
    {TDiagnosticAction::daClearOverrunCounterAndFlag, 20, true},
}};

const TDiagnosticEntry& EntryOf(TDiagnosticAction action)
{
    return DiagnosticTable.at(static_cast<std::size_t>(action));
}

} // namespace

uint16_t DiagnosticSubFunction(TDiagnosticAction action)
{
    return EntryOf(action).SubFunction;
}

bool DiagnosticDataEchoed(TDiagnosticAction action)
{
    return EntryOf(action).DataEchoed;
}

uint16_t DiagnosticRequestData(TDiagnosticAction action, uint16_t queryData)
{
    switch (action) {
    case TDiagnosticAction::daReturnQueryData:
        return queryData;
    case TDiagnosticAction::daRestartCommsOptionAndClearEventLog:
        return ClearEventLogData;
    default:
        return 0;
    }
}

TDiagnosticAction DiagnosticActionOf(uint16_t subFunction, uint16_t data)
{
    if (subFunction == DiagnosticSubFunction(TDiagnosticAction::daRestartCommsOption) && data == ClearEventLogData)
        return TDiagnosticAction::daRestartCommsOptionAndClearEventLog;
    for (const TDiagnosticEntry& entry : DiagnosticTable)
        if (entry.SubFunction == subFunction)
            return entry.Action;
    throw EModbusError("Diagnostic action was not recognized");
}

#include "ConfigCommit.h"

#include "KelvaneCOM.h"
#include "RegisterBitDefs.h"
#include "RegisterMap.h"

#include <vector>

namespace {

using TPendingCommit = TConfigWord::TPendingCommit;

// A write the meter did not confirm.
struct TFailedWrite {
    int Reg;
    int32_t Value;
    int32_t Result;
};

QString WriteLine(int reg, int32_t value)
{
    return QString("Writing 0x%1=%2").arg(reg, 2, 16, QChar('0')).arg(value);
}

// "refused" only when the meter itself said no (an exception); any other
// result is a write that failed on its way.
QString FailureLine(const TFailedWrite& write)
{
    QString why = "failed: " + TKelvane::ErrorCode(write.Result);
    if (write.Result > 0)
        why = "refused: " + TKelvane::ErrorCode(write.Result);
    else if (write.Result == MeterResult::NoReply)
        why = "failed: no answer";
    return WriteLine(write.Reg, write.Value) + " " + why;
}

// The failure, once the block has been read back, with what the meter now
// holds in that register: its old value, or (a reply lost after the meter
// took the write) the new one.
QString Outcome(const TFailedWrite& write, int32_t readBack)
{
    const auto def = RegisterBitDefs::Lookup(write.Reg);
    const QString reg = QString("%1 (register %2)").arg(def ? def->Name : "value").arg(write.Reg);
    const bool taken = (readBack & 0xFFFF) == (write.Value & 0xFFFF);
    return FailureLine(write) + (taken ? "; yet the meter reads back the new " : "; the meter keeps its old ") + reg;
}

std::vector<TFailedWrite> WritePending(TConfigWord& editor, const TConfigMeter& meter)
{
    std::vector<TFailedWrite> failed;
    for (int reg = RegisterMap::ConfigFirst; reg <= RegisterMap::ConfigLast; ++reg) {
        int32_t value = 0;
        if (!editor.RegisterChanged(reg, value))
            continue;
        const int32_t result = meter.Write(reg, value);
        meter.Tell(WriteLine(reg, value), false);
        if (result != 0 && result != TKelvane::ResultPending) {
            failed.push_back({reg, value, result});
            meter.Tell(FailureLine(failed.back()), true);
        }
    }
    return failed;
}

} // namespace

QStringList RunConfigCommit(TConfigWord& editor, const TConfigMeter& meter)
{
    QStringList failures;
    if (editor.PendingCommit() != TPendingCommit::None) {
        const std::vector<TFailedWrite> failed = WritePending(editor, meter);
        // After OK the dialog has closed and nothing more is owed; after
        // Apply the next cycle loads the values read back.
        if (editor.PendingCommit() == TPendingCommit::AfterOk)
            editor.SetPendingCommit(TPendingCommit::None);
        meter.ReadBack();
        editor.ClearUserChanged();
        for (const TFailedWrite& write : failed)
            failures << Outcome(write, meter.Register(write.Reg));
        editor.ShowCommitFailures(failures);
    }
    if (!editor.UserChanged()) {
        std::array<int32_t, RegisterMap::ConfigLast + 1> values{};
        for (int reg = 0; reg <= RegisterMap::ConfigLast; ++reg)
            values[static_cast<std::size_t>(reg)] = meter.Register(reg);
        editor.LoadValues(values);
        editor.SetPendingCommit(TPendingCommit::None);
    }
    return failures;
}

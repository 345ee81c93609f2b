#include "ConfigCommit.h"

#include "KelvaneCOM.h"
#include "RegisterMap.h"

namespace {

using TPendingCommit = TConfigWord::TPendingCommit;

void WritePending(TConfigWord& editor, const TConfigMeter& meter, QStringList& refused)
{
    for (int reg = RegisterMap::ConfigFirst; reg <= RegisterMap::ConfigLast; ++reg) {
        int32_t value = 0;
        if (!editor.RegisterChanged(reg, value))
            continue;
        const int32_t result = meter.Write(reg, value);
        const QString line = QString("Writing 0x%1=%2").arg(reg, 2, 16, QChar('0')).arg(value);
        meter.Tell(line, false);
        if (result != 0 && result != TKelvane::ResultPending) {
            const QString refusal = line + " refused: " + TKelvane::ErrorCode(result);
            meter.Tell(refusal, true);
            refused << refusal;
        }
    }
}

} // namespace

QStringList RunConfigCommit(TConfigWord& editor, const TConfigMeter& meter)
{
    QStringList refused;
    if (editor.PendingCommit() != TPendingCommit::None) {
        WritePending(editor, meter, refused);
        // After OK the dialog has closed and nothing more is owed; after
        // Apply the next cycle loads the values read back.
        if (editor.PendingCommit() == TPendingCommit::AfterOk)
            editor.SetPendingCommit(TPendingCommit::None);
        meter.ReadBack();
        editor.ClearUserChanged();
    }
    if (!editor.UserChanged()) {
        std::array<int32_t, RegisterMap::ConfigLast + 1> values{};
        for (int reg = 0; reg <= RegisterMap::ConfigLast; ++reg)
            values[static_cast<std::size_t>(reg)] = meter.Register(reg);
        editor.LoadValues(values);
        editor.SetPendingCommit(TPendingCommit::None);
    }
    return refused;
}

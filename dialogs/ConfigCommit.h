#pragma once

#include "ConfigWordUnit.h"

#include <QStringList>

#include <functional>

// What the commit cycle does to the meter: write one register (giving the
// link's result code), read the configuration block back, and read a
// register of the image; and where it tells each write as it goes ("Writing
// 0x8a=5", then, failed true, "Writing 0x8a=5 refused: <exception>" when the
// meter refused it or "... failed: no answer" / "... failed: <reason>" when
// the write went wrong on its way).
struct TConfigMeter {
    std::function<int32_t(int reg, int32_t value)> Write;
    std::function<void()> ReadBack;
    std::function<int32_t(int reg)> Register;
    std::function<void(const QString& line, bool failed)> Tell;
};

// The configuration editor's commit cycle, run after every read-all pass
// that read the meter: the registers that OK or Apply left pending are
// written and the block read back; then, unless the user has changed
// something since, the editor shows the register image.
// Gives the writes that failed, if any, each with the register and whether
// the meter kept its old value as the block read back shows; the editor
// shows them too.
QStringList RunConfigCommit(TConfigWord& editor, const TConfigMeter& meter);

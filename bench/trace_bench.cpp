// The traffic trace of the "Modbus Data Display": what one exchange costs
// with the trace empty and with its ring full (the window showing, the event
// loop turning after each exchange as polling does), their ratio, and the
// resident memory a full ring of read-all exchanges takes.

#include "OneAttempt.h"
#include "ProcessUsage.h"
#include "TraceModel.h"
#include "frmModbusData.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPushButton>

#include <cstdio>
#include <cstdlib>

namespace {

using testsupport::OneAttempt;

using testsupport::ProcessCpuSeconds;
using testsupport::ResidentKb;

// A read of 125 registers over Modbus/TCP: the largest frames of a pass.
const QByteArray Query = QByteArray::fromHex("000000000006010300000" "07d");
const QByteArray Reply = QByteArray(9, '\x01') + QByteArray(250, '\x5a');

double MicrosecondsPerExchange(TModbusData& form, int exchanges, bool eventLoop)
{
    // Processor time of this process: the machine may be busy with others.
    const double t0 = ProcessCpuSeconds();
    for (int i = 0; i < exchanges; ++i) {
        form.AddTransaction(OneAttempt(Query, Reply, i % 7 == 0 ? 2 : 0, {1765000000000 + i, 1200}));
        if (eventLoop)
            QApplication::processEvents();
    }
    return (ProcessCpuSeconds() - t0) * 1e6 / exchanges;
}

void PrintRatio(const char* what, double empty, double full)
{
    std::printf("%s\n", what);
    std::printf("  trace empty  %9.2f us\n", empty);
    std::printf("  trace full   %9.2f us\n", full);
    std::printf("  full / empty %9.2f\n", full / empty);
}

} // namespace

int main(int argc, char** argv)
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    const int exchanges = argc > 1 ? std::atoi(argv[1]) : 2000;

    // The window hidden: what the trace itself costs.
    TModbusData form;
    const long before = ResidentKb();
    const double hiddenEmpty = MicrosecondsPerExchange(form, exchanges * 10, false);
    form.findChild<QPushButton*>("Clear")->click();
    form.show();
    QApplication::processEvents();
    const double shownEmpty = MicrosecondsPerExchange(form, exchanges, true);

    form.hide();
    MicrosecondsPerExchange(form, TTraceModel::Capacity, false);
    const long full = ResidentKb();
    const double hiddenFull = MicrosecondsPerExchange(form, exchanges * 10, false);
    form.show();
    QApplication::processEvents();
    const double shownFull = MicrosecondsPerExchange(form, exchanges, true);

    std::printf("processor time per exchange of %lld + %lld bytes:\n", static_cast<long long>(Query.size()),
                static_cast<long long>(Reply.size()));
    PrintRatio("window hidden (the ring alone):", hiddenEmpty, hiddenFull);
    PrintRatio("window showing, event loop turning after each exchange (one repaint each):", shownEmpty, shownFull);
    std::printf("full ring of %d exchanges: %.1f MB resident growth\n", TTraceModel::Capacity,
                (full - before) / 1024.0);

    // "Save..." of the full ring renders every line once.
    const QString path = QDir::temp().filePath("kelvane-trace-bench.txt");
    QString error;
    const double t0 = ProcessCpuSeconds();
    const bool saved = form.SaveTrace(path, error);
    std::printf("saving the full ring: %.2f s of processor time, %lld bytes%s\n", ProcessCpuSeconds() - t0,
                static_cast<long long>(QFileInfo(path).size()), saved ? "" : " (failed)");
    QFile::remove(path);
    return 0;
}

// Recomputing the default data page, in microseconds per field per pass,
// with the widgets alive: DataCalculate over every field of Float.ini as the
// page runs it, on the trees parsed when the page was built (the new cost),
// beside the same pass with every formula parsed again first (each field's
// formula set anew, then DataCalculate), which is what parsing at every pass
// costs (the old cost, with today's evaluation), and the parsing alone. The
// three are measured in turns, and the best round of each counts, so that
// load from other processes weighs on none alone.
//
// Then the scale of a huge page file, each figure beside its limit with
// PASS or FAIL (exit status 1 when one is missed): building a generated
// page of 10,000 and of 20,000 fields whole (about 1 MB for 20,000), whose
// ratio shows whether the building is linear; and the whole utility started
// with the 20,000 fields against kelvane-sim over Modbus/TCP: the time from
// showing the window to its first reply and its first pass, and to the page
// built whole; then a pass with the page whole and on screen.

#include "DataPages.h"
#include "HugePageFile.h"
#include "KelvaneCOM.h"
#include "KelvaneWindows.h"
#include "Poller.h"
#include "ScriptedServer.h"
#include "SimProcess.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

double Seconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

template <typename Pass>
double MicrosecondsPerField(int passes, std::size_t fields, Pass pass)
{
    pass(); // warm up
    const double t0 = Seconds();
    for (int i = 0; i < passes; ++i)
        pass();
    return (Seconds() - t0) * 1e6 / passes / static_cast<double>(fields);
}

constexpr int HugeFields = 20000;
constexpr double LinearLimit = 2.5;      // build time of 20,000 fields over that of 10,000
constexpr double FirstReplyLimit = 1.0;  // seconds from showing the window
constexpr double BuiltLimit = 5.0;       // seconds from showing the window
constexpr double WholePassLimit = 2.0;   // seconds

const char* Verdict(bool met)
{
    return met ? "PASS" : "FAIL";
}

// Seconds to build the generated page of so many fields whole.
double BuildSeconds(int fields)
{
    QTemporaryDir dir;
    QFile file(dir.filePath("Float.ini"));
    if (!file.open(QIODevice::WriteOnly) || file.write(testsupport::HugePageFile(fields)) < 0)
        return -1;
    file.close();
    QTabWidget pageControl;
    TDataPages pages(pageControl, [] { return nullptr; }, dir.path());
    const double t0 = Seconds();
    pages.CreatePanel("Float");
    // Each widget made asks to be polished by an event: that is part of
    // building it (and spares the destructors a long list to search).
    QCoreApplication::sendPostedEvents();
    return Seconds() - t0;
}

struct rStartFigures {
    double FirstReply = -1; // seconds from show() to the first request answered
    double FirstPass = -1;  // to the first pass completed
    double Built = -1;      // to every field of the page built
    double WholePass = -1;  // a pass over the meter with the page whole and on screen
};

// The utility in this process with the huge page file, polling the
// simulator; the figures are taken by a timer that runs in every event loop
// of the utility, its waits for the meter included.
rStartFigures StartUtility(const TSimProcess& sim)
{
    QTemporaryDir dir;
    QFile page(dir.filePath("Float.ini"));
    page.open(QIODevice::WriteOnly);
    page.write(testsupport::HugePageFile(HugeFields));
    page.close();
    QFile::copy(QString(KELVANE_DATA_DIR) + "/RegisterBanks.ini", dir.filePath("RegisterBanks.ini"));
    TKelvaneWindows windows(TAppPaths::InOneFolder(dir.path(), "kelvane.ini"),
                            {"/MODE=TCP", "/IP=127.0.0.1", QString("/TCPPORT=%1").arg(sim.TcpPort()), "/POLLING=600000"});
    TForm1& form = windows.Form1;
    rStartFigures figures;
    QElapsedTimer clock;
    QObject::connect(&form, &TForm1::PassCompleted, [&] {
        if (figures.FirstPass < 0)
            figures.FirstPass = clock.nsecsElapsed() / 1e9;
    });
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        const QLabel* tx = form.findChild<QLabel*>("TX");
        if (figures.FirstReply < 0 && tx && tx->text() != "TX: 0")
            figures.FirstReply = clock.nsecsElapsed() / 1e9;
        if (figures.Built < 0 && form.findChildren<TDataField*>().size() == HugeFields)
            figures.Built = clock.nsecsElapsed() / 1e9;
    });
    watch.start(5);
    clock.start();
    form.show();
    while ((figures.FirstPass < 0 || figures.Built < 0) && clock.elapsed() < 600000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    watch.stop();
    if (figures.Built >= 0) {
        QCoreApplication::processEvents(); // the page painted once whole
        const double t0 = Seconds();
        form.findChild<TPoller*>("Poller")->Poll();
        figures.WholePass = Seconds() - t0;
    }
    return figures;
}

// Prints the huge page's figures; false when one misses its limit.
bool HugePage()
{
    const double half = BuildSeconds(HugeFields / 2);
    const double whole = BuildSeconds(HugeFields);
    const double ratio = whole / half;
    std::printf("\nA generated page file of %d fields (%lld bytes)\n", HugeFields,
                static_cast<long long>(testsupport::HugePageFile(HugeFields).size()));
    std::printf("  built whole: %d fields %.2f s, %d fields %.2f s, ratio %.2f (limit %.1f) %s\n", HugeFields / 2,
                half, HugeFields, whole, ratio, LinearLimit, Verdict(ratio <= LinearLimit));
    const TSimProcess sim(KELVANE_SIM_PATH, {"--port", "0"});
    const rStartFigures start = StartUtility(sim);
    std::printf("  the utility, from showing its window:\n");
    std::printf("    first reply      %7.2f s (limit %.1f) %s\n", start.FirstReply, FirstReplyLimit,
                Verdict(start.FirstReply >= 0 && start.FirstReply <= FirstReplyLimit));
    std::printf("    first pass       %7.2f s\n", start.FirstPass);
    std::printf("    page built whole %7.2f s (limit %.1f) %s\n", start.Built, BuiltLimit,
                Verdict(start.Built >= 0 && start.Built <= BuiltLimit));
    std::printf("  a pass with the page whole and shown: %.2f s (limit %.1f) %s\n", start.WholePass, WholePassLimit,
                Verdict(start.WholePass >= 0 && start.WholePass <= WholePassLimit));
    return ratio <= LinearLimit && start.FirstReply >= 0 && start.FirstReply <= FirstReplyLimit && start.Built >= 0
           && start.Built <= BuiltLimit && start.WholePass >= 0 && start.WholePass <= WholePassLimit;
}

} // namespace

int main(int argc, char** argv)
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    const int passes = argc > 1 ? std::atoi(argv[1]) : 2000;

    // A meter whose floats are all plausible numbers, read into the image.
    testsupport::LibmodbusServer server;
    for (int i = 0; i < 60; ++i) {
        server.Registers()[768 + 2 * i] = 0x4366; // 230.x
        server.Registers()[769 + 2 * i] = static_cast<uint16_t>(i * 997);
    }
    TKelvane link("127.0.0.1", true);
    link.SetTcpPort(server.Port());
    const bool abort = false;
    if (link.ReadRegisters(1, 3, 0, 124, abort) != 0 || link.ReadRegisters(1, 3, 768, 892, abort) != 0) {
        std::fprintf(stderr, "could not fill the register image\n");
        return 1;
    }

    QTabWidget pageControl;
    TDataPages pages(pageControl, [&] { return &link; }, KELVANE_DATA_DIR);
    pages.CreatePanel("Float");
    pageControl.show();
    const auto& fields = pages.DataFields();
    if (fields.empty()) {
        std::fprintf(stderr, "no fields built from %s/Float.ini\n", KELVANE_DATA_DIR);
        return 1;
    }

    const auto parse = [&] {
        for (TDataField* f : fields)
            f->SetFormula(f->Formula());
    };
    const auto evaluate = [&] { pages.DataCalculate(); };
    const auto parseAndEvaluate = [&] {
        parse();
        evaluate();
    };
    double reparsed = 1e9;
    double kept = 1e9;
    double parsing = 1e9;
    for (int round = 0; round < 5; ++round) {
        reparsed = std::min(reparsed, MicrosecondsPerField(passes, fields.size(), parseAndEvaluate));
        kept = std::min(kept, MicrosecondsPerField(passes, fields.size(), evaluate));
        parsing = std::min(parsing, MicrosecondsPerField(passes, fields.size(), parse));
    }
    const double ratio = reparsed / kept;
    std::printf("DataCalculate of Float.ini (%zu fields), %d passes, best of 5 rounds\n", fields.size(), passes);
    std::printf("  old cost: parse and evaluate each pass     %7.2f us per field\n", reparsed);
    std::printf("  new cost: trees kept from the page build   %7.2f us per field\n", kept);
    std::printf("  parsing alone                              %7.2f us per field (%.0f%% of the old cost)\n", parsing,
                100 * parsing / reparsed);
    std::printf("  ratio old / new                            %7.2f (goal >= 3.00) %s\n", ratio,
                ratio >= 3.0 ? "met" : "NOT MET");
    return HugePage() ? 0 : 1;
}

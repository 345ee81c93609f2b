#pragma once

// The whole utility in the test process: its windows on the offscreen
// platform, an application directory of its own with the default INI files,
// and a simulated meter on 127.0.0.1 that tests can stop, break and bring
// back on the same port. StartRtu starts it on a serial port instead, whose
// far end the test provides.

#include "DataLogger.h"
#include "KelvaneWindows.h"
#include "LinkSession.h"
#include "Poller.h"
#include "RegisterCommands.h"
#include "SimHarness.h"
#include "WidgetTestSupport.h"

#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>

namespace apptest {

using simharness::rSimSetup;
using simharness::TInProcessSim;

// A control of the window by its object name; fails the test when there is
// none of that name and type.
template <class T>
T* Find(QWidget& window, const char* name)
{
    T* widget = window.findChild<T*>(name);
    EXPECT_NE(widget, nullptr) << name;
    return widget;
}

// The window's controllers by their object names.
inline TPoller& Poller(TForm1& form)
{
    return *form.findChild<TPoller*>("Poller");
}

inline QTimer& PollingTimer(TForm1& form)
{
    return Poller(form).Timer();
}

inline std::shared_ptr<TKelvane> Link(TForm1& form)
{
    return form.findChild<TLinkSession*>("LinkSession")->Link();
}

inline TCommStatistics& Statistics(TForm1& form)
{
    return *form.findChild<TCommStatistics*>("Statistics");
}

inline TDataLogger& Logger(TForm1& form)
{
    return *form.findChild<TDataLogger*>("DataLogger");
}

inline TRegisterCommands& Commands(TForm1& form)
{
    return *form.findChild<TRegisterCommands*>("RegisterCommands");
}

// The "Port" menu command, as the menu bar runs it.
inline void ChoosePort(TForm1& form)
{
    for (QAction* action : form.menuBar()->actions())
        if (action->text() == "&Port")
            action->trigger();
}

// A panel of the status bar by its object name: "Status", "Link", "Meter",
// "Communication", "Logging", "TX", "RX".
inline QString StatusText(TForm1& form, const char* panel = "Status")
{
    const QLabel* label = Find<QLabel>(form, panel);
    return label ? label->text() : QString("(no panel %1)").arg(panel);
}

// The count a counting panel shows ("TX: 5" gives 5).
inline uint32_t Count(TForm1& form, const char* panel)
{
    return StatusText(form, panel).section(' ', 1).toUInt();
}

// Empties the "Modbus Data Display" with its own "Clear" button.
inline void ClearTrace(TForm1& form)
{
    for (QPushButton* button : form.Dialogs().ModbusData->findChildren<QPushButton*>())
        if (button->text().remove('&') == "Clear")
            button->click();
}

inline QPlainTextEdit* Memo(TForm1& form)
{
    return Find<QPlainTextEdit>(form, "Memo");
}

inline QStringList Lines(const QPlainTextEdit* memo)
{
    return memo->toPlainText().split('\n', Qt::SkipEmptyParts);
}

// Replaces an edit's text by typing, as a technician would.
inline void TypeInto(QLineEdit* edit, const char* text)
{
    ASSERT_NE(edit, nullptr);
    edit->setFocus();
    edit->selectAll();
    QTest::keyClicks(edit, text);
}

class TAppHarness {
public:
    explicit TAppHarness(QByteArray settings = {})
    {
        for (const char* file : {"Float.ini", "RegisterBanks.ini"})
            QFile::copy(QString(KELVANE_DATA_DIR) + "/" + file, dir.filePath(file));
        paths = TAppPaths::InOneFolder(dir.path(), "kelvane.ini");
        if (!settings.isEmpty())
            WriteFile("kelvane.ini", settings);
    }

    void WriteFile(const QString& name, const QByteArray& content)
    {
        QFile f(dir.filePath(name));
        f.open(QIODevice::WriteOnly);
        f.write(content);
    }

    QByteArray ReadFile(const QString& name) const
    {
        QFile f(dir.filePath(name));
        f.open(QIODevice::ReadOnly);
        return f.readAll();
    }

    // Starts the utility against the simulator. Polling runs on a long
    // interval so that tests drive the passes themselves.
    TForm1& Start(QStringList arguments = {})
    {
        arguments << "/MODE=TCP" << "/IP=127.0.0.1" << QString("/TCPPORT=%1").arg(meter->Port())
                  << "/POLLING=600000";
        windows = std::make_unique<TKelvaneWindows>(paths, arguments);
        return ShowWindow();
    }

    // Shows the main window and waits for the first pass, which runs as
    // soon as the window shows, so that a test begins after it. There is
    // none on a link that did not open, nor without a bank file to read.
    TForm1& ShowWindow()
    {
        TForm1& form = windows->Form1;
        QSignalSpy passes(&form, &TForm1::PassCompleted);
        form.show();
        const bool banks = QFile::exists(dir.filePath("RegisterBanks.ini"));
        EXPECT_TRUE(QTest::qWaitFor(
            [&] { return passes.count() > 0 || !banks || !Link(form) || !Link(form)->Active(); }, 20000))
            << "the first pass runs as soon as the window shows";
        return form;
    }

    // Starts the utility on the serial port at 19200 baud, the rate the
    // in-process RTU simulator assumes, with polling as in Start.
    TForm1& StartRtu(const QString& port, QStringList arguments = {})
    {
        arguments << "/MODE=RTU" << "/PORT=" + port << "/BAUD=19200" << "/POLLING=600000";
        windows = std::make_unique<TKelvaneWindows>(paths, arguments);
        return ShowWindow();
    }

    TForm1& Form() { return windows->Form1; }
    QString FieldText(const QString& caption)
    {
        for (const TDataField* f : Form().findChildren<TDataField*>())
            if (f->Caption() == caption)
                return f->DataPanel()->text();
        return "(no field " + caption + ")";
    }

    QTemporaryDir dir;
    TAppPaths paths;
    std::unique_ptr<TInProcessSim> meter = std::make_unique<TInProcessSim>(rSimSetup{.Units = {1, 2}});
    std::unique_ptr<TKelvaneWindows> windows;
};

} // namespace apptest

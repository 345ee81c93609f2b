#pragma once

// The whole utility in the test process: its windows on the offscreen
// platform, an application directory of its own with the default INI files,
// and a simulated meter on 127.0.0.1 that tests can stop, break and bring
// back on the same port. StartRtu starts it on a serial port instead, whose
// far end the test provides.

#include "KelvaneWindows.h"
#include "SimHarness.h"
#include "WidgetTestSupport.h"

#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>

namespace apptest {

using simharness::rSimSetup;
using simharness::TInProcessSim;

inline QString StatusText(TForm1& form, int panel)
{
    return form.StatusPanels[static_cast<std::size_t>(panel)]->text();
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
        paths.Directory = dir.path();
        paths.SettingsFile = dir.filePath("kelvane.ini");
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
        windows->Form1.show();
        return windows->Form1;
    }

    // Starts the utility on the serial port at 19200 baud, the rate the
    // in-process RTU simulator assumes, with polling as in Start.
    TForm1& StartRtu(const QString& port, QStringList arguments = {})
    {
        arguments << "/MODE=RTU" << "/PORT=" + port << "/BAUD=19200" << "/POLLING=600000";
        windows = std::make_unique<TKelvaneWindows>(paths, arguments);
        windows->Form1.show();
        return windows->Form1;
    }

    TForm1& Form() { return windows->Form1; }
    QString FieldText(const QString& caption)
    {
        for (const TDataField* f : Form().Pages().DataFields())
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

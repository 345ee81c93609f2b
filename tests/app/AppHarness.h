#pragma once

// The whole utility in the test process: its windows on the offscreen
// platform, an application directory of its own with the default INI files,
// and a simulated meter on 127.0.0.1 that tests can stop, break and bring
// back on the same port.

#include "KelvaneWindows.h"
#include "RequestDispatcher.h"
#include "TcpServer.h"
#include "WidgetTestSupport.h"

#include <QFile>
#include <QTemporaryDir>

#include <memory>
#include <thread>

namespace apptest {

class TSimulatedMeter {
public:
    TSimulatedMeter(uint16_t port, rFaultOptions faults = {}, std::vector<uint8_t> units = {1, 2}, int delayMs = 0)
        : dispatcher_(units, faults, TUnknownUnit::GatewayException),
          server_(dispatcher_, {"127.0.0.1", port, 64, delayMs})
    {
        server_.Listen();
        thread_ = std::thread([this] { server_.Run(); });
    }
    ~TSimulatedMeter()
    {
        server_.Stop();
        thread_.join();
    }
    uint16_t Port() const { return server_.Port(); }
    // A holding register of one meter, read and written as a master would.
    uint16_t Register(uint8_t unit, uint16_t reg)
    {
        std::vector<uint16_t> values;
        dispatcher_.Meter(unit)->ReadRegisters(reg, 1, values);
        return values.empty() ? 0 : values[0];
    }
    void SetRegister(uint8_t unit, uint16_t reg, uint16_t value)
    {
        const uint16_t values[] = {value};
        dispatcher_.Meter(unit)->WriteRegisters(reg, values);
    }

private:
    TRequestDispatcher dispatcher_;
    TTcpServer server_;
    std::thread thread_;
};

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
    std::unique_ptr<TSimulatedMeter> meter = std::make_unique<TSimulatedMeter>(0);
    std::unique_ptr<TKelvaneWindows> windows;
};

} // namespace apptest

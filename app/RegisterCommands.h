#pragma once

#include "CommStatistics.h"
#include "Dialogs.h"

#include <QObject>

#include <cstdint>
#include <functional>
#include <memory>

class QKeyEvent;
class QWidget;
class TCalibrateBox;
class TGeneralTab;
class TKelvane;
class TLinkSession;
struct TExchange;

// The commands that act on single registers of the meter: register writes
// (the write box with its keys, the phase edit, the configuration editor's
// commit), the function 17 box and "Dump Registers". Every exchange is
// booked to the meter it went to and shown in the traces.
class TRegisterCommands : public QObject {
    Q_OBJECT
public:
    struct TParts {
        TLinkSession& Session;
        TCalibrateBox& Calibrate;
        TGeneralTab& General;
        TCommStatistics& Statistics;
        TDialogs Dialogs;
        // The program is closing: the abort flag of every request.
        const bool& Closing;
        // The meter an exchange of a link to an address goes to.
        std::function<TMeterKey(const TKelvane& link, uint8_t address)> MeterKey;
        QString DataDirectory;
    };
    TRegisterCommands(TParts parts, QWidget& window);

    // The address the Device Address dialog holds, that the commands write to.
    uint8_t DeviceAddress() const;

    // Writes one register of the meter at the device address over the link
    // of the moment. reg is the protocol address itself (0..65535); the link
    // refuses any other without sending. A write asked for while the link
    // waits for another exchange waits its turn and gives
    // TKelvane::ResultPending.
    int32_t SetRegister(int reg, int32_t value);
    // The same over a given link to a given address: what a pass's steps
    // write goes to the meter the pass read, whatever link is in use now.
    int32_t SetRegister(const std::shared_ptr<TKelvane>& link, uint8_t address, int reg, int32_t value);
    // The frames of an exchange in the traffic log and "Modbus Data Display".
    void Trace(const TExchange& exchange);

    // The write box's "Send": the value typed to the register typed.
    void WriteSendClick();
    // The function 17 box: the report of the meter at address over link,
    // or at the device address over the link of the moment.
    void Func17(const std::shared_ptr<TKelvane>& link, uint8_t address);
    void Func17Click();
    // "Dump Registers": the register image of the banks' ranges as read so
    // far, saved to a file the user names.
    void DumpRegisters();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool WriteValueKey(const QKeyEvent& key);
    bool PhaseKey(const QKeyEvent& key);

    TParts parts_;
    QWidget& window_;
};

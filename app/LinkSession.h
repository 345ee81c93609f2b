#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class QWidget;
class TComSelect;
class TKelvane;
class TStatusBar;

// The meter link of the moment: made from the port dialog's choice at start
// and made anew when the "Port" menu replaces it. How it opened and every
// change of a kept connection are told in the status line and the window's
// log; the status bar names the link.
class TLinkSession : public QObject {
    Q_OBJECT
public:
    // log: a line for the window's log; window: the owner of its message boxes.
    TLinkSession(TComSelect& com, TStatusBar& status, std::function<void(const QString&)> log, QWidget& window);
    ~TLinkSession() override;

    // The link of the moment, or none before the first Start. Every user
    // keeps its own reference for as long as it uses the link, since the
    // "Port" menu may replace it while an operation waits.
    std::shared_ptr<TKelvane> Link() const { return link_; }

    // Makes the link the port dialog chose; a port that does not open is
    // reported in a message box.
    void Start();
    // Closes the link in use and starts the one the port dialog chose now.
    void Replace();

    // The link as the status bar and the statistics name it: its kind,
    // where it goes and, for RTU frames, the line's speed.
    static QString LinkText(const TKelvane& link);

signals:
    // Another link is in use (the meter polled may be another one too).
    void LinkChanged();

private:
    void ShowLinkStates(TKelvane& link);

    TComSelect& com_;
    TStatusBar& status_;
    std::function<void(const QString&)> log_;
    QWidget& window_;
    std::shared_ptr<TKelvane> link_;
};

#pragma once

#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <functional>
#include <memory>

class TKelvane;

// Opens a lost serial port again once its adapter is back under the same
// name (a stable by-id name included): the name is looked at once a second,
// and the link is opened again when it is there. A link that the "Port"
// menu has replaced meanwhile is no longer watched. While the port is
// watched, a notice that does not block says it was lost; it closes itself
// when the watch ends, so that no box speaks of a port that is back.
class TPortWatch : public QObject {
    Q_OBJECT
public:
    static constexpr int CheckIntervalMs = 1000;

    // back runs once the link is open again; the notice shows over window.
    TPortWatch(std::function<std::shared_ptr<TKelvane>()> currentLink, std::function<void()> back,
               QWidget* window);

    void Watch(const std::shared_ptr<TKelvane>& link);

private:
    void Check();
    void End();

    std::function<std::shared_ptr<TKelvane>()> currentLink_;
    std::function<void()> back_;
    QWidget* window_;
    std::weak_ptr<TKelvane> link_;
    QTimer timer_;
    QPointer<QMessageBox> notice_;
};

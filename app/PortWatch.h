#pragma once

#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>

class TKelvane;

// Opens a lost serial port again once its adapter is back under the same
// name (a stable by-id name included): the name is looked at once a second,
// and the link is opened again when it is there. A link that the "Port"
// menu has replaced meanwhile is no longer watched.
class TPortWatch : public QObject {
    Q_OBJECT
public:
    static constexpr int CheckIntervalMs = 1000;

    // back runs once the link is open again.
    TPortWatch(std::function<std::shared_ptr<TKelvane>()> currentLink, std::function<void()> back,
               QObject* parent = nullptr);

    void Watch(const std::shared_ptr<TKelvane>& link);

private:
    void Check();

    std::function<std::shared_ptr<TKelvane>()> currentLink_;
    std::function<void()> back_;
    std::weak_ptr<TKelvane> link_;
    QTimer timer_;
};

#include "PortWatch.h"

#include "KelvaneCOM.h"

#include <QFileInfo>

TPortWatch::TPortWatch(std::function<std::shared_ptr<TKelvane>()> currentLink, std::function<void()> back,
                       QObject* parent)
    : QObject(parent), currentLink_(std::move(currentLink)), back_(std::move(back))
{
    timer_.setInterval(CheckIntervalMs);
    connect(&timer_, &QTimer::timeout, this, &TPortWatch::Check);
}

void TPortWatch::Watch(const std::shared_ptr<TKelvane>& link)
{
    link_ = link;
    timer_.start();
}

// The name is looked for before the port is opened, so that an absent
// adapter costs no open call; a device that is there but does not open yet
// (udev still setting its permissions) is tried again at the next check.
void TPortWatch::Check()
{
    const std::shared_ptr<TKelvane> link = link_.lock();
    if (!link || link != currentLink_() || link->Active()) {
        timer_.stop();
        return;
    }
    if (!QFileInfo::exists(link->Target()))
        return;
    link->SetActive(true);
    if (!link->Active())
        return;
    timer_.stop();
    back_();
}

#include "PortWatch.h"

#include "KelvaneCOM.h"
#include "MessageBoxes.h"

#include <QFileInfo>

TPortWatch::TPortWatch(std::function<std::shared_ptr<TKelvane>()> currentLink, std::function<void()> back,
                       QWidget* window)
    : QObject(window), currentLink_(std::move(currentLink)), back_(std::move(back)), window_(window)
{
    timer_.setInterval(CheckIntervalMs);
    connect(&timer_, &QTimer::timeout, this, &TPortWatch::Check);
}

// The loss itself, with the system's reason, is in the status line and the
// log already; the notice says what the technician can do about it.
void TPortWatch::Watch(const std::shared_ptr<TKelvane>& link)
{
    link_ = link;
    timer_.start();
    if (notice_)
        return;
    notice_ = ShowNotice(window_, QMessageBox::Warning, "Kelvane",
                         QString("Serial port %1 was lost.\n\nReconnect the adapter: the port is opened again as "
                                 "soon as it is back, and polling goes on.")
                             .arg(link->Target()));
    if (notice_)
        notice_->setObjectName("PortLostNotice");
}

// The name is looked for before the port is opened, so that an absent
// adapter costs no open call; a device that is there but does not open yet
// (udev still setting its permissions) is tried again at the next check.
void TPortWatch::Check()
{
    const std::shared_ptr<TKelvane> link = link_.lock();
    if (!link || link != currentLink_() || link->Active()) {
        End();
        return;
    }
    if (!QFileInfo::exists(link->Target()))
        return;
    link->SetActive(true);
    if (!link->Active())
        return;
    End();
    back_();
}

void TPortWatch::End()
{
    timer_.stop();
    if (notice_)
        notice_->close();
}

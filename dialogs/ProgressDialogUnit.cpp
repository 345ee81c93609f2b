#include "ProgressDialogUnit.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

namespace {

constexpr int InitialMaximum = 10;
constexpr int MinimumWidth = 320;

} // namespace

TProgressDialog::TProgressDialog(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint),
      Label1(new QLabel(this)),
      Progress(new QProgressBar(this)),
      bClose(new QPushButton("Close", this))
{
    setWindowTitle("Kelvane");
    setMinimumWidth(MinimumWidth);
    Label1->setAlignment(Qt::AlignCenter);
    Progress->setRange(0, InitialMaximum);
    Progress->setValue(0);
    bClose->setVisible(false);
    connect(bClose, &QPushButton::clicked, this, &TProgressDialog::bCloseClick);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(bClose);
    buttons->addStretch();
    auto* page = new QVBoxLayout(this);
    page->addWidget(Label1);
    page->addWidget(Progress);
    page->addLayout(buttons);
}

void TProgressDialog::Start(const QString& text, int maximum)
{
    Label1->setText(text);
    step_ = 1;
    // A range of 0..0 would turn the bar into a busy indicator.
    Progress->setRange(0, std::max(1, maximum));
    Progress->setValue(0);
    show();
}

void TProgressDialog::SetPosition(int position)
{
    position = std::clamp(position, Progress->minimum(), Progress->maximum());
    if (position == Progress->value())
        return;
    Progress->setValue(position);
    repaint();
}

void TProgressDialog::Step()
{
    Progress->setValue(std::min(Progress->value() + step_, Progress->maximum()));
    repaint();
}

int TProgressDialog::Position() const
{
    return Progress->value();
}

// Escape hides a dialog without a close event, so the window's reset runs
// whenever it goes away, by whatever path.
void TProgressDialog::hideEvent(QHideEvent* event)
{
    FormClose();
    QDialog::hideEvent(event);
}

void TProgressDialog::FormClose()
{
    bClose->setVisible(false);
    Progress->setVisible(true);
}

void TProgressDialog::bCloseClick()
{
    close();
}

#include "frmAddressUnit.h"

#include "ScreenPlacement.h"

#include <QCheckBox>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

namespace {

constexpr int StatusFontPixels = 19;
constexpr int EditPadding = 12; // the edit's frame and inner margins, with room to spare

// The weight of the box at position i from the left: 32, 16, ... 1.
constexpr int Weight(int i)
{
    return (TfrmAddress::MaxAddress + 1) >> (i + 1);
}

} // namespace

TfrmAddress::TfrmAddress(QWidget* parent)
    : QDialog(parent),
      cbAdd32(new QCheckBox(this)),
      cbAdd16(new QCheckBox(this)),
      cbAdd8(new QCheckBox(this)),
      cbAdd4(new QCheckBox(this)),
      cbAdd2(new QCheckBox(this)),
      cbAdd1(new QCheckBox(this)),
      ebAddress(new QLineEdit(this)),
      labStatus(new QLabel("NO COMM", this)),
      labStatistics(new QLabel(this)),
      BitBtn1(new QPushButton(style()->standardIcon(QStyle::SP_DialogCloseButton), "&Close", this))
{
    setWindowTitle("Change / Check Address");
    cbAdd1->setChecked(true);
    ebAddress->setReadOnly(true);
    ebAddress->setFocusPolicy(Qt::NoFocus);
    QFont statusFont = labStatus->font();
    statusFont.setPixelSize(StatusFontPixels);
    statusFont.setBold(true);
    labStatus->setFont(statusFont);
    labStatus->setAlignment(Qt::AlignCenter);
    labStatus->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    labStatistics->setObjectName("labStatistics");
    labStatistics->setWordWrap(true);
    BuildLayout();
    for (QCheckBox* box : Boxes())
        connect(box, &QCheckBox::toggled, this, &TfrmAddress::cbAddClick);
    connect(BitBtn1, &QPushButton::clicked, this, &QDialog::close);
    cbAddClick();
}

std::array<QCheckBox*, TfrmAddress::BoxCount> TfrmAddress::Boxes() const
{
    return {cbAdd32, cbAdd16, cbAdd8, cbAdd4, cbAdd2, cbAdd1};
}

// Each weight sits above its box; the address follows the boxes after an
// "=" sign, with the status below and the Close button at the bottom.
void TfrmAddress::BuildLayout()
{
    auto* bits = new QGridLayout;
    for (int i = 0; i < BoxCount; ++i) {
        auto* weight = new QLabel(QString::number(Weight(i)), this);
        weight->setAlignment(Qt::AlignHCenter | Qt::AlignBottom);
        bits->addWidget(weight, 0, i, Qt::AlignHCenter);
        bits->addWidget(Boxes()[i], 1, i, Qt::AlignHCenter);
    }
    auto* equals = new QLabel("=", this);
    bits->addWidget(equals, 1, BoxCount, Qt::AlignHCenter);
    ebAddress->setFixedWidth(ebAddress->fontMetrics().horizontalAdvance("   000") + EditPadding);
    bits->addWidget(ebAddress, 1, BoxCount + 1);
    bits->setHorizontalSpacing(10);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(BitBtn1);
    buttons->addStretch();

    auto* page = new QVBoxLayout(this);
    page->addLayout(bits);
    page->addWidget(labStatus);
    page->addWidget(labStatistics);
    page->addLayout(buttons);
    page->setSizeConstraint(QLayout::SetFixedSize);
}

int TfrmAddress::GetAddress() const
{
    int address = 0;
    for (int i = 0; i < BoxCount; ++i)
        if (Boxes()[i]->isChecked())
            address += Weight(i);
    return address;
}

void TfrmAddress::SetAddress(int address)
{
    if (address > 0 && address <= MaxAddress) {
        // Blocked so that the text is written once, from the final state.
        for (int i = 0; i < BoxCount; ++i) {
            const QSignalBlocker blocker(Boxes()[i]);
            Boxes()[i]->setChecked((address & Weight(i)) != 0);
        }
    }
    cbAddClick();
}

void TfrmAddress::cbAddClick()
{
    ebAddress->setText("   " + QString::number(GetAddress()));
    emit AddressChanged(GetAddress());
}

void TfrmAddress::showEvent(QShowEvent* event)
{
    FormShow();
    QDialog::showEvent(event);
}

// Centred on the screen the dialog is on, every time it is shown.
void TfrmAddress::FormShow()
{
    CentreOnScreen(*this);
}

void TfrmAddress::SetCommStatus(const QString& status)
{
    labStatus->setText(status);
}

void TfrmAddress::SetStatistics(const QString& summary)
{
    labStatistics->setText(summary);
}

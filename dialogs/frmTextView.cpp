#include "frmTextView.h"

#include <QClipboard>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

TTextView::TTextView(QWidget* parent)
    : QDialog(parent)
    , Memo(new QPlainTextEdit(this))
    , bSelectAll(new QPushButton("Copy To Clipboard", this))
{
    setWindowTitle("Text Viewer");
    setObjectName("TextView");
    Memo->setObjectName("Memo");
    bSelectAll->setObjectName("bSelectAll");

    Memo->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    Memo->setReadOnly(true);
    Memo->installEventFilter(this);
    bSelectAll->setAutoDefault(false);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(bSelectAll);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(Memo, 1);
    layout->addLayout(buttons);
    resize(560, 400);

    connect(bSelectAll, &QPushButton::clicked, this, &TTextView::bSelectAllClick);
}

void TTextView::SetText(const QString& text)
{
    Memo->setPlainText(text);
}

bool TTextView::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == Memo && event->type() == QEvent::KeyPress && FormKeyPress(static_cast<QKeyEvent&>(*event)))
        return true;
    return QDialog::eventFilter(watched, event);
}

void TTextView::keyPressEvent(QKeyEvent* event)
{
    if (!FormKeyPress(*event))
        QDialog::keyPressEvent(event);
}

bool TTextView::FormKeyPress(const QKeyEvent& event)
{
    if (event.key() != Qt::Key_Escape)
        return false;
    close();
    return true;
}

void TTextView::bSelectAllClick()
{
    Memo->selectAll();
    QGuiApplication::clipboard()->setText(Memo->toPlainText());
}

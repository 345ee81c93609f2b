#include "UEditIPAddr.h"

#include "MessageBoxes.h"
#include "UIPAddrUtils.h"

#include <QApplication>
#include <QClipboard>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpressionValidator>
#include <QStringList>

#include <algorithm>
#include <utility>

namespace {

constexpr int MaxOctet = 255;
constexpr int OctetDigits = 3;

// An octet field. A click selects the whole field so that the next digits
// replace it; this must follow the line edit's own release handling, which
// may drop a selection that the press started a drag on.
class TOctetEdit : public QLineEdit {
public:
    using QLineEdit::QLineEdit;

protected:
    void mouseReleaseEvent(QMouseEvent* event) override
    {
        QLineEdit::mouseReleaseEvent(event);
        selectAll();
    }
};

bool IsDigitKey(int key)
{
    return key >= Qt::Key_0 && key <= Qt::Key_9;
}

// The keypad's decimal key reports a comma under some keyboard layouts.
bool IsPeriodKey(const QKeyEvent& key)
{
    return key.key() == Qt::Key_Period ||
           (key.key() == Qt::Key_Comma && key.modifiers().testFlag(Qt::KeypadModifier));
}

bool ModifierOrLeftButtonHeld(const QKeyEvent& key)
{
    return (key.modifiers() & (Qt::ShiftModifier | Qt::AltModifier | Qt::ControlModifier)) ||
           QGuiApplication::mouseButtons().testFlag(Qt::LeftButton);
}

void SetBackground(QWidget* widget, const QColor& colour)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, colour);
    palette.setColor(QPalette::Base, colour);
    widget->setPalette(palette);
}

} // namespace

CEditIPAddr::CEditIPAddr(QWidget* parent) : QWidget(parent)
{
    CreatePanel();
    CreateFieldsAndDots();
    ApplyGeometry();
    PaintBackground(isEnabled());
    // Focusing the control itself lands in the first field.
    setFocusProxy(ebOctet[0]);
    connect(qApp, &QApplication::focusChanged, this, &CEditIPAddr::FocusChanged);
}

void CEditIPAddr::CreatePanel()
{
    auto* outer = new QHBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    pnlBackground = new QFrame(this);
    pnlBackground->setObjectName("pnlBackground");
    pnlBackground->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    pnlBackground->setAutoFillBackground(true);
    pnlBackground->setCursor(Qt::IBeamCursor);
    pnlBackground->installEventFilter(this);
    outer->addWidget(pnlBackground);
}

void CEditIPAddr::CreateFieldsAndDots()
{
    auto* row = new QHBoxLayout(pnlBackground);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    const auto* digitsOnly = new QRegularExpressionValidator(QRegularExpression("[0-9]{0,3}"), this);
    for (int b = 0; b < FieldCount; ++b) {
        auto* field = new TOctetEdit(pnlBackground);
        field->setObjectName(QString("ebOctet%1").arg(b));
        field->setFrame(false);
        field->setMaxLength(OctetDigits);
        field->setAlignment(Qt::AlignCenter);
        field->setValidator(digitsOnly);
        field->setFocusPolicy(b == 0 ? Qt::StrongFocus : Qt::ClickFocus);
        field->installEventFilter(this);
        connect(field, &QLineEdit::textEdited, this, [this, b](const QString& text) { FieldTextEdited(b, text); });
        ebOctet[b] = field;
        row->addWidget(field);
        if (b + 1 < FieldCount) {
            labDot[b] = new QLabel(".", pnlBackground);
            labDot[b]->setObjectName(QString("labDot%1").arg(b));
            labDot[b]->setAlignment(Qt::AlignHCenter | Qt::AlignBottom);
            labDot[b]->setAutoFillBackground(true);
            labDot[b]->installEventFilter(this);
            row->addWidget(labDot[b]);
        }
    }
    row->addStretch();
}

// The fields are 21 pixels wide, or as wide as three digits of the current
// font need, so that no octet is ever shown cut off.
void CEditIPAddr::ApplyGeometry()
{
    constexpr int lineEditMargins = 2 * 2 + 2; // the line edit's fixed inner margins, plus one pixel a side
    const QFontMetrics metrics(font());
    const int fieldWidth = std::max(FieldWidth, metrics.horizontalAdvance("000") + lineEditMargins);
    for (QLineEdit* field : ebOctet)
        field->setFixedWidth(fieldWidth);
    for (QLabel* dot : labDot)
        dot->setFixedWidth(std::max(DotWidth, metrics.horizontalAdvance('.')));
    setMinimumWidth(std::max(DefaultWidth, sizeHint().width()));
    setFixedHeight(sizeHint().height());
    updateGeometry();
}

QSize CEditIPAddr::sizeHint() const
{
    const int frame = 2 * pnlBackground->frameWidth();
    const int content = FieldCount * ebOctet[0]->minimumWidth() + (FieldCount - 1) * labDot[0]->minimumWidth();
    const int height = std::max(DefaultHeight, QFontMetrics(font()).height() + frame + 2);
    return {std::max(DefaultWidth, content + frame), height};
}

void CEditIPAddr::PaintBackground(bool enabled)
{
    const QColor colour = palette().color(QPalette::Active, enabled ? QPalette::Base : QPalette::Button);
    SetBackground(pnlBackground, colour);
    for (QLineEdit* field : ebOctet)
        SetBackground(field, colour);
    for (QLabel* dot : labDot)
        SetBackground(dot, colour);
}

void CEditIPAddr::changeEvent(QEvent* event)
{
    // A new palette (a dark desktop theme) brings its own field colour.
    if (event->type() == QEvent::EnabledChange || event->type() == QEvent::PaletteChange)
        PaintBackground(isEnabled());
    else if (event->type() == QEvent::FontChange)
        ApplyGeometry();
    QWidget::changeEvent(event);
}

bool CEditIPAddr::Complete() const
{
    return std::none_of(ebOctet.begin(), ebOctet.end(), [](const QLineEdit* f) { return f->text().isEmpty(); });
}

QString CEditIPAddr::Text()
{
    if (std::all_of(ebOctet.begin(), ebOctet.end(), [](const QLineEdit* f) { return f->text().isEmpty(); }))
        return {};
    QStringList octets;
    for (QLineEdit* field : ebOctet) {
        QString octet = field->text();
        if (octet.isEmpty())
            octet = "0";
        else if (!acceptOctal_)
            octet = QString::number(octet.toInt());
        // Rewriting an unchanged field would only move the user's caret.
        if (octet != field->text())
            field->setText(octet);
        octets << octet;
    }
    return octets.join('.');
}

void CEditIPAddr::SetText(const QString& text)
{
    if (text.isEmpty()) {
        for (QLineEdit* field : ebOctet)
            field->clear();
        return;
    }
    std::array<int, FieldCount> octets{};
    try {
        for (int b = 0; b < FieldCount; ++b)
            octets[b] = GetIPOctet(text, b + 1);
    } catch (const EIPAddrError&) {
        throw EIPAddrError("Bad IP address string given to component");
    } catch (const EIPAddrAssertion&) {
        throw EIPAddrError("Bad IP address string given to component");
    }
    for (int b = 0; b < FieldCount; ++b)
        ebOctet[b]->setText(QString::number(octets[b]));
    ebOctet[0]->selectAll();
}

int CEditIPAddr::FieldIndex(const QObject* object) const
{
    const auto it = std::find(ebOctet.begin(), ebOctet.end(), object);
    return it == ebOctet.end() ? -1 : static_cast<int>(it - ebOctet.begin());
}

int CEditIPAddr::DotIndex(const QObject* object) const
{
    const auto it = std::find(labDot.begin(), labDot.end(), object);
    return it == labDot.end() ? -1 : static_cast<int>(it - labDot.begin());
}

bool CEditIPAddr::eventFilter(QObject* watched, QEvent* event)
{
    const int field = FieldIndex(watched);
    switch (event->type()) {
    case QEvent::KeyPress:
        return field >= 0 && FieldKeyDown(field, *static_cast<QKeyEvent*>(event));
    case QEvent::KeyRelease:
        if (field >= 0)
            SetFieldsReadOnly(false);
        return false;
    case QEvent::FocusIn: {
        // Tabbing in or a program's setFocus selects the first field; a click,
        // or the window becoming active again, leaves the caret where it is.
        const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
        if (field == 0 && reason != Qt::MouseFocusReason && reason != Qt::ActiveWindowFocusReason &&
            reason != Qt::PopupFocusReason)
            ebOctet[0]->selectAll();
        return false;
    }
    case QEvent::MouseButtonPress: {
        if (static_cast<QMouseEvent*>(event)->button() != Qt::LeftButton)
            return false;
        if (const int dot = DotIndex(watched); dot >= 0) {
            FocusWithCaretAtEnd(dot);
            return true;
        }
        if (watched == pnlBackground) {
            FocusWithCaretAtEnd(FieldCount - 1);
            return true;
        }
        return false;
    }
    default:
        return false;
    }
}

// Handles a key going down in field b. Returns true when the key moved the
// focus to a neighbouring field: it is then used up, so that it cannot also
// edit the field it left.
bool CEditIPAddr::FieldKeyDown(int b, const QKeyEvent& key)
{
    const int code = key.key();
    if (code == Qt::Key_Shift || code == Qt::Key_Control)
        return false;
    const bool afterAutomaticMove = std::exchange(autoMovedTo_, -1) == b;
    if ((IsPeriodKey(key) || code == Qt::Key_Space) && afterAutomaticMove)
        return true;
    if (key.matches(QKeySequence::Paste))
        return PasteAddress();
    QLineEdit* field = ebOctet[b];
    const int caret = field->cursorPosition();
    const int last = FieldCount - 1;
    if (code == Qt::Key_Right && b < last && caret == field->text().size()) {
        ebOctet[b + 1]->setFocus();
        ebOctet[b + 1]->setCursorPosition(0);
        return true;
    }
    if (code == Qt::Key_Left && b > 0 && caret == 0) {
        FocusWithCaretAtEnd(b - 1);
        return true;
    }
    // With text selected, Backspace deletes the selection as usual; crossing
    // into the previous field would delete a digit the user did not mean.
    if (code == Qt::Key_Backspace && b > 0 && caret == 0 && !field->hasSelectedText()) {
        QLineEdit* previous = ebOctet[b - 1];
        previous->setFocus();
        previous->setText(previous->text().chopped(std::min<qsizetype>(1, previous->text().size())));
        previous->end(false);
        return true;
    }
    if ((IsPeriodKey(key) || code == Qt::Key_Space) && !field->text().isEmpty() && b < last) {
        FocusAndSelect(b + 1);
        return true;
    }
    // Any other key may move the caret but must not produce a character; the
    // field stays read-only until the key comes up again.
    const bool editKey = IsDigitKey(code) || code == Qt::Key_Backspace || code == Qt::Key_Delete;
    if (ModifierOrLeftButtonHeld(key) || !editKey)
        field->setReadOnly(true);
    return false;
}

void CEditIPAddr::SetFieldsReadOnly(bool readOnly)
{
    for (QLineEdit* field : ebOctet)
        field->setReadOnly(readOnly);
}

void CEditIPAddr::FieldTextEdited(int b, const QString& text)
{
    QLineEdit* field = ebOctet[b];
    if (!text.isEmpty() && text.toInt() > MaxOctet) {
        field->setText(QString::number(MaxOctet));
        field->selectAll();
        ShowMessageBox(this, QMessageBox::Critical, "Error",
                       text + " is not a valid entry. Please specify a value between 0 and 255 for this field.");
        return;
    }
    if (b < FieldCount - 1 && text.size() == OctetDigits && field->cursorPosition() == OctetDigits) {
        FocusAndSelect(b + 1);
        autoMovedTo_ = b + 1;
    }
}

// A dotted address on the clipboard fills all four fields, whichever one
// has the focus; anything else pastes nothing (a field takes digits only,
// typed). The key is used up either way.
bool CEditIPAddr::PasteAddress()
{
    const QString text = QGuiApplication::clipboard()->text().trimmed();
    if (text.isEmpty())
        return true;
    try {
        SetText(text);
    } catch (const EIPAddrError&) {
        return true;
    }
    FocusWithCaretAtEnd(FieldCount - 1);
    return true;
}

void CEditIPAddr::FocusWithCaretAtEnd(int b)
{
    ebOctet[b]->setFocus();
    ebOctet[b]->end(false);
}

void CEditIPAddr::FocusAndSelect(int b)
{
    ebOctet[b]->setFocus();
    ebOctet[b]->selectAll();
}

// When the focus leaves the control, the next entry starts with the first
// field selected. A key whose release went to another window (Tab, a
// shortcut) must not leave a field locked either.
void CEditIPAddr::FocusChanged(QWidget* old, QWidget* now)
{
    if (FieldIndex(old) < 0 || FieldIndex(now) >= 0)
        return;
    ebOctet[0]->selectAll();
    SetFieldsReadOnly(false);
}

#pragma once

#include <QString>
#include <QWidget>

#include <array>

class QFrame;
class QKeyEvent;
class QLabel;
class QLineEdit;

// An IPv4 address edit: four octet fields separated by dots on one bordered
// panel. The keyboard moves between the fields the way a technician types an
// address (digits advance, period or space jumps, arrows and Backspace cross
// the dots), and a field never holds more than 255. A period typed right
// after the third digit moved on by itself is that move, not another one,
// so "192.168.1.50" typed in full lands as typed; a dotted address pasted
// into any field fills all four.
class CEditIPAddr : public QWidget {
    Q_OBJECT
public:
    static constexpr int DefaultWidth = 100;
    static constexpr int DefaultHeight = 21;
    static constexpr int FieldWidth = 21;
    static constexpr int DotWidth = 3;

    explicit CEditIPAddr(QWidget* parent = nullptr);

    // The address as dotted text, or "" when every field is empty. Reading
    // tidies the fields: an empty one becomes 0 and, unless AcceptOctal is
    // set, leading zeros are dropped (010 reads and shows as 10).
    QString Text();
    // True when every field holds a number: a half-filled address is no
    // address, though Text reads its empty fields as 0.
    bool Complete() const;
    // "" empties the fields. Anything else must be a valid dotted address,
    // else EIPAddrError("Bad IP address string given to component") is raised
    // and the fields keep their contents.
    void SetText(const QString& text);

    bool AcceptOctal() const { return acceptOctal_; }
    void SetAcceptOctal(bool accept) { acceptOctal_ = accept; }

    bool Enabled() const { return isEnabled(); }
    void SetEnabled(bool enabled) { setEnabled(enabled); }

    QSize sizeHint() const override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    static constexpr int FieldCount = 4;

    void CreatePanel();
    void CreateFieldsAndDots();
    void ApplyGeometry();
    void PaintBackground(bool enabled);
    int FieldIndex(const QObject* object) const;
    int DotIndex(const QObject* object) const;

    bool FieldKeyDown(int b, const QKeyEvent& key);
    bool PasteAddress();
    void SetFieldsReadOnly(bool readOnly);
    void FieldTextEdited(int b, const QString& text);
    void FocusWithCaretAtEnd(int b);
    void FocusAndSelect(int b);
    void FocusChanged(QWidget* old, QWidget* now);

    bool acceptOctal_ = false;
    // The field the focus moved to by itself after a third digit, until the
    // next key: -1 when there is none.
    int autoMovedTo_ = -1;
    QFrame* pnlBackground = nullptr;
    std::array<QLineEdit*, FieldCount> ebOctet{};
    std::array<QLabel*, FieldCount - 1> labDot{};
};

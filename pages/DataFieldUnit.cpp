#include "DataFieldUnit.h"

#include "DesignUnits.h"
#include "MessageBoxes.h"
#include "OutFormat.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QStyleOptionFocusRect>
#include <QStylePainter>

#include <cmath>
#include <numeric>

namespace {

// A name of the formula in the parsed tree: a floating value, read from the
// slot that the field fills before each evaluation. Every read is noted, so
// that the field learns whether building the tree read a name.
class TNameLeaf final : public TExpression {
public:
    TNameLeaf(const double& value, bool& read) : value_(value), read_(read) {}
    std::string ReadString() const override
    {
        read_ = true;
        return ExprFloatText(value_);
    }
    double ReadFloat() const override
    {
        read_ = true;
        return value_;
    }
    TExprKind ResultKind() const override { return TExprKind::ekFloat; }

private:
    const double& value_;
    bool& read_;
};

} // namespace

TDataField::TDataField(QWidget* parent) : QFrame(parent)
{
    setFrameShape(QFrame::NoFrame);
    setFocusPolicy(Qt::StrongFocus);
    caption_ = new QLabel(this);
    // Only the weight is the caption's own: the size follows the field's font.
    QFont bold;
    bold.setBold(true);
    caption_->setFont(bold);
    caption_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    dataPanel_ = new QLabel(this);
    dataPanel_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    dataPanel_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    dataPanel_->installEventFilter(this);
    text_ = "-- ";
    Relayout();

    // The context menu offers the field's actions; the labels pass their
    // context menu requests on to the field.
    auto* addToTrend = new QAction("Add to Trend", this);
    connect(addToTrend, &QAction::triggered, this, [this] { emit AddToTrendRequested(this); });
    addAction(addToTrend);
    setContextMenuPolicy(Qt::ActionsContextMenu);
    SetFormula("0");
}

void TDataField::SetFormula(const QString& formula)
{
    formula_ = formula.left(MaxTextLength);
    formulaText_ = formula_.toStdString();
    Parse(false);
    // Operators take their operands' kinds while the tree is built, and an IF
    // operand takes its kind from its condition then. When that read a name,
    // the kinds are those of the names' values at the time, so such a formula
    // is parsed again at every evaluation, with that evaluation's values.
    parseEachPass_ = nameRead_;
}

// Builds tree_ from the formula, with a slot in names_ for each name the
// parser hands to the hook, in the order it does. With fetchWhileParsing
// each name's value is fetched as the parser meets it. A formula that does
// not parse leaves no tree, and the names met before the error.
void TDataField::Parse(bool fetchWhileParsing)
{
    // Built aside, and kept only if the formula is still the one parsed:
    // fetching a name may show a message box, and inside its event loop the
    // formula may be set anew.
    const std::string text = formulaText_;
    std::deque<TNameValue> names;
    TExpressionPtr tree;
    nameRead_ = false;
    try {
        tree = ParseExpression(text, [&](const std::string& name, const TParameterList* /*arguments*/) {
            TNameValue& slot = names.emplace_back(TNameValue{name});
            if (fetchWhileParsing)
                slot.Value = FetchName(name);
            return std::make_unique<TNameLeaf>(slot.Value, nameRead_);
        });
    } catch (...) {
        // No tree: DoMath shows N/A.
    }
    if (text != formulaText_)
        return;
    tree_ = std::move(tree);
    names_ = std::move(names); // a deque's move keeps its elements where they are
}

void TDataField::SetLocale(const QLocale& locale)
{
    locale_ = locale;
    valueFormat_ = TValueFormat(locale);
}

void TDataField::SetCaption(const QString& caption)
{
    caption_->setText(caption);
    Relayout();
}

void TDataField::SetSize(int size)
{
    size_ = size;
    Relayout();
}

void TDataField::SetOffset(int offset)
{
    if (offset == offset_)
        return;
    offset_ = offset;
    offsetSet_ = true;
    Relayout();
}

QSize TDataField::DesignSize() const
{
    return {std::max(CaptionWidth, offsetSet_ ? offset_ : CaptionWidth) + size_, FieldHeight};
}

// The caption gets its design width or its text's, whichever is more; the
// value box its design size or the widest text's. The box stands at its
// design offset, or right of the caption, but never over the caption's text.
void TDataField::Relayout()
{
    const double scale = DesignUnits::Scale(font());
    const int height = DesignUnits::ToPixels(FieldHeight, scale);
    const int captionText = caption_->text().isEmpty() ? 0 : caption_->sizeHint().width();
    const int captionWidth = std::max(DesignUnits::ToPixels(CaptionWidth, scale), captionText);
    const int panelX = std::max(offsetSet_ ? DesignUnits::ToPixels(offset_, scale) : captionWidth, captionText);
    const int panelWidth = PanelWidth();
    const int left = std::max(captionWidth, panelX);
    caption_->setGeometry(0, 0, left, height);
    dataPanel_->setGeometry(panelX, 0, panelWidth, height);
    sizeHint_ = QSize(left + panelWidth, height);
    resize(sizeHint_);
    updateGeometry();
    ShowText(text_); // the text or OverflowMark, as the new box allows
}

int TDataField::PanelWidth() const
{
    return std::max(DesignUnits::ToPixels(size_, DesignUnits::Scale(font())), heldWidth_);
}

void TDataField::ShowText(const QString& text)
{
    text_ = text;
    dataPanel_->setText(text);
    need_ = dataPanel_->sizeHint().width();
    if (need_ > DesignUnits::ToPixels(MaxPanelWidth, DesignUnits::Scale(font())))
        need_ = 0; // no box grows to it
    overflow_ = need_ == 0 || need_ > PanelWidth();
    if (overflow_ && need_ > 0 && recentNeeds_.empty()) {
        // Until its page first fits it, the field takes the room it needs.
        heldWidth_ = need_;
        Relayout(); // shows the text again, in a box that holds it
    } else if (overflow_) {
        dataPanel_->setText(OverflowMark);
    }
}

// A text that one calculation alone needed room for (a value computed from a
// pass half done) is shown as OverflowMark rather than moving the columns.
void TDataField::FitWidth()
{
    recentNeeds_.push_back(need_);
    if (recentNeeds_.size() > HeldCalculations)
        recentNeeds_.pop_front();
    // Room is earned by two of any three calculations in a row, so that a
    // value that changes its width at every pass keeps its box as well.
    int earned = recentNeeds_.size() == 1 ? need_ : 0;
    for (std::size_t i = 1; i < recentNeeds_.size(); ++i)
        for (std::size_t j = i < 2 ? 0 : i - 2; j < i; ++j)
            earned = std::max(earned, std::min(recentNeeds_[j], recentNeeds_[i]));
    if (earned == heldWidth_)
        return;
    heldWidth_ = earned;
    Relayout();
}

void TDataField::changeEvent(QEvent* event)
{
    QFrame::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        // The labels have taken the new font: the text shown is measured
        // anew and keeps its room, the earlier ones are forgotten.
        ShowText(text_);
        recentNeeds_.assign(2, need_);
        heldWidth_ = need_;
        Relayout();
    }
}

void TDataField::keyPressEvent(QKeyEvent* event)
{
    const bool menuKey = event->key() == Qt::Key_Menu
                         || (event->key() == Qt::Key_F10 && event->modifiers() == Qt::ShiftModifier);
    if (!menuKey) {
        QFrame::keyPressEvent(event);
        return;
    }
    const QPoint at = dataPanel_->geometry().center();
    QContextMenuEvent menu(QContextMenuEvent::Keyboard, at, mapToGlobal(at), event->modifiers());
    QApplication::sendEvent(this, &menu);
}

void TDataField::paintEvent(QPaintEvent* event)
{
    QFrame::paintEvent(event);
    if (!hasFocus())
        return;
    QStylePainter painter(this);
    QStyleOptionFocusRect option;
    option.initFrom(this);
    option.backgroundColor = palette().color(QPalette::Window);
    painter.drawPrimitive(QStyle::PE_FrameFocusRect, option);
}

bool TDataField::eventFilter(QObject* watched, QEvent* event)
{
    // The statistics change at every evaluation but are read only when the
    // pointer rests on the value box: their text is built then, and the
    // label's own handling shows it.
    if (watched == dataPanel_ && event->type() == QEvent::ToolTip)
        dataPanel_->setToolTip(ToolTipText());
    if (watched == dataPanel_ && event->type() == QEvent::MouseButtonRelease
        && static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton && OnClick) {
        OnClick(this);
        return true;
    }
    return QFrame::eventFilter(watched, event);
}

void TDataField::Blank()
{
    hasValue_ = false;
    ShowText("-- ");
}

void TDataField::Reset()
{
    resetPending_ = true;
}

// DataFunction's value for a name. A name that DataFunction cannot give a
// value for (it raises) leaves the formula without a value: DoMath then
// shows "-- ".
double TDataField::FetchName(const std::string& name)
{
    if (!DataFunction) {
        ShowMessageBox(this, QMessageBox::Warning, "Kelvane", "DataFunction Property not assigned!");
        return 0;
    }
    try {
        return DataFunction(name);
    } catch (...) {
        nameWithoutValue_ = true;
        return 0;
    }
}

// Fetches every name the parser met, in its order, whether or not the tree
// still holds it (the arguments written after a name are parsed but not
// kept) and whether or not this evaluation reads it (a name in the branch an
// IF does not take): a field reference evaluates that field, and a name
// without a value leaves the whole formula without one.
void TDataField::FetchNames()
{
    // By index: a message box about a missing DataFunction runs the event
    // loop, inside which the formula may be set anew.
    for (std::size_t i = 0; i < names_.size(); ++i) {
        const double value = FetchName(names_[i].Name);
        if (i < names_.size())
            names_[i].Value = value;
    }
}

void TDataField::DoMath()
{
    hasValue_ = false;
    nameWithoutValue_ = false;
    if (parseEachPass_)
        Parse(true);
    else
        FetchNames();
    if (!tree_) {
        ShowText("N/A");
        return;
    }
    if (nameWithoutValue_) {
        Blank();
        return;
    }
    try {
        QString text = DisplayText(*tree_);
        text += u' '; // in place: the default number format leaves room for it
        ShowText(text);
    } catch (...) {
        Blank();
    }
}

// The text of the tree's value; numeric values also become Value and feed
// the statistics. Raises when the value cannot be shown.
QString TDataField::DisplayText(const TExpression& tree)
{
    const TExprKind kind = tree.ResultKind();
    if (kind == TExprKind::ekString || kind == TExprKind::ekBoolean)
        return QString::fromStdString(tree.ReadString());

    const double v = tree.ReadFloat();
    // A meter can hand back a floating pattern that is not a number; it is
    // no value to show or to keep in the statistics.
    if (!std::isfinite(v))
        throw EExpression("The value is not a finite number");
    QString text;
    if (outFormat_.isEmpty()) {
        text = valueFormat_.Text(v, Decimals, PostFix, UnitDivider);
    } else {
        const double t = std::trunc(v);
        const bool whole = t == v && std::fabs(t) < 9.2e18;
        const auto formatted = whole ? OutFormat::FormatWhole(outFormat_, static_cast<int64_t>(t), locale_)
                                     : OutFormat::FormatFloating(outFormat_, v, locale_);
        if (!formatted)
            throw EExpression("The output format does not suit the value");
        text = *formatted;
    }
    Value = v;
    hasValue_ = true;
    UpdateStatistics();
    return text;
}

void TDataField::UpdateStatistics()
{
    if (resetPending_) {
        Max = Min = Average = Value;
        ringIndex_ = 1;
        resetPending_ = false;
    } else {
        Max = std::max(Max, Value);
        Min = std::min(Min, Value);
        averageRing_[static_cast<std::size_t>(ringIndex_ - 1)] = Value;
        ringIndex_ = ringIndex_ % 5 + 1;
        Average = std::accumulate(averageRing_.begin(), averageRing_.end(), 0.0) / 5;
    }
    hasStatistics_ = true;
}

QString TDataField::StatisticsText() const
{
    if (!hasStatistics_)
        return {};
    QLocale plain = locale_;
    plain.setNumberOptions(QLocale::OmitGroupSeparator);
    return QString("(%1) Max: %2, Min: %3, Avg: %4")
        .arg(Caption(), plain.toString(Max, 'f', 2), plain.toString(Min, 'f', 2), plain.toString(Average, 'f', 2));
}

QString TDataField::ToolTipText() const
{
    const QString statistics = StatisticsText();
    if (!overflow_)
        return statistics;
    return statistics.isEmpty() ? text_.trimmed() : text_.trimmed() + '\n' + statistics;
}

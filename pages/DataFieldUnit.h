#pragma once

#include "ValueFormat.h"
#include "prExpr.h"

#include <QFrame>
#include <QLabel>
#include <QLocale>

#include <array>
#include <deque>
#include <functional>
#include <string>

// The resolver of names the formula language does not know itself: it gets
// the name in upper case and returns its value, or raises.
using TDataFunction = std::function<double(const std::string& identifier)>;

// One labelled value of a data page: a bold caption on the left and a sunken
// value box on the right. The field evaluates its formula on request, shows
// the result in its number format, and keeps the largest, the smallest and a
// five-sample average of its values, which the value box's tooltip shows
// (its text is built when the tooltip is asked for, not at each evaluation).
// "-- " in the box means no value, "N/A" a formula that does not parse.
//
// The field's measures are design units (see DesignUnits.h) that follow its
// font. Beyond them, the caption is as wide as its text, and the value box
// takes the room of its first value, then follows the texts of the page's
// latest calculations (FitWidth): it grows to a text that two of three
// calculations in a row needed room for, and shrinks back once no two of
// the last HeldCalculations did, so that a passing text moves no column. No digit is
// ever cut: a text wider than the box shows OverflowMark instead, and the
// whole text is the first line of the value box's tooltip (always so for a
// text wider than MaxPanelWidth).
//
// The field takes the keyboard focus (Tab, a click) and then shows a focus
// frame; the Menu key or Shift+F10 opens its context menu.
//
// The formula is parsed when it is set, and each evaluation reads the tree
// kept from then. The names in it stay names: each evaluation first fetches
// every one of them through DataFunction, in the order the parser met them,
// so the tree computes with the values of that moment. Only a formula whose
// building reads a name (an operator takes the kind of an IF whose condition
// holds one) is parsed again at each evaluation, with that moment's values.
class TDataField : public QFrame {
    Q_OBJECT
public:
    static constexpr int CaptionWidth = 75;
    static constexpr int FieldHeight = 20;
    static constexpr int MaxTextLength = 255;
    static constexpr int MaxPanelWidth = 300; // design units: about 35 digits
    static constexpr const char* OverflowMark = "####";
    static constexpr int HeldCalculations = 10;

    explicit TDataField(QWidget* parent = nullptr);

    // Fetches the formula's names, evaluates it and shows the result.
    void DoMath();
    // The page has calculated all its fields: the box takes the width that
    // the latest texts have earned.
    void FitWidth();
    // Shows "-- ": the field has no value.
    void Blank();
    // The next evaluation restarts the statistics.
    void Reset();
    // Whether the latest evaluation gave a number, now in Value; not after
    // Blank(), a failure, a text or truth value, or before the first DoMath.
    bool HasValue() const { return hasValue_; }

    QString Caption() const { return caption_->text(); }
    void SetCaption(const QString& caption);
    const QString& Formula() const { return formula_; }
    // Parses the formula; DoMath shows N/A while it does not parse.
    void SetFormula(const QString& formula);
    const QString& OutFormat() const { return outFormat_; }
    void SetOutFormat(const QString& format) { outFormat_ = format.left(MaxTextLength); }
    int Size() const { return size_; }
    void SetSize(int size);
    int Offset() const { return offset_; }
    void SetOffset(int offset);
    QLabel* DataPanel() const { return dataPanel_; }
    QLabel* CaptionLabel() const { return caption_; }
    // The whole text of the value: what the value box shows, unless that is
    // OverflowMark.
    const QString& Text() const { return text_; }
    QSize sizeHint() const override { return sizeHint_; }
    // The size that the measures give, in design units.
    QSize DesignSize() const;
    // The locale whose digits and separators the numbers use (the system's
    // unless set).
    void SetLocale(const QLocale& locale);

    int Decimals = 2;
    bool PostFix = false;
    int UnitDivider = 10000;
    QString Extra;
    double Value = 0;
    double Average = 0;
    double Max = 0;
    double Min = 0;
    TDataFunction DataFunction;
    std::function<void(TDataField* sender)> OnClick;

signals:
    // The user chose "Add to Trend" from the field's context menu.
    void AddToTrendRequested(TDataField* field);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void changeEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    // One name of the formula, as the parser handed it to the hook, and its
    // value for the evaluation under way.
    struct TNameValue {
        std::string Name;
        double Value = 0;
    };

    void Parse(bool fetchWhileParsing);
    void FetchNames();
    double FetchName(const std::string& name);
    QString DisplayText(const TExpression& tree);
    void UpdateStatistics();
    // The text the value box's tooltip shows: the caption, Max, Min and
    // Average. Empty until an evaluation has given a number.
    QString StatisticsText() const;
    // The statistics, after the whole value while the box shows OverflowMark.
    QString ToolTipText() const;
    // Shows the text in the value box, or OverflowMark when the box is too
    // narrow for it (until the page first fits the field, the box grows
    // instead), and notes the room it needs.
    void ShowText(const QString& text);
    int PanelWidth() const;
    // Sizes and places the caption and the value box at the field's font.
    void Relayout();

    QLabel* caption_;
    QLabel* dataPanel_;
    QString formula_;
    std::string formulaText_; // the formula as the parser reads it
    TExpressionPtr tree_;     // nullptr while the formula does not parse
    // Every name the parser met, arguments of names included; the tree's
    // name leaves read their Value. A deque, so the leaves' references stay
    // valid as it grows.
    std::deque<TNameValue> names_;
    bool nameRead_ = false;      // set by every read of a name leaf
    bool parseEachPass_ = false; // building the tree read a name (see SetFormula)
    QString outFormat_;
    int size_ = 75;
    int offset_ = 0;
    bool offsetSet_ = false; // until SetOffset moves it, the box follows the caption
    QString text_;           // the value's whole text
    bool overflow_ = false;  // the box shows OverflowMark for text_
    int need_ = 0;           // the box the latest text needs, in pixels (0: none it may grow to)
    std::deque<int> recentNeeds_; // need_ at the latest calculations, newest last
    int heldWidth_ = 0;      // the box the recent texts have earned
    QSize sizeHint_;
    QLocale locale_;
    TValueFormat valueFormat_; // the default number format in locale_
    std::array<double, 5> averageRing_{};
    int ringIndex_ = 1;
    bool resetPending_ = true;
    bool hasStatistics_ = false;
    bool hasValue_ = false;
    bool nameWithoutValue_ = false; // set by FetchName when DataFunction raises
};

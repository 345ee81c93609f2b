#pragma once

#include "prExpr.h"

#include <QFrame>
#include <QLabel>
#include <QLocale>

#include <array>
#include <functional>
#include <string>

// The resolver of names the formula language does not know itself: it gets
// the name in upper case and returns its value, or raises.
using TDataFunction = std::function<double(const std::string& identifier)>;

// One labelled value of a data page: a bold caption on the left and a sunken
// value box on the right. The field evaluates its formula on request, shows
// the result in its number format, and keeps the largest, the smallest and a
// five-sample average of its values, which the value box's tooltip shows.
// "-- " in the box means no value, "N/A" a formula that does not parse.
class TDataField : public QFrame {
    Q_OBJECT
public:
    static constexpr int CaptionWidth = 75;
    static constexpr int FieldHeight = 20;
    static constexpr int MaxTextLength = 255;

    explicit TDataField(QWidget* parent = nullptr);

    // Evaluates the formula and shows the result.
    void DoMath();
    // Shows "-- ": the field has no value.
    void Blank();
    // The next evaluation restarts the statistics.
    void Reset();
    // The hook through which the formula reaches DataFunction. A name that
    // DataFunction cannot give a value for (it raises) leaves the formula
    // without a value: DoMath then shows "-- ".
    TExpressionPtr ResolveIdentifier(const std::string& name, const TParameterList* arguments);
    // Whether the latest evaluation gave a number, now in Value; not after
    // Blank(), a failure, a text or truth value, or before the first DoMath.
    bool HasValue() const { return hasValue_; }

    // The value text in the default number format: sign, the magnitude with
    // its integer digits grouped by three and `decimals` fraction digits, and
    // with postFix a "K", "M" or "G" for each division by 1000 that a
    // magnitude of at least unitDivider takes. The locale gives the digits and
    // the separators, never the grouping. Halves round away from zero.
    static QString FormatValue(double x, int decimals, bool postFix, int unitDivider, const QLocale& locale);

    QString Caption() const { return caption_->text(); }
    void SetCaption(const QString& caption) { caption_->setText(caption); }
    const QString& Formula() const { return formula_; }
    void SetFormula(const QString& formula);
    const QString& OutFormat() const { return outFormat_; }
    void SetOutFormat(const QString& format) { outFormat_ = format.left(MaxTextLength); }
    int Size() const { return size_; }
    void SetSize(int size);
    int Offset() const { return offset_; }
    void SetOffset(int offset);
    QLabel* DataPanel() const { return dataPanel_; }
    // The locale whose separators the numbers use (the system's unless set).
    void SetLocale(const QLocale& locale) { locale_ = locale; }

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

private:
    QString DisplayText(const TExpression& tree);
    void UpdateStatistics();

    QLabel* caption_;
    QLabel* dataPanel_;
    QString formula_ = "0";
    std::string formulaText_ = "0"; // the formula as the parser reads it
    QString outFormat_;
    int size_ = 75;
    int offset_ = 0;
    QLocale locale_;
    std::array<double, 5> averageRing_{};
    int ringIndex_ = 1;
    bool resetPending_ = true;
    bool hasValue_ = false;
    bool nameWithoutValue_ = false; // set by ResolveIdentifier during a parse
};

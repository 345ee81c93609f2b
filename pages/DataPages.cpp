#include "DataPages.h"

#include "IniFile.h"
#include "KelvaneCOM.h"
#include "PageLayout.h"

#include <QDir>
#include <QLabel>
#include <QRegularExpression>
#include <QScrollArea>
#include <QSet>
#include <QTabWidget>
#include <QTimer>

#include <algorithm>
#include <charconv>
#include <string_view>
#include <numeric>

namespace {

const QString InfoSection = "~~INFO~~";

// The register address after a name's first letter: a 4xxxx number, or
// hexadecimal; 0 when it is neither, and -1 (no register) when it lies
// beyond the register image.
int RegisterAddress(std::string_view digits)
{
    const char* first = digits.data();
    const char* last = first + digits.size();
    uint64_t decimal = 0;
    auto [end, error] = std::from_chars(first, last, decimal, 10);
    if (error == std::errc() && end == last && decimal > 40000)
        return decimal - 40001 <= 65535 ? static_cast<int>(decimal - 40001) : -1;
    if (error == std::errc::result_out_of_range)
        return -1;
    uint64_t hex = 0;
    const auto parsed = std::from_chars(first, last, hex, 16);
    if (parsed.ec == std::errc::result_out_of_range)
        return -1;
    if (parsed.ec != std::errc() || parsed.ptr != last)
        return 0;
    return hex <= 65535 ? static_cast<int>(hex) : -1;
}

bool IsIdentifier(const QString& name)
{
    static const QRegularExpression pattern("^[A-Za-z_][A-Za-z0-9_]*$");
    return pattern.match(name).hasMatch();
}

} // namespace

TDataPages::TDataPages(QTabWidget& pageControl, std::function<TKelvane*()> link, QString directory)
    : pageControl_(pageControl), link_(std::move(link)), directory_(std::move(directory))
{
    SetLocale(locale_);
}

void TDataPages::SetLocale(const QLocale& locale)
{
    locale_ = locale;
    // Formulas that turn a number into text use the same separator.
    SetExprDecimalSeparator(locale.decimalPoint().toStdString());
    for (TDataField* field : dataFields_)
        field->SetLocale(locale);
}

// What a page under construction needs until its last field is built.
struct TDataPages::rBuild {
    rBuild(const QString& pageName, const QString& fileName)
        : PageName(pageName), Ini(fileName), Sections(Ini.Sections())
    {
    }

    QString PageName;
    TIniFile Ini;
    QStringList Sections;
    qsizetype Next = 0; // the section to build next
    QScrollArea* Tab = nullptr;
    QWidget* Sheet = nullptr; // in the tab once it is whole
    QLabel* Progress = nullptr;
    TPageLayout* Layout = nullptr;
    QStringList Unusable;
    QSet<QString> NamesOnPage; // upper case, as formulas name them
    std::function<void(const QStringList&)> Built;
};

TDataPages::~TDataPages() = default;

QStringList TDataPages::CreatePanel(const QString& pageName)
{
    QStringList warnings;
    BuildPanel(pageName, [&warnings](const QStringList& lines) { warnings = lines; });
    BuildRest();
    return warnings;
}

void TDataPages::BuildPanel(const QString& pageName, std::function<void(const QStringList& warnings)> built)
{
    BuildRest();
    if (!StartBuild(pageName)) {
        built({});
        return;
    }
    build_->Built = std::move(built);
    BuildSlice();
}

void TDataPages::BuildRest()
{
    if (build_)
        BuildFields(std::chrono::steady_clock::time_point::max());
}

// The next slice follows the events that came meanwhile: the polling's, the
// window's.
void TDataPages::BuildSlice()
{
    if (build_ && !BuildFields(std::chrono::steady_clock::now() + std::chrono::milliseconds(SliceTimeMs)))
        QTimer::singleShot(0, build_->Tab, [this] { BuildSlice(); });
}

// The tab ("Tab" + pageName) is a scroll area: the page grows with its font
// and its values, and where the tab is smaller, it scrolls. Until the page
// is whole it shows how far the building has come: placing fields one slice
// after another would place every field built so far at each slice.
bool TDataPages::StartBuild(const QString& pageName)
{
    const QString fileName = QDir(directory_).filePath(pageName + ".ini");
    if (!QFileInfo::exists(fileName))
        return false;
    build_ = std::make_unique<rBuild>(pageName, fileName);
    rBuild& b = *build_;
    b.Tab = new QScrollArea;
    b.Tab->setObjectName("Tab" + pageName);
    b.Tab->setFrameShape(QFrame::NoFrame);
    b.Tab->setWidgetResizable(true);
    b.Tab->setFocusPolicy(Qt::NoFocus); // Tab goes from field to field, not to the scroll area
    b.Progress = new QLabel;
    b.Progress->setAlignment(Qt::AlignCenter);
    b.Tab->setWidget(b.Progress);
    b.Sheet = new QWidget(b.Tab);
    b.Sheet->hide();
    b.Sheet->setObjectName("Sheet" + pageName);
    b.Layout = new TPageLayout(b.Sheet);
    pageControl_.addTab(b.Tab, b.Ini.ReadString(InfoSection, "Name", pageName));
    return true;
}

bool TDataPages::BuildFields(std::chrono::steady_clock::time_point deadline)
{
    rBuild& b = *build_;
    while (b.Next < b.Sections.size() && std::chrono::steady_clock::now() < deadline) {
        const QString& section = b.Sections[b.Next++];
        if (section.compare(InfoSection, Qt::CaseInsensitive) == 0)
            continue;
        const QString name = AddField(*b.Layout, b.Ini, section, b.PageName)->objectName();
        if (!IsIdentifier(name))
            b.Unusable.append(QString("\"%1\" (field \"%2\") is not a name").arg(name, section));
        else if (b.NamesOnPage.contains(name.toUpper()))
            b.Unusable.append(QString("\"%1\" (field \"%2\") repeats a name on the page").arg(name, section));
        b.NamesOnPage.insert(name.toUpper());
    }
    if (b.Next < b.Sections.size()) {
        b.Progress->setText(QString("Building the page: %1 of %2 fields").arg(b.Next).arg(b.Sections.size()));
        return false;
    }
    b.Tab->setWidget(b.Sheet); // the progress label goes
    b.Sheet->show();
    b.Layout->activate(); // places the fields now, whether or not the page is on screen
    QStringList warnings;
    if (!b.Unusable.isEmpty())
        warnings = QStringList{QString("Page \"%1\": formulas cannot refer to these fields, because a field name "
                                       "must be a letter or underscore followed by letters, digits or underscores, "
                                       "and unique on its page:")
                                   .arg(b.PageName)}
                   + b.Unusable;
    const auto built = std::move(b.Built);
    build_.reset();
    if (built)
        built(warnings);
    return true;
}

TDataField* TDataPages::AddField(TPageLayout& layout, const TIniFile& ini, const QString& section,
                                 const QString& pageName)
{
    const int i = static_cast<int>(dataFields_.size());
    auto* field = new TDataField;
    layout.AddField(field, QPoint(ini.ReadInteger(section, "Left", 0), ini.ReadInteger(section, "Top", 0)));
    dataFields_.push_back(field);
    field->SetLocale(locale_);
    field->DataFunction = [this](const std::string& name) { return DataFunctions(name); };
    field->SetCaption(section);
    field->setObjectName(ini.ReadString(section, "Name", pageName + QString::number(i)));
    fieldsByName_[field->objectName().toUpper().toStdString()].push_back(field);
    field->SetSize(ini.ReadInteger(section, "Size", 75));
    field->SetOffset(ini.ReadInteger(section, "Offset", 75));
    field->SetFormula(ini.ReadString(section, "Formula", "1"));
    field->Decimals = ini.ReadInteger(section, "Decimals", 2);
    field->SetOutFormat(ini.ReadString(section, "Format", ""));
    field->Extra = ini.ReadString(section, "Extra", "");
    field->OnClick = [this](TDataField* sender) { DataFieldClick(sender); };
    field->setToolTip(QString("Array Location: %1").arg(i));
    return field;
}

QSize TDataPages::Shortfall() const
{
    const auto* tab = qobject_cast<const QScrollArea*>(pageControl_.widget(0));
    if (!tab || !tab->widget())
        return {};
    return (tab->widget()->sizeHint() - tab->viewport()->size()).expandedTo(QSize(0, 0));
}

double TDataPages::DataFunctions(const std::string& n)
{
    TKelvane* link = link_();
    if (n.starts_with("PAVG")) {
        const char window = n.size() > 5 ? n[5] : '\0';
        const int phase = window == 'A' ? 1 : window == 'B' ? 2 : window == 'C' ? 3 : 0;
        return phase ? PhaseMean(phase) : 0;
    }
    if (n.empty() || std::string_view("RQUSXF").find(n[0]) == std::string_view::npos)
        return 0;
    if (n[0] == 'F')
        return FieldReference(n);
    if (!link)
        return 0;
    const int a = RegisterAddress(std::string_view(n).substr(1));
    if (a < 0)
        return 0;
    // A register that the latest read of it did not bring has no value: what
    // the image holds for it is not the meter's answer.
    const bool wide = n[0] != 'U' && n[0] != 'S';
    if (!link->LatestReadOk(a) || (wide && !link->LatestReadOk(a + 1)))
        throw EExpression("Register " + std::to_string(a) + " has not been read");
    const uint8_t wordOrder = link->WordOrder();
    switch (n[0]) {
    case 'R':
        return static_cast<uint32_t>(link->GetRegister32(a, a + 1, wordOrder));
    case 'Q':
        return link->GetRegister32(a, a + 1, wordOrder);
    case 'U':
        return static_cast<uint16_t>(link->GetRegister(a));
    case 'S':
        return static_cast<int16_t>(link->GetRegister(a));
    default:
        return link->GetRegisterFloat(a, a + 1, wordOrder);
    }
}

// A field reference evaluates the field again and takes its Value; when that
// evaluation gave no value, the reference has none either and raises. A field
// that is already being evaluated further up (a formula that refers to itself,
// directly or through others) gives its current Value instead, which ends the
// cycle. Of several fields with the name, each is evaluated and the last one
// counts.
double TDataPages::FieldReference(const std::string& name)
{
    if (build_)
        throw EExpression("The page is not built yet");
    const auto named = fieldsByName_.find(name);
    if (named == fieldsByName_.end())
        return 0;
    bool inCycle = false;
    for (TDataField* field : named->second) {
        inCycle = std::find(evaluating_.begin(), evaluating_.end(), field) != evaluating_.end();
        if (!inCycle) {
            evaluating_.push_back(field);
            field->DoMath();
            evaluating_.pop_back();
        }
    }
    const TDataField* referenced = named->second.back();
    if (!inCycle && !referenced->HasValue())
        throw EExpression("The field " + name + " has no value");
    return referenced->Value;
}

// By index: a page being built gains fields whenever events run.
void TDataPages::DataCalculate()
{
    for (std::size_t i = 0; i < dataFields_.size(); ++i) {
        evaluating_.push_back(dataFields_[i]);
        dataFields_[i]->DoMath();
        evaluating_.pop_back();
    }
    for (std::size_t i = 0; i < dataFields_.size(); ++i)
        dataFields_[i]->FitWidth();
}

void TDataPages::DataReset()
{
    for (TDataField* field : dataFields_)
        field->Blank();
    if (TKelvane* link = link_())
        link->ResetRegisters();
}

void TDataPages::DataFieldClick(TDataField* sender)
{
    if (!sender || sender->Extra.isEmpty() || !writeBox_)
        return;
    writeBox_->SetRegisterText(sender->Extra);
    bool ok = false;
    const qlonglong reg = writeBox_->RegisterText().trimmed().toLongLong(&ok, 16);
    TKelvane* link = link_();
    // An address that is not hexadecimal, or beyond the image, reads as 0.
    const int32_t value = ok && reg >= 0 && reg <= 65535 && link ? link->GetRegister(static_cast<int>(reg)) : 0;
    writeBox_->SetValueText(QString::number(value));
    writeBox_->SelectDecimal();
}

void TDataPages::UpdatePhaseWindows()
{
    TKelvane* link = link_();
    if (!link)
        return;
    if (phaseCursor_ < 1 || phaseCursor_ > 10)
        phaseCursor_ = 1;
    for (int p = 1; p <= 3; ++p) {
        auto& window = phaseWindows_[static_cast<std::size_t>(p - 1)];
        const int32_t x = link->GetRegister(18 + p);
        const double mean = PhaseMean(p);
        if (std::fabs(x - mean) > 0.1 * mean)
            window.fill(x);
        else
            window[static_cast<std::size_t>(phaseCursor_ - 1)] = x;
    }
    phaseCursor_ = phaseCursor_ % 10 + 1;
}

double TDataPages::PhaseMean(int phase) const
{
    const auto& window = phaseWindows_.at(static_cast<std::size_t>(phase - 1));
    return std::accumulate(window.begin(), window.end(), 0.0) / 10;
}

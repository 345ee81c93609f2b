#pragma once

#include "DataFieldUnit.h"

#include <QString>
#include <QStringList>

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

class QTabWidget;
class TKelvane;

// The register write box of the main window's engineering panel, as far as
// a click on a data field fills it.
class TRegisterWriteBox {
public:
    virtual ~TRegisterWriteBox() = default;
    virtual void SetRegisterText(const QString& text) = 0;
    virtual QString RegisterText() const = 0;
    virtual void SetValueText(const QString& text) = 0;
    virtual void SelectDecimal() = 0;
};

// The data pages of the main window: pages of data fields built from page
// files, the formulas' vocabulary (register references, field references,
// per-phase averages), and the recomputing and blanking of every field.
class TDataPages {
public:
    // link gives the meter link of the moment: the "Port" menu replaces it.
    // The pages take a raw pointer from it afresh at each use and call only
    // what never waits for the meter (the image reads and ResetRegisters).
    // That is what makes the raw pointer safe: a meter operation processes
    // events while it waits, the "Port" menu may run inside and free the
    // link, and a pointer held across such a wait would dangle. Code that
    // needs a meter operation here must hold the main window's shared
    // reference for its length instead.
    TDataPages(QTabWidget& pageControl, std::function<TKelvane*()> link, QString directory);
    ~TDataPages();

    // Builds the page pageName from pageName.ini in the directory, appended
    // after the existing pages. Does nothing when the file does not exist.
    // The tab ("Tab" + pageName) is a scroll area around the page, whose
    // fields a TPageLayout places. Returns the lines of a warning for the
    // window to show when formulas cannot refer to some of the fields: a
    // line that says why, then a line per field; none when all can.
    QStringList CreatePanel(const QString& pageName);
    // The same page built on the event loop, a slice of SliceTime at a
    // time, so that a page of thousands of fields holds up neither the
    // polling nor the window; built gets the warning lines once the last
    // field is built (at once when the file does not exist). The tab shows
    // how far the building has come until the page is whole. A page asked
    // for while another one is building has that one built whole first.
    void BuildPanel(const QString& pageName, std::function<void(const QStringList& warnings)> built);
    static constexpr int SliceTimeMs = 20;
    // How much larger the tabs would have to be to show the first page whole
    // (nothing where they are large enough already).
    QSize Shortfall() const;
    double DataFunctions(const std::string& identifier);
    void DataCalculate();
    void DataReset();
    void DataFieldClick(TDataField* sender);
    // Feeds the three phase windows from registers 19 to 21.
    void UpdatePhaseWindows();
    double PhaseMean(int phase) const;

    const std::vector<TDataField*>& DataFields() const { return dataFields_; }
    void SetWriteBox(TRegisterWriteBox* box) { writeBox_ = box; }
    void SetLocale(const QLocale& locale);

private:
    struct rBuild;
    // Starts building the page; false when its file does not exist.
    bool StartBuild(const QString& pageName);
    // Builds fields until the deadline passes or the page is whole; when it
    // is, places them, shows the page and hands its warning lines to the
    // build's Built. True when the page is whole.
    bool BuildFields(std::chrono::steady_clock::time_point deadline);
    // One slice, and the next one after the events waiting.
    void BuildSlice();
    // Builds the page under construction whole, if there is one.
    void BuildRest();
    TDataField* AddField(class TPageLayout& layout, const class TIniFile& ini, const QString& section,
                         const QString& pageName);
    double FieldReference(const std::string& name);

    QTabWidget& pageControl_;
    // Never kept across a call, and never used for an operation that waits
    // (see the constructor).
    std::function<TKelvane*()> link_;
    QString directory_;
    std::vector<TDataField*> dataFields_;
    // The fields by their names in upper case, as formulas name them, each
    // name's fields in page order; filled as the fields are built, since a
    // field keeps the name its page file gives it.
    std::unordered_map<std::string, std::vector<TDataField*>> fieldsByName_;
    std::vector<TDataField*> evaluating_; // fields inside their own DoMath
    // The page being built. Meanwhile a reference to a field has no value:
    // the field it names, or the last of that name, may not be built yet.
    std::unique_ptr<rBuild> build_;
    std::array<std::array<int32_t, 10>, 3> phaseWindows_{};
    int phaseCursor_ = 0;
    TRegisterWriteBox* writeBox_ = nullptr;
    QLocale locale_;
};

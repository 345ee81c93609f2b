#pragma once

#include "AlignMaskEditUnit.h"
#include "ConfigProfile.h"
#include "ConfigWordSources.h"

#include <QStringList>
#include <QWidget>

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <span>

class QCheckBox;
class QComboBox;
class QGridLayout;
class QGroupBox;
class QLabel;
class QPushButton;

// The editor of the meter's configuration block, holding registers 128 to
// 158: ratios, demand period, pulse value, the two analog outputs, the
// configuration word and the extended configuration word, the serial number
// and the scratchpads.
//
// The dialog never talks to the meter. After every read-all pass the commit
// cycle (ConfigCommit.h) writes what OK or Apply left pending and feeds the
// dialog the register image while the user has not changed anything; a
// write that failed is said in the dialog (ShowCommitFailures).
// UserChanged is set by every change of a control, including those a load
// makes.
class TConfigWord : public QWidget {
    Q_OBJECT
public:
    static constexpr int ValueCount = 257;
    using TValues = std::array<int32_t, ValueCount>;

    explicit TConfigWord(QWidget* parent = nullptr);

    // values[r] is register r as the register image gives it (0 ... 65535).
    void LoadValues(std::span<const int32_t> values);
    // The value to write to register reg (128 ... 158), when it differs
    // from the register as last loaded.
    bool RegisterChanged(int reg, int32_t& newValue) const;

    // What the next commit cycle owes the meter: nothing, the writes of OK
    // (the dialog has closed) or those of Apply (it stays open).
    enum class TPendingCommit { None, AfterOk, AfterApply };
    TPendingCommit PendingCommit() const { return pending_; }
    void SetPendingCommit(TPendingCommit pending) { pending_ = pending; }
    bool UserChanged() const { return userChanged_; }
    // The commit cycle calls it after its writes and their read-back.
    void ClearUserChanged()
    {
        userChanged_ = false;
        commitSeen_ = true;
    }

    const TValues& ReadValues() const { return readValues_; }
    const TValues& NewValues() const { return newValues_; }

    // The writes of the latest commit that failed, in words, shown above the
    // buttons until the next commit; none hides the notice.
    void ShowCommitFailures(const QStringList& failures);

    // Configuration profiles. Save writes the block as the editor shows it;
    // Load fills the editor with a profile's values as if the user had typed
    // them, after a warning when the profile was made on another software
    // version than the meter's. The commit that follows is read back and
    // every register the meter did not take is reported. Both return false
    // when nothing was saved or loaded (the reason has been shown).
    bool SaveProfile(const QString& fileName);
    bool LoadProfile(const QString& fileName);
    // Where the meter shown is and which software it runs, for profiles.
    void SetMeterIdentity(std::function<TMeterIdentity()> identity) { identity_ = std::move(identity); }

protected:
    void showEvent(QShowEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;

private:
    // An edit showing a raw register value in engineering units; the raw
    // value is the truth, the text only its rendering.
    struct TScaledEdit {
        TAlignMaskEdit* edit = nullptr;
        QComboBox* source = nullptr; // nullptr: the pulse value, always row 0
        int32_t lowest = 0;          // raw range the register holds
        int32_t highest = 0;
        int32_t raw = 0;
        // The raw value from before the user's unfinished change of the
        // text, which Escape or a refused value brings back.
        int32_t enteredRaw = 0;
    };
    // A 16-bit word shown both as 16 boxes and as a hexadecimal edit.
    struct TWordEdit {
        std::array<QCheckBox*, 16> boxes{}; // boxes[n] stands for bit n
        TAlignMaskEdit* edit = nullptr;
        int32_t fallback = 0; // stored when the edit holds no hexadecimal number
    };

    void BuildGeneral(QGroupBox* group);
    void AddOutputRow(QGridLayout* grid, int row, const QString& caption, QComboBox* combo, TScaledEdit& low,
                      TScaledEdit& high);
    QGroupBox* BuildWord(const QString& title, const QString& name, const std::array<const char*, 16>& hints,
                         const QString& note, TWordEdit& word);
    void BuildUserData(QGroupBox* group);
    TAlignMaskEdit* MakeEdit(const QString& name, Qt::Alignment alignment = Qt::AlignRight);
    QComboBox* MakeSourceCombo(const QString& name);
    void ConnectSignals();

    void FormShow();
    void bOKClick();
    void bApplyClick();
    void bCancelClick();
    void bDISPClick();
    void StoreChanges();
    TValues ControlValues() const;
    void bSaveProfileClick();
    void bLoadProfileClick();
    bool Loaded() const;
    bool AcceptSoftwareVersion(const QString& fileName, const TConfigProfile& profile);
    void TypeProfile(const std::map<int, int32_t>& values);
    void TypeScaled(TScaledEdit& scaled, int32_t raw);
    void TypeSource(QComboBox* combo, int32_t code);
    QString Meaning(int reg, int32_t value) const;
    QString WordMeaning(const TWordEdit& word, int32_t value) const;
    void CheckCommittedProfile();
    void ControlChange(QWidget* sender);
    void ClearBold();
    void cbIncludeRatiosClick();
    void WordBoxClick(TWordEdit& word);
    void ebExit(TAlignMaskEdit* edit);
    void ExitScaledEdit(TScaledEdit& scaled);
    void ExitWholeNumberEdit(TAlignMaskEdit* edit);
    void ExitScratchpad(TAlignMaskEdit* edit);
    bool RefuseOutsideRegister(TAlignMaskEdit* edit, long double number);
    void ShowRangeError(const QWidget* field, const QString& lowest, const QString& highest);
    void ShowFieldError(const QWidget* field, const QString& message);
    QString FieldCaption(const QWidget* field) const;
    void TrackEnteredRaw(TScaledEdit& scaled, const QEvent* e);
    void RevertScaledEdit(TScaledEdit& scaled);

    TOutputSource SourceOf(const TScaledEdit& scaled) const;
    static TOutputSource SourceOf(const QComboBox* combo);
    static void SelectSource(QComboBox* combo, int32_t code);
    long double Multiplier(const TOutputSource& source) const;
    QString TagToText(const TScaledEdit& scaled) const;
    QString RawToText(const TScaledEdit& scaled, int32_t raw) const;
    void SyncRawFromText(TScaledEdit& scaled);
    std::array<TAlignMaskEdit*, 5> PlainEdits() const;
    std::array<TScaledEdit*, 5> ScaledEdits();
    TScaledEdit* ScaledEditOf(const QObject* object);
    bool IsNumericEdit(const QObject* object);
    bool IsWordEdit(const QObject* object) const;
    bool IsScratchpad(const QObject* object) const;
    void SetLoaded();

    static int CalculateWord(const TWordEdit& word);
    static void SetWordBits(TWordEdit& word, int32_t value);

    TPendingCommit pending_ = TPendingCommit::None;
    bool userChanged_ = false;
    std::function<TMeterIdentity()> identity_;
    // The captions of the numeric fields, as error messages name them.
    std::map<const QWidget*, QString> captions_;
    // A loaded profile's values are in the controls, not yet stored.
    bool profileTyped_ = false;
    // Registers stored from a loaded profile that the commit writes: the
    // values to find when the block is read back.
    std::map<int, int32_t> profileWrites_;
    // A commit has run since the values were last stored.
    bool commitSeen_ = false;
    TValues readValues_{};
    TValues newValues_{};

    TAlignMaskEdit* ebPT_Pri;
    TAlignMaskEdit* ebPT_Sec;
    TAlignMaskEdit* ebCT_Pri;
    TAlignMaskEdit* ebCT_Sec;
    TAlignMaskEdit* ebDemandPeriod;
    TScaledEdit pulseValue_;
    TScaledEdit outA0_, outA10_, outB0_, outB10_;
    QComboBox* cbOutputA;
    QComboBox* cbOutputB;
    QLabel* labPulse;
    QLabel* labA1;
    QLabel* labA2;
    QLabel* labB1;
    QLabel* labB2;
    QCheckBox* cbIncludeRatios;
    TWordEdit configWord_;
    TWordEdit xConfigWord_;
    TAlignMaskEdit* ebSerialNo;
    std::array<TAlignMaskEdit*, 8> ebSP{};
    std::array<QLabel*, 8> labSP{};
    QPushButton* bDISP;
    QPushButton* bSaveProfile;
    QPushButton* bLoadProfile;
    QLabel* labProfile;
    QLabel* labCommit;
    QPushButton* bOK;
    QPushButton* bApply;
    QPushButton* bCancel;
};

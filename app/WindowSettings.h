#pragma once

#include <QStringList>

class QWidget;
class TComSelect;
class TIniFile;
struct TAppPaths;

// The link settings of the main window as the settings file keeps them and
// the command line overrides them: a switch wins over the saved key.
namespace WindowSettings {

void ApplyLink(TComSelect& com, const TIniFile& ini, const QStringList& arguments);
void StoreLink(const TComSelect& com, TIniFile& ini, const QStringList& arguments);
// The /POLLING interval in ms, or the default when the switch is absent or
// has no value; the reason for a refused value is added to warnings.
int PollingInterval(const QStringList& arguments, QStringList& warnings);

// Where /TOP and /LEFT put the window, else centred on its screen; never
// larger than the screen's free area, so that no control is out of reach.
void Place(QWidget& window, const QStringList& arguments);
// What the window cannot do without the page file (it shows no data page)
// or the bank file (no register is read), both of which would otherwise
// look like a dead meter: a line for each that is missing, and the remedy.
QStringList MissingFiles(const TAppPaths& paths, const QString& pageName, const QString& banksFile);

} // namespace WindowSettings

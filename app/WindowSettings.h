#pragma once

#include <QStringList>

class QWidget;
class TComSelect;
class TIniFile;

// The link settings of the main window as the settings file keeps them and
// the command line overrides them: a switch wins over the saved key.
namespace WindowSettings {

void ApplyLink(TComSelect& com, const TIniFile& ini, const QStringList& arguments);
void StoreLink(const TComSelect& com, TIniFile& ini, const QStringList& arguments);
// The /POLLING interval in ms, or the default when the switch is absent or
// has no value; a refused value is reported to parent.
int PollingInterval(const QStringList& arguments, QWidget* parent);

} // namespace WindowSettings

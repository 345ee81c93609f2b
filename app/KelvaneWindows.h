#pragma once

#include "ConfigWordUnit.h"
#include "LoggingUnit.h"
#include "ProgressDialogUnit.h"
#include "TrendWindow.h"
#include "frmAddressUnit.h"
#include "frmCTSettings.h"
#include "frmComSelect.h"
#include "frmFactoryTest.h"
#include "frmModbusData.h"
#include "frmTextView.h"
#include "main.h"

// Every window of the utility, created once in this order: the main window
// first, then the dialogs, which it reaches through TDialogs.
class TKelvaneWindows {
public:
    TKelvaneWindows(const TAppPaths& paths, const QStringList& arguments);

    TForm1 Form1;
    TProgressDialog ProgressDialog;
    TfrmAddress frmAddress;
    TConfigWord ConfigWord;
    TComSelect ComSelect;
    TLogging Logging;
    TTextView TextView;
    TModbusData ModbusData;
    TFactoryTest FactoryTest;
    TCTSettings CTSettings;
    TTrendWindow TrendWindow;
};

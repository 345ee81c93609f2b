#pragma once

#include "AppPaths.h"

#include <QString>

class TComSelect;
class TConfigWord;
class TCTSettings;
class TFactoryTest;
class TfrmAddress;
class TLogging;
class TModbusData;
class TProgressDialog;
class TTextView;

// The dialogs of the utility: each exists once for the whole run and closing
// one only hides it.
struct TDialogs {
    TProgressDialog* ProgressDialog = nullptr;
    TfrmAddress* frmAddress = nullptr;
    TConfigWord* ConfigWord = nullptr;
    TComSelect* ComSelect = nullptr;
    TLogging* Logging = nullptr;
    TTextView* TextView = nullptr;
    TModbusData* ModbusData = nullptr;
    TFactoryTest* FactoryTest = nullptr;
    TCTSettings* CTSettings = nullptr;
};


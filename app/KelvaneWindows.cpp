#include "KelvaneWindows.h"

TKelvaneWindows::TKelvaneWindows(const TAppPaths& paths, const QStringList& arguments)
    : Form1(paths, arguments),
      ProgressDialog(&Form1),
      frmAddress(&Form1),
      ConfigWord(&Form1),
      ComSelect(&Form1),
      Logging(paths.SettingsFile, paths.Directory, &Form1),
      TextView(&Form1),
      ModbusData(&Form1),
      FactoryTest(&Form1),
      CTSettings(&Form1)
{
    Form1.SetDialogs({&ProgressDialog, &frmAddress, &ConfigWord, &ComSelect, &Logging, &TextView, &ModbusData,
                      &FactoryTest, &CTSettings});
}

#include "KelvaneWindows.h"

TKelvaneWindows::TKelvaneWindows(const TAppPaths& paths, const QStringList& arguments)
    : Form1(paths, arguments),
      ProgressDialog(&Form1),
      frmAddress(&Form1),
      ConfigWord(&Form1),
      ComSelect(&Form1),
      Logging(paths.SettingsFile, paths.DataDirectory, &Form1),
      TextView(&Form1),
      ModbusData(&Form1),
      FactoryTest(&Form1),
      CTSettings(&Form1),
      TrendWindow(&Form1)
{
    Form1.SetDialogs({&ProgressDialog, &frmAddress, &ConfigWord, &ComSelect, &Logging, &TextView, &ModbusData,
                      &FactoryTest, &CTSettings});
    // The trend window takes its points from every poll of the main window.
    QObject::connect(&Form1, &TForm1::PassCompleted, &TrendWindow, &TTrendWindow::TakePoints);
    QObject::connect(&Form1, &TForm1::AddToTrend, &TrendWindow, &TTrendWindow::AddField);
    QObject::connect(&Form1, &TForm1::MeterChanged, &TrendWindow, &TTrendWindow::SetMeter);
    QObject::connect(&Form1, &TForm1::ShowTrend, &TrendWindow, [this] {
        TrendWindow.show();
        TrendWindow.raise();
    });
}

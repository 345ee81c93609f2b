#include "CmdLine.h"
#include "WidgetTestSupport.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

namespace {

struct SwitchCase {
    const char* name;
    QStringList arguments;
    QString key;
    bool isSwitch;
    QString value;
};

const SwitchCase Cases[] = {
    {"no arguments", {}, "/PORT", false, ""},
    {"value keeps the case typed", {"/port=/dev/ttyUSB0"}, "/PORT", true, "/dev/ttyUSB0"},
    {"key matched in any case", {"/Polling=250"}, "/POLLING", true, "250"},
    {"lower-case key", {"/MODE=tcp"}, "/mode", true, "tcp"},
    {"switch without =", {"/POLLING"}, "/POLLING", true, ""},
    {"empty value after =", {"/POLLING="}, "/POLLING", true, ""},
    {"value after the first =", {"/PORT=a=b"}, "/PORT", true, "a=b"},
    {"last match wins", {"/TOP=1", "/BAUD=9600", "/TOP=2"}, "/TOP", true, "2"},
    {"a later bare switch keeps the earlier value", {"/TOP=7", "/TOP"}, "/TOP", true, "7"},
    {"key inside the name is a value only", {"X/TOP=10"}, "/TOP", false, "10"},
    {"other switches do not match", {"/LEFT=5", "/BAUD=19200"}, "/TOP", false, ""},
    {"switch prefix suffices", {"/TOPMOST"}, "/TOP", true, ""},
    {"a port path does not pass for another switch", {"/TOP=5", "/PORT=/tmp/top/ttyV0"}, "/TOP", true, "5"},
    {"a value alone does not make the switch", {"/PORT=/MODE=TCP"}, "/MODE", false, ""},
};

TEST(CmdLine, SwitchesAndValues)
{
    for (const SwitchCase& c : Cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(CmdLineSwitch(c.key, c.arguments), c.isSwitch);
        EXPECT_EQ(CmdLineValue(c.key, c.arguments), c.value);
    }
}

// The test program's own arguments, without its name, are the default list.
TEST(CmdLine, DefaultsToTheProgramsArguments)
{
    const QStringList own = QCoreApplication::arguments().mid(1);
    EXPECT_EQ(CmdLineArguments(), own);
    EXPECT_FALSE(CmdLineSwitch(QCoreApplication::arguments().first())) << "the program name is no argument";
    if (!own.isEmpty()) {
        EXPECT_TRUE(CmdLineSwitch(own.first()));
    }
}

} // namespace

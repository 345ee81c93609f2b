// The utility on a serial line whose meter answers some requests later than
// the receive timeout.

#include "AppHarness.h"

#include "LateReplyChecks.h"

#include <gtest/gtest.h>

using namespace apptest;

// Three replies in ten come 450 to 1200 ms late, after the 500 ms receive
// timeout, and the two banks are of the same size: a late reply of one bank
// would pass every check of the other's request. No pass shows a value in
// the other bank's place; the window's log tells how late the meter
// answered, again only when it has grown by a quarter, and the statistics
// count the late replies.
TEST(SerialAppLateReplies, NoValueInTheOtherBanksPlaceAndTheLatenessIsTold)
{
    simharness::TInProcessRtuSim meter(simharness::rSimSetup{.Late = {30, 450, 1200}});
    apptest::TAppHarness app("[Form]\nReceive Timeout=500\nTries=3\n");
    app.WriteFile("RegisterBanks.ini", testsupport::SimTwoBanks);
    TForm1& form = app.StartRtu(QString::fromStdString(meter.Path()));
    int values = 0;
    for (int pass = 0; pass < 25; ++pass) {
        Poller(form).Poll();
        for (int i = 0; i < 60; ++i)
            if (const std::optional<double> value = Link(form)->LoggedQuantity(i)) {
                ++values;
                EXPECT_TRUE(testsupport::InItsOwnBank(i, *value)) << "pass " << pass << ", quantity " << i;
            }
    }
    EXPECT_GT(values, 25 * 60 / 2);
    const std::vector<int> late = testsupport::LateNotices(apptest::Lines(apptest::Memo(form)), 1, 500);
    ASSERT_FALSE(late.empty()) << apptest::Memo(form)->toPlainText().toStdString();
    EXPECT_GT(late.front(), 500);
    for (std::size_t i = 1; i < late.size(); ++i)
        EXPECT_GE(4 * late[i], 5 * late[i - 1]);
    ASSERT_EQ(Statistics(form).Meters().size(), 1u);
    EXPECT_GE(Statistics(form).Meters()[0].LateReplies, static_cast<int64_t>(late.size()));
}

// main() of the serial worker tests: a QCoreApplication whose notify catches
// an exception that leaves an event handler and records it as the
// application's handler would show it ("ERROR: " and the message).

#include "WorkerTestSupport.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

namespace {

class TTestApplication : public QCoreApplication {
public:
    using QCoreApplication::QCoreApplication;
    bool notify(QObject* receiver, QEvent* event) override
    {
        try {
            return QCoreApplication::notify(receiver, event);
        } catch (const std::exception& e) {
            ShownErrors().push_back(std::string("ERROR: ") + e.what());
        }
        return false;
    }
};

} // namespace

std::vector<std::string>& ShownErrors()
{
    static std::vector<std::string> errors;
    return errors;
}

int main(int argc, char** argv)
{
    TTestApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

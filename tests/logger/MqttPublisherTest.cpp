// The logger's MQTT output against a real mosquitto broker on 127.0.0.1,
// read back by a subscriber of its own.

#include "MosquittoBroker.h"
#include "MqttPublisher.h"
#include "MqttSubscriber.h"
#include "MqttTestSupport.h"
#include "QuantityKey.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using testsupport::TMosquittoBroker;
using testsupport::TMqttSubscriber;

// Every wait ends on its condition; the deadline only bounds a failure.
bool WaitFor(const std::function<bool()>& condition, std::chrono::seconds deadline = 20s)
{
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        QThread::msleep(10);
    }
    return true;
}

// The logger's messages, written to stderr, go to a file while it lives.
class TStderrCapture {
public:
    TStderrCapture() : path_(dir_.filePath("stderr.txt")), saved_(::dup(STDERR_FILENO))
    {
        const int fd = ::open(path_.toLocal8Bit().constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, STDERR_FILENO);
        ::close(fd);
    }
    ~TStderrCapture()
    {
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
    }
    QString Text() const
    {
        QFile file(path_);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }
    int Count(const QString& part) const { return int(Text().count(part)); }

private:
    QTemporaryDir dir_;
    QString path_;
    int saved_;
};

TMqttOptions Options(const TMosquittoBroker& broker)
{
    TMqttOptions options;
    options.Host = "127.0.0.1";
    options.Port = broker.Port();
    options.Prefix = "site";
    return options;
}

QStringList Payloads(const std::vector<testsupport::TMqttMessage>& messages)
{
    QStringList payloads;
    for (const testsupport::TMqttMessage& message : messages)
        payloads << QString::fromUtf8(message.Payload);
    return payloads;
}

// The retained messages a new subscriber gets, by topic.
std::map<QString, QString> Retained(const TMosquittoBroker& broker, std::size_t expected)
{
    TMqttSubscriber late(broker.Port(), "site");
    EXPECT_TRUE(late.WaitSubscribed());
    EXPECT_TRUE(WaitFor([&] { return late.Messages().size() >= expected; }));
    std::map<QString, QString> retained;
    for (const testsupport::TMqttMessage& message : late.Messages()) {
        EXPECT_TRUE(message.Retained) << message.Topic.toStdString();
        retained[message.Topic] = QString::fromUtf8(message.Payload);
    }
    return retained;
}

#define REQUIRE_MOSQUITTO()                                                                                            \
    if (!TMosquittoBroker::Available())                                                                                \
    GTEST_SKIP() << TMosquittoBroker::Executable << " is not installed"

const TSiteMeterId Incomer = SiteMeter("Main incomer", 3);
const TSiteMeterId Pump = SiteMeter("Pump/2 +#west", 7); // every character a topic level cannot hold

TEST(MqttPublisher, EachPassGivesItsOwnQuantitiesInFullAndTheStatusFollowsTheAnswers)
{
    REQUIRE_MOSQUITTO();
    TMosquittoBroker broker;
    ASSERT_TRUE(broker.Start());
    TMqttSubscriber subscriber(broker.Port(), "site");
    ASSERT_TRUE(subscriber.WaitSubscribed());
    TStderrCapture messages;
    TMqttPublisher publisher(Options(broker), {Incomer, Pump});
    ASSERT_TRUE(WaitFor([&] { return messages.Text().endsWith(": connected\n"); })) << messages.Text().toStdString();

    struct rPass {
        TMeterReading Reading;
        QString Json; // the state message, empty for none
    };
    const QDateTime time = QDateTime::fromString("2026-12-09T19:25:25.123Z", Qt::ISODateWithMs);
    const auto key = [](std::size_t i) { return QuantityKeys()[i]; };
    const std::vector<rPass> passes = {
        {Reading(Incomer, {{0, 1234.5}, {4, 0.1 + 0.2}}, time),
         QString(R"({"time":"2026-12-09T19:25:25.123Z","address":3,"values":{"%1":1234.5,"%2":0.30000000000000004}})")
             .arg(key(0), key(4))},
        {Reading(Pump, {{59, 1e-7}}, time.addMSecs(7)),
         QString(R"({"time":"2026-12-09T19:25:25.130Z","address":7,"values":{"%1":1e-07}})").arg(key(59))},
        // Quantity 0 not read in this pass: absent, not repeated.
        {Reading(Incomer, {{8, -5.25}}, time.addSecs(1)),
         QString(R"({"time":"2026-12-09T19:25:26.123Z","address":3,"values":{"%1":-5.25}})").arg(key(8))},
        {Reading(Pump, {}), ""},
    };
    for (const rPass& pass : passes)
        publisher.Publish(pass.Reading);

    const QString incomerTopic = "site/Main incomer";
    const QString pumpTopic = "site/Pump_2 __west";
    ASSERT_TRUE(WaitFor([&] {
        return subscriber.On(incomerTopic + "/state").size() == 2 && subscriber.On(pumpTopic + "/status").size() == 2;
    })) << Payloads(subscriber.Messages()).join('\n').toStdString();
    EXPECT_EQ(Payloads(subscriber.On(incomerTopic + "/state")), (QStringList{passes[0].Json, passes[2].Json}));
    EXPECT_EQ(Payloads(subscriber.On(pumpTopic + "/state")), QStringList{passes[1].Json});
    EXPECT_EQ(Payloads(subscriber.On(pumpTopic + "/status")), (QStringList{"online", "offline"}));
    EXPECT_EQ(Payloads(subscriber.On(incomerTopic + "/status")), QStringList{"online"});
    // The JSON reads back as the very doubles published.
    const QJsonObject values = QJsonDocument::fromJson(passes[0].Json.toUtf8()).object()["values"].toObject();
    EXPECT_EQ(values[key(4)].toDouble(), 0.1 + 0.2);

    // Only the statuses are retained.
    const std::map<QString, QString> retained = Retained(broker, 2);
    EXPECT_EQ(retained, (std::map<QString, QString>{{incomerTopic + "/status", "online"}, {pumpTopic + "/status", "offline"}}));
}

// The bytes waiting in this process's Unix sockets: a wake-up pair that
// nobody reads keeps one for each packet queued.
long UnreadUnixBytes()
{
    long bytes = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        const int fd = std::stoi(entry.path().filename().string());
        sockaddr_storage address{};
        socklen_t size = sizeof address;
        int queued = 0;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0 && address.ss_family == AF_UNIX &&
            ::ioctl(fd, FIONREAD, &queued) == 0)
            bytes += queued;
    }
    return bytes;
}

// Each connection holds three descriptors, so a site of a few hundred
// meters has connections numbered beyond select()'s 1024: they publish too,
// and leave nothing unread behind them.
TEST(MqttPublisher, AConnectionOnADescriptorBeyond1024Publishes)
{
    REQUIRE_MOSQUITTO();
    TMosquittoBroker broker;
    ASSERT_TRUE(broker.Start());
    TMqttSubscriber subscriber(broker.Port(), "site");
    ASSERT_TRUE(subscriber.WaitSubscribed());
    std::vector<int> taken{::dup(STDERR_FILENO)};
    while (taken.back() >= 0 && taken.back() < 1100)
        taken.push_back(::dup(STDERR_FILENO));
    ASSERT_GE(taken.back(), 1100) << "too few descriptors allowed";
    {
        TMqttPublisher publisher(Options(broker), {Incomer});
        for (std::size_t pass = 1; pass <= 5; ++pass) {
            publisher.Publish(Reading(Incomer, {{0, 1.5}}));
            EXPECT_TRUE(WaitFor([&] { return subscriber.On("site/Main incomer/state").size() == pass; }));
        }
        EXPECT_EQ(UnreadUnixBytes(), 0);
    }
    for (const int fd : taken)
        ::close(fd);
}

// The publisher's backlog, in memory and beyond it in spool files, for the
// cases of a table: each meter's states arrive in order when the broker is
// back, but for the oldest that the spool's bound drops, which are counted.
struct rOutageCase {
    const char* Name;
    qint64 MemoryBytes, FileBytes;
    QStringList Incomer; // the values of its states that arrive
    const char* Said;
};

class MqttOutageTest : public ::testing::TestWithParam<rOutageCase> {
};

TEST_P(MqttOutageTest, ABrokerAwayGetsEveryStateInOrderWithinTheSpoolAndIsSaidOncePerChange)
{
    REQUIRE_MOSQUITTO();
    TStderrCapture messages;
    const QTemporaryDir dir;
    // It keeps the subscriber's session over its restart, so that the
    // subscriber misses nothing the publisher sends before it is back.
    TMosquittoBroker broker(/*persistent=*/true);
    const QString where = QString("MQTT broker 127.0.0.1:%1: ").arg(broker.Port());
    // Not there at the start: the publisher keeps trying.
    TMqttPublisher publisher(Options(broker), {Incomer, Pump},
                             {GetParam().MemoryBytes, GetParam().FileBytes, dir.filePath("site.mqtt")});
    ASSERT_TRUE(WaitFor([&] { return messages.Count(where + "cannot connect (Connection refused)") == 1; }))
        << messages.Text().toStdString();
    ASSERT_TRUE(broker.Start());
    TMqttSubscriber subscriber(broker.Port(), "site", "kelvane-test-subscriber");
    ASSERT_TRUE(subscriber.WaitSubscribed());
    ASSERT_TRUE(WaitFor([&] { return messages.Count(where + "connected\n") == 1; })) << messages.Text().toStdString();
    publisher.Publish(Reading(Incomer, {{0, 0.0}}));
    publisher.Publish(Reading(Pump, {{0, 0.0}}));
    const QString incomer = "site/Main incomer/";
    const QString pump = "site/Pump_2 __west/";
    ASSERT_TRUE(WaitFor([&] { return subscriber.On(pump + "state").size() == 1 && subscriber.On(incomer + "state").size() == 1; }));

    broker.Stop();
    ASSERT_TRUE(WaitFor([&] { return messages.Count(where + "connection lost (") == 1; }))
        << messages.Text().toStdString();
    for (double value : {1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0})
        publisher.Publish(Reading(Incomer, {{0, value}}));
    publisher.Publish(Reading(Pump, {{0, 8.0}}));
    EXPECT_FALSE(QDir(dir.path()).entryList({"site.mqtt-*.spool"}).isEmpty()) << "beyond memory, in the files";
    ASSERT_TRUE(broker.Start());

    // The broker redelivers to the subscriber's session what it had not
    // acknowledged before the stop: a message counts once.
    const auto totals = [&](const QString& topic) {
        QStringList values;
        for (const QString& payload : Payloads(subscriber.On(topic)))
            values << QJsonDocument::fromJson(payload.toUtf8()).object()["values"].toObject()[QuantityKeys()[0]].toVariant().toString();
        values.removeDuplicates();
        return values;
    };
    // Live, not retained. The broker's stop sends the wills' "offline"; an
    // "online" after it is the publisher telling the restarted broker again.
    const auto toldAgain = [&](const QString& topic) {
        QStringList live;
        for (const testsupport::TMqttMessage& message : subscriber.On(topic))
            if (!message.Retained)
                live << QString::fromUtf8(message.Payload);
        return live.contains("offline") && live.last() == "online";
    };
    ASSERT_TRUE(WaitFor([&] {
        return totals(incomer + "state").size() == GetParam().Incomer.size() && totals(pump + "state").size() == 2 &&
               toldAgain(incomer + "status") && toldAgain(pump + "status");
    })) << Payloads(subscriber.Messages()).join('\n').toStdString() << messages.Text().toStdString();
    EXPECT_EQ(totals(incomer + "state"), GetParam().Incomer);
    EXPECT_EQ(totals(pump + "state"), (QStringList{"0", "8"}));
    ASSERT_TRUE(WaitFor([&] { return messages.Count(where + "connected again") == 1; })) << messages.Text().toStdString();
    EXPECT_EQ(messages.Count(where + GetParam().Said), 1) << messages.Text().toStdString();
    EXPECT_EQ(messages.Count(where + "connection lost"), 1) << messages.Text().toStdString();
}

// A record here is 115 bytes in a file: the backlog's memory (three
// quarters of the share) holds one only when it is empty, so all but the
// oldest go to the files, and 350 bytes of files keep 3: of the 8 published
// while the broker is away the 4 oldest are dropped.
INSTANTIATE_TEST_SUITE_P(
    Backlog, MqttOutageTest,
    ::testing::Values(rOutageCase{"Spooled", 200, 1 << 30, {"0", "1", "2", "3", "4", "5", "6", "7"}, "connected again\n"},
                      rOutageCase{"BeyondTheSpool", 200, 350, {"0", "5", "6", "7"},
                                  "connected again; 4 messages were dropped while it was away\n"}),
    [](const auto& info) { return std::string(info.param.Name); });

// A run that ends while the broker is away keeps its states in the spool
// files; the next run with the same files sends them first, in order.
TEST(MqttPublisher, StatesKeptAtTheEndAreSentInOrderAtTheNextStart)
{
    REQUIRE_MOSQUITTO();
    TStderrCapture messages;
    const QTemporaryDir dir;
    const TSpoolLimits held{8 << 20, 1 << 30, dir.filePath("site.mqtt")};
    TMosquittoBroker broker(/*persistent=*/true);
    ASSERT_TRUE(broker.Start());
    TMqttSubscriber subscriber(broker.Port(), "site", "kelvane-test-subscriber");
    ASSERT_TRUE(subscriber.WaitSubscribed());
    {
        TMqttPublisher publisher(Options(broker), {Incomer}, held);
        ASSERT_TRUE(WaitFor([&] { return messages.Text().endsWith(": connected\n"); })) << messages.Text().toStdString();
        broker.Stop();
        ASSERT_TRUE(WaitFor([&] { return messages.Text().contains("connection lost"); })) << messages.Text().toStdString();
        for (double value : {1.0, 2.0, 3.0})
            publisher.Publish(Reading(Incomer, {{0, value}}));
        publisher.Finish(std::chrono::steady_clock::now() + 1s);
    }
    EXPECT_EQ(messages.Count("3 state messages kept in"), 1) << messages.Text().toStdString();
    ASSERT_TRUE(broker.Start());
    TMqttPublisher next(Options(broker), {Incomer}, held);
    EXPECT_EQ(messages.Count("3 state messages left by the last run"), 1) << messages.Text().toStdString();
    const auto values = [&] {
        QStringList values;
        for (const QString& payload : Payloads(subscriber.On("site/Main incomer/state")))
            values << QJsonDocument::fromJson(payload.toUtf8()).object()["values"].toObject()[QuantityKeys()[0]].toVariant().toString();
        return values;
    };
    ASSERT_TRUE(WaitFor([&] { return values().size() == 3; })) << messages.Text().toStdString();
    EXPECT_EQ(values(), (QStringList{"1", "2", "3"}));
    EXPECT_TRUE(QDir(dir.path()).entryList({"*.spool"}).isEmpty());
}

TEST(MqttPublisher, TheLastWillOfAKilledLoggerSetsEachOfItsMetersOffline)
{
    REQUIRE_MOSQUITTO();
    TMosquittoBroker broker;
    ASSERT_TRUE(broker.Start());
    TMqttSubscriber subscriber(broker.Port(), "kelvane");
    ASSERT_TRUE(subscriber.WaitSubscribed());
    QProcess peer;
    peer.start(MQTT_WILL_PEER, {QString::number(broker.Port()), "A", "B"});
    ASSERT_TRUE(peer.waitForStarted(10000));
    const auto statuses = [&](const QString& meter) { return Payloads(subscriber.On("kelvane/" + meter + "/status")); };
    ASSERT_TRUE(WaitFor([&] { return statuses("A") == QStringList{"online"} && statuses("B") == QStringList{"online"}; }));
    ::kill(pid_t(peer.processId()), SIGKILL);
    ASSERT_TRUE(peer.waitForFinished(10000));
    EXPECT_TRUE(WaitFor([&] {
        return statuses("A") == QStringList({"online", "offline"}) && statuses("B") == QStringList({"online", "offline"});
    })) << statuses("A").join(',').toStdString() << " / " << statuses("B").join(',').toStdString();
}

struct rFinishCase {
    const char* Name;
    bool BrokerUp;
};

class MqttFinishTest : public ::testing::TestWithParam<rFinishCase> {
};

TEST_P(MqttFinishTest, SetsEveryMeterOfflineOrSaysWhatItCouldNotDeliverByTheDeadline)
{
    REQUIRE_MOSQUITTO();
    TStderrCapture messages;
    TMosquittoBroker broker;
    ASSERT_TRUE(broker.Start());
    const std::vector<TSiteMeterId> meters = {SiteMeter("M1", 1), SiteMeter("M2", 2), SiteMeter("M3", 3)};
    TMqttPublisher publisher(Options(broker), meters);
    ASSERT_TRUE(WaitFor([&] { return messages.Text().endsWith(": connected\n"); })) << messages.Text().toStdString();
    if (GetParam().BrokerUp) {
        for (const TSiteMeterId& meter : meters)
            publisher.Publish(Reading(meter, {{0, 1.0}}));
    } else {
        broker.Stop();
        ASSERT_TRUE(WaitFor([&] { return messages.Text().contains("connection lost"); })) << messages.Text().toStdString();
    }
    const auto start = std::chrono::steady_clock::now();
    publisher.Finish(start + 1s);
    EXPECT_LE(std::chrono::steady_clock::now() - start, 1s);
    if (GetParam().BrokerUp) {
        EXPECT_EQ(Retained(broker, 3), (std::map<QString, QString>{
                                           {"site/M1/status", "offline"}, {"site/M2/status", "offline"}, {"site/M3/status", "offline"}}));
        EXPECT_FALSE(messages.Text().contains("could not be delivered")) << messages.Text().toStdString();
    } else {
        // The three "offline" statuses.
        EXPECT_EQ(messages.Count("3 messages could not be delivered before the end"), 1) << messages.Text().toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(Broker, MqttFinishTest,
                         ::testing::Values(rFinishCase{"Up", true}, rFinishCase{"Stopped", false}),
                         [](const auto& info) { return std::string(info.param.Name); });

} // namespace

#include "SiteFile.h"

#include "ModbusConnection.h"
#include "SettingValues.h"

#include <QFile>
#include <QFileInfo>

#include <map>
#include <optional>

namespace {

// A link as its text names it; the line speed of a serial port is a
// setting of the port, not part of its name.
struct TLinkName {
    TLinkKind Kind = TLinkKind::Serial;
    QString Target;
    int TcpPort = 502;
    TBaudRate Baud = TBaudRate::br9600;

    QString Text() const
    {
        const QString host = Target.contains(':') ? "[" + Target + "]" : Target;
        switch (Kind) {
        case TLinkKind::Serial: return QString("rtu:%1:%2").arg(Target).arg(BaudRateValue(Baud, 0));
        case TLinkKind::Tcp: return QString("tcp:%1:%2").arg(host).arg(TcpPort);
        case TLinkKind::RtuOverTcp: return QString("rtu-tcp:%1:%2").arg(host).arg(TcpPort);
        }
        return {};
    }
    QString Identity() const { return Kind == TLinkKind::Serial ? "rtu:" + Target : Text(); }
};

bool AllDigits(const QString& text)
{
    return !text.isEmpty() && std::all_of(text.begin(), text.end(), [](QChar c) { return c.isDigit(); });
}

// A device path may hold colons of its own (/dev/serial/by-path names do):
// only a last part of digits is the line speed.
TLinkName SerialLink(const QString& label, const QString& rest, TBaudRate defaultBaud)
{
    TLinkName link{.Kind = TLinkKind::Serial, .Target = rest.trimmed(), .Baud = defaultBaud};
    const int colon = link.Target.lastIndexOf(':');
    if (colon >= 0 && AllDigits(link.Target.mid(colon + 1))) {
        link.Baud = SettingValues::Baud(label, link.Target.mid(colon + 1));
        link.Target.truncate(colon);
    }
    if (link.Target.isEmpty())
        throw TSettingRefusal{QString("%1: \"rtu:%2\" names no serial port").arg(label, rest)};
    return link;
}

TLinkName NetworkLink(const QString& label, TLinkKind kind, const QString& rest, TBaudRate baud)
{
    const auto [host, port] = SettingValues::SplitHostPort(rest);
    TLinkName link{.Kind = kind, .Target = SettingValues::Address(label, host), .Baud = baud};
    if (port)
        link.TcpPort = SettingValues::Integer(label, *port, 1, 65535);
    else if (kind == TLinkKind::RtuOverTcp)
        throw TSettingRefusal{QString("%1: \"rtu-tcp:%2\" needs the device server's TCP port, as in "
                                      "rtu-tcp:192.168.10.30:4001").arg(label, rest)};
    return link;
}

TLinkName LinkValue(const QString& label, const QString& text, TBaudRate defaultBaud)
{
    const QString value = text.trimmed();
    const int colon = value.indexOf(':');
    const QString scheme = value.left(colon).toLower();
    const QString rest = value.mid(colon + 1);
    if (colon > 0 && scheme == "rtu")
        return SerialLink(label, rest, defaultBaud);
    if (colon > 0 && scheme == "tcp")
        return NetworkLink(label, TLinkKind::Tcp, rest, defaultBaud);
    if (colon > 0 && scheme == "rtu-tcp")
        return NetworkLink(label, TLinkKind::RtuOverTcp, rest, defaultBaud);
    throw TSettingRefusal{QString("%1: \"%2\" is none of rtu:DEVICE[:BAUD], tcp:ADDRESS[:PORT] and "
                                  "rtu-tcp:ADDRESS:PORT").arg(label, text)};
}

// A link setting as a section gives it: its value, and where, for the
// message when another section of the same link gives another one.
struct TGiven {
    QString Value;
    int Line = 0;
};

// One section as read, before its link is known to be shared.
struct TSection {
    QString Name;
    int Line = 0;
    std::map<QString, TGiven> Keys; // by key in lower case
};

const QStringList MeterKeys{"link", "address", "file", "params"};
const QStringList LinkKeys{"interval", "timeout", "tries", "echo", "framing"};

class TSiteReader {
public:
    TSiteReader(const QString& fileName, const TLoggerOptions& defaults) : fileName_(fileName), defaults_(defaults) {}

    std::vector<TSiteLink> Read()
    {
        QFile file(fileName_);
        if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
            throw TSettingRefusal{QString("%1: %2").arg(fileName_, file.errorString())};
        std::vector<TSection> sections;
        int line = 0;
        while (!file.atEnd())
            ReadLine(QString::fromUtf8(file.readLine()).trimmed(), ++line, sections);
        if (sections.empty())
            throw TSettingRefusal{QString("%1: no meter; give a section per meter, such as [Main incomer] "
                                          "with Link= and Address=").arg(fileName_)};
        for (const TSection& section : sections)
            AddMeter(section);
        return std::move(links_);
    }

private:
    QString Label(int line, const QString& key = {}) const
    {
        const QString where = QString("%1, line %2").arg(fileName_).arg(line);
        return key.isEmpty() ? where : where + ": " + key;
    }

    void ReadLine(const QString& text, int line, std::vector<TSection>& sections)
    {
        if (text.isEmpty() || text.startsWith(';') || text.startsWith('#'))
            return;
        if (text.startsWith('[')) {
            if (!text.endsWith(']') || text.size() < 3)
                throw TSettingRefusal{Label(line) + QString(": \"%1\" is not a section heading such as [Main incomer]").arg(text)};
            const QString name = text.mid(1, text.size() - 2).trimmed();
            for (const TSection& other : sections)
                if (other.Name == name)
                    throw TSettingRefusal{Label(line) + QString(": the meter \"%1\" is named at line %2 already").arg(name).arg(other.Line)};
            sections.push_back({name, line, {}});
            return;
        }
        const int equals = text.indexOf('=');
        if (equals <= 0)
            throw TSettingRefusal{Label(line) + QString(": \"%1\" is neither a [meter] heading nor a Key=value line").arg(text)};
        if (sections.empty())
            throw TSettingRefusal{Label(line) + ": a key before the first [meter] heading"};
        const QString key = text.left(equals).trimmed();
        if (!MeterKeys.contains(key.toLower()) && !LinkKeys.contains(key.toLower()))
            throw TSettingRefusal{Label(line) + QString(": \"%1\" is not a key of a meter; the keys are Link, Address, "
                                                        "File, Params, Interval, Timeout, Tries, Echo and Framing").arg(key)};
        auto& keys = sections.back().Keys;
        if (keys.count(key.toLower()))
            throw TSettingRefusal{Label(line) + QString(": %1 is given twice for the meter \"%2\"").arg(key, sections.back().Name)};
        keys[key.toLower()] = {text.mid(equals + 1).trimmed(), line};
    }

    const TGiven& Required(const TSection& section, const QString& key) const
    {
        const auto found = section.Keys.find(key.toLower());
        if (found == section.Keys.end())
            throw TSettingRefusal{Label(section.Line) + QString(": the meter \"%1\" has no %2=").arg(section.Name, key)};
        return found->second;
    }

    TSiteLink& LinkOf(const TSection& section)
    {
        const TGiven& given = Required(section, "Link");
        const TLinkName name = LinkValue(Label(given.Line, "Link"), given.Value, defaults_.Baud);
        for (TSiteLink& link : links_) {
            const TLinkName known{link.Kind, link.Target, link.TcpPort, link.Baud};
            if (known.Identity() != name.Identity())
                continue;
            if (known.Baud != name.Baud)
                throw TSettingRefusal{Label(given.Line, "Link") +
                                      QString(": \"%1\" is the port of %2 at another line speed").arg(given.Value, link.Text)};
            return link;
        }
        TSiteLink link{.Text = name.Text(), .Kind = name.Kind, .Target = name.Target, .TcpPort = name.TcpPort,
                       .Baud = name.Baud, .Settings = defaults_.Link, .Interval = defaults_.Interval, .Meters = {}};
        links_.push_back(link);
        linkSettings_.emplace_back();
        return links_.back();
    }

    // A link setting holds for every meter of the link: another value for
    // it in another meter's section is a contradiction, not an override.
    void ApplyLinkKeys(const TSection& section, std::size_t linkIndex)
    {
        TSiteLink& link = links_[linkIndex];
        std::map<QString, TGiven>& taken = linkSettings_[linkIndex];
        for (const QString& key : LinkKeys) {
            const auto found = section.Keys.find(key);
            if (found == section.Keys.end())
                continue;
            const TGiven& given = found->second;
            if (const auto earlier = taken.find(key); earlier != taken.end()) {
                if (earlier->second.Value.compare(given.Value, Qt::CaseInsensitive) != 0)
                    throw TSettingRefusal{Label(given.Line) + QString(": %1=%2 differs from %1=%3 at line %4 for the same "
                                                                      "link %5").arg(CapitalKey(key), given.Value, earlier->second.Value)
                                                                      .arg(earlier->second.Line).arg(link.Text)};
                continue;
            }
            taken[key] = given;
            ApplyLinkKey(key, given, link);
        }
    }

    static QString CapitalKey(const QString& key) { return key.left(1).toUpper() + key.mid(1); }

    void ApplyLinkKey(const QString& key, const TGiven& given, TSiteLink& link) const
    {
        const QString label = Label(given.Line, CapitalKey(key));
        if (key == "interval")
            link.Interval = SettingValues::Interval(label, given.Value);
        else if (key == "timeout")
            link.Settings.ReceiveTimeoutMs = SettingValues::Integer(label, given.Value, TLinkSettings::MinReceiveTimeoutMs,
                                                                    TLinkSettings::MaxReceiveTimeoutMs);
        else if (key == "tries")
            link.Settings.Tries = SettingValues::Integer(label, given.Value, TLinkSettings::MinTries, TLinkSettings::MaxTries);
        else if (key == "echo")
            link.Settings.Echo = SettingValues::Flag(label, given.Value);
        else if (key == "framing")
            link.Settings.EndAtLength = FramingValue(label, given.Value);
    }

    // "length": an RTU reply ends as soon as its length is in and its CRC
    // checks; "silence": after the line's silence that follows it.
    static bool FramingValue(const QString& label, const QString& text)
    {
        const QString word = text.trimmed().toLower();
        if (word == "length" || word == "silence")
            return word == "length";
        throw TSettingRefusal{QString("%1: \"%2\" is neither length nor silence").arg(label, text)};
    }

    void AddMeter(const TSection& section)
    {
        TSiteLink& link = LinkOf(section);
        const std::size_t linkIndex = std::size_t(&link - links_.data());
        const TGiven& address = Required(section, "Address");
        TSiteMeter meter{.Id = {section.Name, link.Text,
                                uint8_t(SettingValues::Integer(Label(address.Line, "Address"), address.Value, 1, 247))},
                         .File = {},
                         .Selection = defaults_.Selection};
        for (const TSiteMeter& other : link.Meters)
            if (other.Id.Address == meter.Id.Address)
                throw TSettingRefusal{Label(address.Line, "Address") +
                                      QString(": the meter \"%1\" has address %2 on %3 already")
                                          .arg(other.Id.Name).arg(meter.Id.Address).arg(link.Text)};
        if (const auto params = section.Keys.find("params"); params != section.Keys.end())
            meter.Selection = SettingValues::Params(Label(params->second.Line, "Params"), params->second.Value);
        if (const auto file = section.Keys.find("file"); file != section.Keys.end())
            meter.File = LogFileOf(file->second);
        ApplyLinkKeys(section, linkIndex);
        links_[linkIndex].Meters.push_back(meter);
    }

    // A relative path is taken from the working directory, as a switch's
    // would be (the service's is its state directory); two meters in one
    // file would mix their records.
    QString LogFileOf(const TGiven& given)
    {
        if (given.Value.isEmpty())
            throw TSettingRefusal{Label(given.Line, "File") + ": the log file has no name"};
        const QString path = QFileInfo(given.Value).absoluteFilePath();
        if (const auto earlier = files_.find(path); earlier != files_.end())
            throw TSettingRefusal{Label(given.Line, "File") + QString(": \"%1\" is the log file of the meter at line %2 already")
                                                                  .arg(given.Value).arg(earlier->second)};
        files_[path] = given.Line;
        return path;
    }

    QString fileName_;
    const TLoggerOptions& defaults_;
    std::vector<TSiteLink> links_;
    std::vector<std::map<QString, TGiven>> linkSettings_; // by link, the settings taken and where from
    std::map<QString, int> files_;                        // log file -> line that names it
};

} // namespace

TSiteFileResult ReadSiteFile(const QString& fileName, const TLoggerOptions& defaults)
{
    try {
        return {TSiteReader(fileName, defaults).Read(), {}};
    } catch (const TSettingRefusal& refusal) {
        return {{}, refusal.Message};
    }
}

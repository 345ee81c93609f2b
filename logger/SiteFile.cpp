#include "SiteFile.h"

#include "MeterName.h"
#include "ModbusConnection.h"
#include "SettingValues.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QStringDecoder>

#include <algorithm>
#include <map>
#include <optional>

namespace {

using SettingValues::Shown;

// Far more than the largest site's file; what is larger is no site file,
// and reading it whole could exhaust memory.
constexpr qint64 MaxFileBytes = 16 * 1024 * 1024;

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
        case TLinkKind::Serial: return QString("rtu:%1:%2").arg(Target, QString::number(BaudRateValue(Baud, 0)));
        case TLinkKind::Tcp: return QString("tcp:%1:%2").arg(host, QString::number(TcpPort));
        case TLinkKind::RtuOverTcp: return QString("rtu-tcp:%1:%2").arg(host, QString::number(TcpPort));
        }
        return {};
    }
    QString Identity() const { return Kind == TLinkKind::Serial ? "rtu:" + Target : Text(); }
};

// A link as the switches set it up, before any section gives its own
// settings.
TSiteLink NewLink(const TLinkName& name, const TLoggerOptions& defaults)
{
    return {.Text = name.Text(), .Kind = name.Kind, .Target = name.Target, .TcpPort = name.TcpPort, .Baud = name.Baud,
            .Settings = defaults.Link, .Interval = defaults.Interval, .Meters = {},
            .AskModel = !defaults.Outputs.Mqtt.DiscoveryPrefix.isEmpty(), .OneMeter = false, .Gateway = {}};
}

// A meter of the link, with the quantities of the switches and no file.
TSiteMeter NewMeter(const QString& name, const TSiteLink& link, uint8_t address, const TLoggerOptions& defaults)
{
    return {.Id = {name, link.Text, address}, .File = {}, .Selection = defaults.Selection};
}

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
        throw TSettingRefusal{QString("%1: \"%2\" names no serial port").arg(label, Shown("rtu:" + rest))};
    return link;
}

TLinkName NetworkLink(const QString& label, TLinkKind kind, const QString& rest, TBaudRate baud)
{
    const auto [host, port] = SettingValues::SplitHostPort(rest);
    TLinkName link{.Kind = kind, .Target = SettingValues::Address(label, host), .Baud = baud};
    if (port)
        link.TcpPort = SettingValues::Integer(label, *port, 1, 65535);
    else if (kind == TLinkKind::RtuOverTcp)
        throw TSettingRefusal{QString("%1: \"%2\" needs the device server's TCP port, as in "
                                      "rtu-tcp:192.168.10.30:4001").arg(label, Shown("rtu-tcp:" + rest))};
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
                                  "rtu-tcp:ADDRESS:PORT").arg(label, Shown(text))};
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

const QStringList MeterKeys{"link", "address", "unit", "file", "params"};
const QStringList LinkKeys{"interval", "timeout", "tries", "echo", "framing"};

class TSiteReader {
public:
    TSiteReader(const QString& fileName, const TLoggerOptions& defaults) : fileName_(fileName), defaults_(defaults) {}

    std::vector<TSiteLink> Read()
    {
        std::vector<TSection> sections;
        ForEachLine(Content(), [&](QByteArrayView bytes, int line) { ReadLine(Text(bytes, line), line, sections); });
        if (sections.empty())
            throw TSettingRefusal{QString("%1: no meter; give a section per meter, such as [Main incomer] "
                                          "with Link= and Address=").arg(fileName_)};
        for (const TSection& section : sections)
            AddMeter(section);
        AssignUnits();
        return std::move(links_);
    }

private:
    QByteArray Content() const
    {
        QFile file(fileName_);
        if (!file.open(QIODevice::ReadOnly))
            throw TSettingRefusal{QString("%1: %2").arg(fileName_, file.errorString())};
        // A read asks for a buffer of the size it names: a file of known
        // size asks for no more than it holds.
        const QByteArray content = file.read(file.size() > 0 ? std::min(file.size(), MaxFileBytes + 1) : MaxFileBytes + 1);
        if (content.size() > MaxFileBytes)
            throw TSettingRefusal{QString("%1: larger than %2 MiB, which no site file is")
                                      .arg(fileName_, QString::number(MaxFileBytes / (1024 * 1024)))};
        return content;
    }

    // Each line with its number, whichever of LF, CR LF and CR ends it: the
    // editors of all three systems write site files.
    template <typename ReadOne>
    static void ForEachLine(const QByteArray& content, ReadOne readOne)
    {
        const qsizetype size = content.size();
        int line = 0;
        for (qsizetype start = 0; start < size;) {
            qsizetype end = start;
            while (end < size && content[end] != '\n' && content[end] != '\r')
                ++end;
            readOne(QByteArrayView(content).sliced(start, end - start), ++line);
            start = end + (end + 1 < size && content[end] == '\r' && content[end + 1] == '\n' ? 2 : 1);
        }
    }

    // A line that is not UTF-8 would reach the outputs and the paths
    // changed, so it is refused rather than read as something else.
    QString Text(QByteArrayView bytes, int line) const
    {
        QStringDecoder utf8(QStringConverter::Utf8);
        const QString text = utf8(bytes);
        if (utf8.hasError())
            throw TSettingRefusal{Label(line) + ": not UTF-8 text; save the site file as UTF-8"};
        return text.trimmed();
    }

    QString Label(int line, const QString& key = {}) const
    {
        const QString where = QString("%1, line %2").arg(fileName_, QString::number(line));
        return key.isEmpty() ? where : where + ": " + key;
    }

    void ReadLine(const QString& text, int line, std::vector<TSection>& sections)
    {
        if (text.isEmpty() || text.startsWith(';') || text.startsWith('#'))
            return;
        if (text.startsWith('[')) {
            if (!text.endsWith(']'))
                throw TSettingRefusal{Label(line) + QString(": \"%1\" is not a section heading such as [Main incomer]").arg(Shown(text))};
            const QString name = text.mid(1, text.size() - 2).trimmed();
            TakeName(name, line);
            sections.push_back({name, line, {}});
            return;
        }
        const int equals = text.indexOf('=');
        if (equals <= 0)
            throw TSettingRefusal{Label(line) + QString(": \"%1\" is neither a [meter] heading nor a Key=value line").arg(Shown(text))};
        if (sections.empty())
            throw TSettingRefusal{Label(line) + ": a key before the first [meter] heading"};
        const QString key = text.left(equals).trimmed();
        if (!MeterKeys.contains(key.toLower()) && !LinkKeys.contains(key.toLower()))
            throw TSettingRefusal{Label(line) + QString(": \"%1\" is not a key of a meter; the keys are Link, Address, "
                                                        "Unit, File, Params, Interval, Timeout, Tries, Echo and Framing").arg(Shown(key))};
        auto& keys = sections.back().Keys;
        if (keys.count(key.toLower()))
            throw TSettingRefusal{Label(line) + QString(": %1 is given twice for the meter \"%2\"").arg(key, sections.back().Name)};
        // A value reaches paths, outputs and messages: none holds a control
        // character.
        const QString value = text.mid(equals + 1).trimmed();
        if (std::any_of(value.begin(), value.end(), [](QChar c) { return c.category() == QChar::Other_Control; }))
            throw TSettingRefusal{Label(line, key) + QString(": \"%1\" holds a control character").arg(Shown(value))};
        keys[key.toLower()] = {value, line};
    }

    // A meter's name is its name in every output: one that an output cannot
    // carry is refused, and so is one that would share another meter's MQTT
    // topics (its Prometheus label and InfluxDB tag are the name itself).
    void TakeName(const QString& name, int line)
    {
        if (const QString fault = MeterName::Fault(name); !fault.isEmpty())
            throw TSettingRefusal{Label(line) + QString(": the meter's name \"%1\" %2").arg(Shown(name), fault)};
        const QString level = MeterName::MqttLevel(name);
        if (const auto other = topicLevels_.constFind(level); other != topicLevels_.cend()) {
            if (other->Name == name)
                throw TSettingRefusal{Label(line) + QString(": the meter \"%1\" is named at line %2 already")
                                                        .arg(name, QString::number(other->Line))};
            throw TSettingRefusal{Label(line) + QString(": the meter \"%1\" would publish on the MQTT topics of the meter "
                                                        "\"%2\" at line %3, \"%4\" ('/', '+' and '#' become '_' there)")
                                                    .arg(name, other->Name, QString::number(other->Line), level)};
        }
        topicLevels_.insert(level, {name, line});
    }

    const TGiven& Required(const TSection& section, const QString& key) const
    {
        const auto found = section.Keys.find(key.toLower());
        if (found == section.Keys.end())
            throw TSettingRefusal{Label(section.Line) + QString(": the meter \"%1\" has no %2=").arg(section.Name, key)};
        return found->second;
    }

    // The link a meter names, found by what the link is, whatever the text
    // that named it first.
    TSiteLink& LinkOf(const TSection& section)
    {
        const TGiven& given = Required(section, "Link");
        const TLinkName name = LinkValue(Label(given.Line, "Link"), given.Value, defaults_.Baud);
        if (const auto known = linkIndex_.constFind(name.Identity()); known != linkIndex_.cend()) {
            TSiteLink& link = links_[*known];
            if (link.Baud != name.Baud)
                throw TSettingRefusal{Label(given.Line, "Link") + QString(": \"%1\" is the port of %2 at another line speed")
                                                                      .arg(Shown(given.Value), Shown(link.Text))};
            return link;
        }
        linkIndex_.insert(name.Identity(), links_.size());
        links_.push_back(NewLink(name, defaults_));
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
                    throw TSettingRefusal{Label(given.Line) + QString(": %1=%2 differs from %1=%3 at line %4 for the same link %5")
                                                                  .arg(CapitalKey(key), Shown(given.Value), Shown(earlier->second.Value),
                                                                       QString::number(earlier->second.Line), Shown(link.Text))};
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
        throw TSettingRefusal{QString("%1: \"%2\" is neither length nor silence").arg(label, Shown(text))};
    }

    void AddMeter(const TSection& section)
    {
        TSiteLink& link = LinkOf(section);
        const std::size_t linkIndex = std::size_t(&link - links_.data());
        const TGiven& address = Required(section, "Address");
        TSiteMeter meter = NewMeter(
            section.Name, link, uint8_t(SettingValues::Integer(Label(address.Line, "Address"), address.Value, 1, 247)),
            defaults_);
        for (const TSiteMeter& other : link.Meters)
            if (other.Id.Address == meter.Id.Address)
                throw TSettingRefusal{Label(address.Line, "Address") +
                                      QString(": the meter \"%1\" has address %2 on %3 already")
                                          .arg(other.Id.Name, QString::number(meter.Id.Address), Shown(link.Text))};
        if (const auto params = section.Keys.find("params"); params != section.Keys.end())
            meter.Selection = SettingValues::Params(Label(params->second.Line, "Params"), params->second.Value);
        if (const auto file = section.Keys.find("file"); file != section.Keys.end())
            meter.File = LogFileOf(file->second);
        ApplyLinkKeys(section, linkIndex);
        TUnitGiven unit{.Link = linkIndex, .Meter = links_[linkIndex].Meters.size(), .Line = address.Line};
        if (const auto given = section.Keys.find("unit"); given != section.Keys.end())
            unit = {linkIndex, unit.Meter, uint8_t(SettingValues::Integer(Label(given->second.Line, "Unit"), given->second.Value, 1, 247)),
                    given->second.Line};
        units_.push_back(unit);
        links_[linkIndex].Meters.push_back(meter);
    }

    // Each meter's unit on the gateway: the one its section gives, else its
    // address when no other meter of the site has it. Two meters on one
    // unit would each get the other's answers, so that is refused.
    void AssignUnits()
    {
        std::map<int, int> addresses; // address -> meters with it
        for (const TSiteLink& link : links_)
            for (const TSiteMeter& meter : link.Meters)
                ++addresses[meter.Id.Address];
        std::map<int, const TUnitGiven*> taken;
        const auto take = [&](const TUnitGiven& unit, uint8_t id, const QString& key, const QString& how) {
            TSiteMeter& meter = links_[unit.Link].Meters[unit.Meter];
            if (const auto other = taken.find(id); other != taken.end())
                throw TSettingRefusal{Label(unit.Line, key) + QString(": the meter \"%1\" would be unit %2 on the gateway%3, "
                                                                      "which the meter \"%4\" at line %5 is already")
                                                                  .arg(meter.Id.Name, QString::number(id), how,
                                                                       links_[other->second->Link].Meters[other->second->Meter].Id.Name,
                                                                       QString::number(other->second->Line))};
            taken[id] = &unit;
            meter.Unit = id;
        };
        for (const TUnitGiven& unit : units_)
            if (unit.Given != 0)
                take(unit, unit.Given, "Unit", {});
        for (const TUnitGiven& unit : units_) {
            const uint8_t address = links_[unit.Link].Meters[unit.Meter].Id.Address;
            if (unit.Given == 0 && addresses[address] == 1)
                take(unit, address, "Address", " (its address; give it a Unit= of its own)");
        }
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
                                                                  .arg(Shown(given.Value), QString::number(earlier->second))};
        files_[path] = given.Line;
        return path;
    }

    // A meter's Unit key as its section gives it (0: none), and the line
    // that gives its unit: the Unit key's, else the Address key's.
    struct TUnitGiven {
        std::size_t Link = 0;
        std::size_t Meter = 0;
        uint8_t Given = 0;
        int Line = 0;
    };

    QString fileName_;
    const TLoggerOptions& defaults_;
    std::vector<TUnitGiven> units_; // in file order
    std::vector<TSiteLink> links_;
    QHash<QString, std::size_t> linkIndex_;               // TLinkName::Identity() -> its link in links_
    std::vector<std::map<QString, TGiven>> linkSettings_; // by link, the settings taken and where from
    std::map<QString, int> files_;                        // log file -> line that names it
    struct TNamed {
        QString Name;
        int Line = 0;
    };
    QHash<QString, TNamed> topicLevels_; // MQTT topic level -> the meter that has it
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

std::vector<TSiteLink> OneMeterSite(const TLoggerOptions& options)
{
    TSiteLink link = NewLink({options.Kind, options.Target, options.TcpPort, options.Baud}, options);
    link.OneMeter = true;
    link.Meters.push_back(NewMeter(options.Name, link, options.Address, options));
    link.Meters.back().File = options.FileName;
    link.Meters.back().Unit = options.Address;
    return {std::move(link)};
}

QString MeterSaid(const TSiteLink& link, const TSiteMeter& meter)
{
    if (!link.OneMeter)
        return MeterText(meter.Id);
    const QString address = QString("%1:%2").arg(link.Target).arg(link.TcpPort);
    const QString line = QString(" at %1 baud").arg(BaudRateValue(link.Baud, 0));
    QString where;
    switch (link.Kind) {
    case TLinkKind::Tcp: where = address; break;
    case TLinkKind::RtuOverTcp: where = address + " (RTU over TCP)" + line; break;
    case TLinkKind::Serial: where = link.Target + line; break;
    }
    return QString("at %1, unit %2").arg(where).arg(meter.Id.Address);
}

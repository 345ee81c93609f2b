#pragma once

#include <QString>
#include <QStringList>

#include <vector>

// The INI files of the utility: the settings file, the page files, the
// register banks and the meter list. Sections and keys keep their file order,
// names match without regard to case, and "key=value" lines are read and
// written as they are (no escaping of spaces or other characters).
// Reading never fails: a missing, empty, damaged or binary file simply has
// fewer sections. Writing goes to a temporary file that replaces the old one
// only once it is complete, so a crash or a full disk never truncates it.
class TIniFile {
public:
    explicit TIniFile(const QString& fileName);

    const QString& FileName() const { return fileName_; }

    QStringList Sections() const;
    bool SectionExists(const QString& section) const;
    QStringList Keys(const QString& section) const;
    bool ValueExists(const QString& section, const QString& key) const;

    QString ReadString(const QString& section, const QString& key, const QString& defaultValue) const;
    // Decimal, or hexadecimal with a "$" or "0x" prefix; anything else gives the default.
    int ReadInteger(const QString& section, const QString& key, int defaultValue) const;
    // Stored as 0 and 1; any other integer counts as true, a non-integer as the default.
    bool ReadBool(const QString& section, const QString& key, bool defaultValue) const;

    void WriteString(const QString& section, const QString& key, const QString& value);
    void WriteInteger(const QString& section, const QString& key, int value);
    void WriteBool(const QString& section, const QString& key, bool value);
    void EraseSection(const QString& section);

    // Writes the file; on failure returns false with the reason in error.
    bool UpdateFile(QString* error = nullptr) const;

    // An integer as the INI files write it: decimal, "$" or "0x" hexadecimal.
    static bool ParseInteger(const QString& text, int& value);

private:
    struct Entry {
        QString key;
        QString value;
    };
    struct Section {
        QString name;
        std::vector<Entry> entries;
    };

    void Parse(const QByteArray& content);
    const Section* FindSection(const QString& name) const;
    Section& SectionFor(const QString& name);
    const Entry* FindEntry(const QString& section, const QString& key) const;

    QString fileName_;
    std::vector<Section> sections_;
};

#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>
#include <vector>

// The INI files of the utility: the settings file, the page files, the
// register banks and the meter list. Sections and keys keep their file order,
// names match without regard to case, and "key=value" lines are read and
// written as they are (no escaping of spaces or other characters).
// Reading never fails: a missing, empty, damaged or binary file simply has
// fewer sections. A file that is valid UTF-8 is read as UTF-8, any other as
// Windows-1252, the code page of files from older installations; files are
// always written as UTF-8. Writing goes to a temporary file that replaces the
// old one only once it is complete, so a crash or a full disk never truncates
// it. Reading takes time in proportion to the file's size, and every lookup
// by name goes through a hash index.
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
    // Positions in an ordered list, found by the hash of the name stored at
    // each: open addressing with linear probing, kept at most half full. A
    // slot holds the name's hash and its position, so growing never reads a
    // name again and a probe compares names only when the hashes agree.
    class NameIndex {
    public:
        static constexpr std::size_t NotFound = ~std::size_t{0};
        // The hash of the name with its letters case-folded.
        static std::uint32_t Hash(QStringView name);
        // The first position with this hash for which same(position) holds.
        template <typename Same>
        std::size_t Find(std::uint32_t hash, Same same) const;
        void Add(std::uint32_t hash, std::size_t position);

    private:
        void Grow();
        // hash << 32 | (position + 1), 0 when free: positions stay below 2^32 - 1,
        // far more lines than the largest file read has.
        std::vector<std::uint64_t> slots_;
        std::size_t used_ = 0;
    };
    struct Entry {
        QString key;
        QString value;
    };
    struct Section {
        QString name;
        std::vector<Entry> entries;
        NameIndex keys;
        bool erased = false; // left in place, so later positions stay valid
    };

    void Parse(QStringView text);
    const Section* FindSection(const QString& name) const;
    const Entry* FindEntry(const QString& section, const QString& key) const;
    std::size_t SectionFor(const QString& name);
    // Adds the key unless the section has it already.
    void AddEntry(Section& section, const QString& key, const QString& value);

    QString fileName_;
    std::vector<Section> sections_;
    NameIndex sectionIndex_;
};

template <typename Same>
std::size_t TIniFile::NameIndex::Find(std::uint32_t hash, Same same) const
{
    if (slots_.empty())
        return NotFound;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
        const std::uint64_t slot = slots_[i];
        if (slot == 0)
            return NotFound;
        const std::size_t position = static_cast<std::uint32_t>(slot) - 1;
        if (slot >> 32 == hash && same(position))
            return position;
    }
}

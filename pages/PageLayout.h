#pragma once

#include <QLayout>
#include <QPoint>

#include <vector>

class TDataField;

// Places the fields of a data page. The page file gives each field's top
// left corner in design units (see DesignUnits.h), which are scaled to the
// page's font; each field takes the size it asks for. Fields that share a
// left edge in the file form a column. A column moves right, as a whole, as
// far as it must to clear every field left of it on the same rows: a field
// grown wider than its design (a long caption, a value with more digits)
// pushes the columns after it instead of covering them. Fields that the
// file itself lays over each other stay so. The page asks for
// the room of all its fields, so a scroll area around it can show them all.
//
// The fields are children of blocks of FieldsPerBlock fields, in the order
// they are added: each block lies over the whole page, with its own
// fields' places for its mask, so that a click reaches the field under it
// and a field's position is the page's. Qt compares a widget that needs
// painting with each of its later siblings: the blocks keep those to a few
// hundred however many fields the page has.
class TPageLayout : public QLayout {
public:
    // Room kept between a grown field and the column it pushes.
    static constexpr int ColumnGap = 6;
    static constexpr std::size_t FieldsPerBlock = 128;

    explicit TPageLayout(QWidget* page);
    ~TPageLayout() override;

    // The field becomes a child of the page's last block and lives as long
    // as the page.
    void AddField(TDataField* field, QPoint designPos);

    void addItem(QLayoutItem* item) override;
    QLayoutItem* itemAt(int index) const override;
    QLayoutItem* takeAt(int index) override;
    int count() const override;
    QSize sizeHint() const override;
    QSize minimumSize() const override;
    void setGeometry(const QRect& rect) override;

private:
    struct rEntry {
        QLayoutItem* Item;
        QPoint DesignPos;
        TDataField* Field; // nullptr for an item that is not a field
        QWidget* Block;    // the field's parent; nullptr for an item that is not a field
    };
    // Where the page file puts the entry, at its design size.
    QRect DesignRect(const rEntry& entry) const;
    // Each entry's place, relative to the page's top left corner.
    std::vector<QRect> Placement() const;

    std::vector<rEntry> entries_;
    std::vector<QWidget*> blocks_;
    std::size_t fieldsInLastBlock_ = 0;
};

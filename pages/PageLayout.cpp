#include "PageLayout.h"

#include "DataFieldUnit.h"
#include "DesignUnits.h"

#include <QWidget>

#include <algorithm>
#include <climits>
#include <map>

TPageLayout::TPageLayout(QWidget* page) : QLayout(page)
{
    setContentsMargins(0, 0, 0, 0);
}

TPageLayout::~TPageLayout()
{
    for (const rEntry& entry : entries_)
        delete entry.Item;
}

void TPageLayout::AddField(TDataField* field, QPoint designPos)
{
    addChildWidget(field);
    entries_.push_back({new QWidgetItem(field), designPos, field});
    invalidate();
}

void TPageLayout::addItem(QLayoutItem* item)
{
    entries_.push_back({item, QPoint(), nullptr});
    invalidate();
}

QLayoutItem* TPageLayout::itemAt(int index) const
{
    return index >= 0 && index < count() ? entries_[static_cast<std::size_t>(index)].Item : nullptr;
}

QLayoutItem* TPageLayout::takeAt(int index)
{
    if (index < 0 || index >= count())
        return nullptr;
    QLayoutItem* item = entries_[static_cast<std::size_t>(index)].Item;
    entries_.erase(entries_.begin() + index);
    invalidate();
    return item;
}

int TPageLayout::count() const
{
    return static_cast<int>(entries_.size());
}

QRect TPageLayout::DesignRect(const rEntry& entry) const
{
    return {entry.DesignPos, entry.Field ? entry.Field->DesignSize() : entry.Item->sizeHint()};
}

std::vector<QRect> TPageLayout::Placement() const
{
    const QWidget* page = parentWidget();
    const double scale = DesignUnits::Scale(page ? page->font() : QFont());
    const int gap = DesignUnits::ToPixels(ColumnGap, scale);
    std::map<int, std::vector<std::size_t>> columns; // by design left edge
    for (std::size_t i = 0; i < entries_.size(); ++i)
        columns[entries_[i].DesignPos.x()].push_back(i);

    std::vector<QRect> places(entries_.size());
    std::vector<std::size_t> placed;
    for (const auto& [designLeft, members] : columns) {
        for (std::size_t i : members) {
            const QSize size = entries_[i].Item->sizeHint();
            places[i] = QRect(QPoint(0, DesignUnits::ToPixels(entries_[i].DesignPos.y(), scale)), size);
        }
        int left = DesignUnits::ToPixels(designLeft, scale);
        for (std::size_t i : members) {
            for (std::size_t earlier : placed) {
                const bool sameRows =
                    places[i].top() <= places[earlier].bottom() && places[earlier].top() <= places[i].bottom();
                if (sameRows && !DesignRect(entries_[i]).intersects(DesignRect(entries_[earlier])))
                    left = std::max(left, places[earlier].right() + 1 + gap);
            }
        }
        for (std::size_t i : members) {
            places[i].moveLeft(left);
            placed.push_back(i);
        }
    }
    return places;
}

QSize TPageLayout::sizeHint() const
{
    QRect covered;
    QPoint margin(INT_MAX, INT_MAX); // the room left and above the fields, kept right and below too
    for (const QRect& place : Placement()) {
        covered |= place;
        margin = QPoint(std::min(margin.x(), place.left()), std::min(margin.y(), place.top()));
    }
    if (covered.isNull())
        return {0, 0};
    return {covered.right() + 1 + margin.x(), covered.bottom() + 1 + margin.y()};
}

QSize TPageLayout::minimumSize() const
{
    return sizeHint();
}

void TPageLayout::setGeometry(const QRect& rect)
{
    QLayout::setGeometry(rect);
    const std::vector<QRect> places = Placement();
    for (std::size_t i = 0; i < entries_.size(); ++i)
        entries_[i].Item->setGeometry(places[i].translated(rect.topLeft()));
}

#include "PageLayout.h"

#include "DataFieldUnit.h"
#include "DesignUnits.h"

#include <QWidget>

#include <algorithm>
#include <climits>
#include <numeric>
#include <unordered_map>

namespace {

// The rightmost reach of the fields placed so far over any band of rows: a
// segment tree over the rows' edges (the tops and bottoms of all fields),
// in which adding a field and asking about a band take logarithmic time.
class TRowReach {
public:
    explicit TRowReach(std::vector<int> edges) : edges_(std::move(edges))
    {
        std::sort(edges_.begin(), edges_.end());
        edges_.erase(std::unique(edges_.begin(), edges_.end()), edges_.end());
        whole_.assign(4 * std::max<std::size_t>(edges_.size(), 1), INT_MIN);
        within_ = whole_;
    }

    // A field over the rows top to bottom (both edges among those given)
    // that reaches to right.
    void Add(int top, int bottom, int right) { Add(1, 0, edges_.size() - 1, Index(top), Index(bottom), right); }
    // The furthest reach over rows that share one with top to bottom;
    // INT_MIN where none does.
    int Max(int top, int bottom) const { return Max(1, 0, edges_.size() - 1, Index(top), Index(bottom)); }

private:
    std::size_t Index(int edge) const
    {
        return static_cast<std::size_t>(std::lower_bound(edges_.begin(), edges_.end(), edge) - edges_.begin());
    }
    // whole_: the reach of fields over all of a node's rows; within_: the
    // furthest reach over any of its rows.
    void Add(std::size_t node, std::size_t lo, std::size_t hi, std::size_t from, std::size_t to, int right)
    {
        if (to < lo || hi < from)
            return;
        within_[node] = std::max(within_[node], right);
        if (from <= lo && hi <= to) {
            whole_[node] = std::max(whole_[node], right);
            return;
        }
        const std::size_t mid = (lo + hi) / 2;
        Add(2 * node, lo, mid, from, to, right);
        Add(2 * node + 1, mid + 1, hi, from, to, right);
    }
    int Max(std::size_t node, std::size_t lo, std::size_t hi, std::size_t from, std::size_t to) const
    {
        if (to < lo || hi < from)
            return INT_MIN;
        if (from <= lo && hi <= to)
            return within_[node];
        const std::size_t mid = (lo + hi) / 2;
        return std::max({whole_[node], Max(2 * node, lo, mid, from, to), Max(2 * node + 1, mid + 1, hi, from, to)});
    }

    std::vector<int> edges_;
    std::vector<int> whole_;
    std::vector<int> within_;
};

} // namespace

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
    if (blocks_.empty() || fieldsInLastBlock_ == FieldsPerBlock) {
        blocks_.push_back(new QWidget(parentWidget()));
        addChildWidget(blocks_.back()); // shown with the page, or now when it is on screen
        fieldsInLastBlock_ = 0;
    }
    QWidget* block = blocks_.back();
    ++fieldsInLastBlock_;
    field->setParent(block);
    if (block->isVisible())
        field->show();
    entries_.push_back({new QWidgetItem(field), designPos, field, block});
    invalidate();
}

void TPageLayout::addItem(QLayoutItem* item)
{
    entries_.push_back({item, QPoint(), nullptr, nullptr});
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

// Columns are placed left to right. What a column must clear is found in a
// TRowReach of the columns that no field of it can overlap in the file;
// only the fields whose design reaches into the column (laid over it in the
// file, which is rare) are compared with its fields one by one. So a page
// of n fields is placed in n log n steps.
std::vector<QRect> TPageLayout::Placement() const
{
    const QWidget* page = parentWidget();
    const double scale = DesignUnits::Scale(page ? page->font() : QFont());
    const int gap = DesignUnits::ToPixels(ColumnGap, scale);
    std::vector<QRect> places(entries_.size());
    std::vector<int> edges;
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        places[i] = QRect(QPoint(0, DesignUnits::ToPixels(entries_[i].DesignPos.y(), scale)),
                          entries_[i].Item->sizeHint());
        edges.insert(edges.end(), {places[i].top(), places[i].bottom()});
    }
    TRowReach reach(std::move(edges));
    std::vector<std::size_t> order(entries_.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [this](std::size_t a, std::size_t b) {
        return entries_[a].DesignPos.x() < entries_[b].DesignPos.x();
    });

    std::vector<std::size_t> reaching; // placed, and reaching into the columns still to come
    for (auto first = order.begin(); first != order.end();) {
        const int designLeft = entries_[*first].DesignPos.x();
        const auto end = std::find_if(first, order.end(), [&](std::size_t i) {
            return entries_[i].DesignPos.x() != designLeft;
        });
        // A field whose design ends left of this column can overlap none of
        // it in the file; an empty one (no rows) stays compared one by one.
        std::erase_if(reaching, [&](std::size_t e) {
            const bool done = DesignRect(entries_[e]).right() < designLeft && places[e].top() <= places[e].bottom();
            if (done)
                reach.Add(places[e].top(), places[e].bottom(), places[e].right() + 1 + gap);
            return done;
        });
        int left = DesignUnits::ToPixels(designLeft, scale);
        for (auto member = first; member != end; ++member) {
            const std::size_t i = *member;
            if (places[i].top() <= places[i].bottom())
                left = std::max(left, reach.Max(places[i].top(), places[i].bottom()));
            for (std::size_t e : reaching) {
                const bool sameRows = places[i].top() <= places[e].bottom() && places[e].top() <= places[i].bottom();
                if (sameRows && !DesignRect(entries_[i]).intersects(DesignRect(entries_[e])))
                    left = std::max(left, places[e].right() + 1 + gap);
            }
        }
        for (auto member = first; member != end; ++member) {
            places[*member].moveLeft(left);
            reaching.push_back(*member);
        }
        first = end;
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

// A block reaches from the page's corner to its furthest field.
void TPageLayout::setGeometry(const QRect& rect)
{
    QLayout::setGeometry(rect);
    const std::vector<QRect> places = Placement();
    std::unordered_map<QWidget*, QRegion> masks;
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        const QRect place = places[i].translated(rect.topLeft());
        entries_[i].Item->setGeometry(place);
        if (entries_[i].Block)
            masks[entries_[i].Block] += place;
    }
    for (QWidget* block : blocks_) {
        const QRegion& mask = masks[block];
        const QRect reach = mask.boundingRect();
        block->setGeometry(0, 0, reach.right() + 1, reach.bottom() + 1);
        block->setMask(mask);
    }
}

#pragma once

#include <cstddef>
#include <vector>

// The newest `capacity` items pushed, oldest first by index. The storage is
// reserved once, at the first push, and never grows beyond the capacity: a
// full ring overwrites its oldest item.
template <class T>
class TTrendRing {
public:
    explicit TTrendRing(std::size_t capacity) : capacity_(capacity) {}

    void Push(const T& item)
    {
        if (items_.size() < capacity_) {
            if (items_.capacity() < capacity_)
                items_.reserve(capacity_);
            items_.push_back(item);
            return;
        }
        items_[head_] = item;
        head_ = (head_ + 1) % capacity_;
        dropped_ = true;
    }

    // Frees the storage; the next push reserves it again.
    void Clear()
    {
        std::vector<T>().swap(items_);
        head_ = 0;
        dropped_ = false;
    }

    std::size_t Size() const { return items_.size(); }
    bool Empty() const { return items_.empty(); }
    std::size_t Capacity() const { return capacity_; }
    std::size_t ReservedBytes() const { return items_.capacity() * sizeof(T); }
    // Whether an item was overwritten since the last Clear.
    bool Dropped() const { return dropped_; }

    const T& operator[](std::size_t i) const { return items_[(head_ + i) % items_.size()]; }
    T& Back() { return items_[(head_ + items_.size() - 1) % items_.size()]; }
    const T& Back() const { return items_[(head_ + items_.size() - 1) % items_.size()]; }
    const T& Front() const { return items_[head_]; }

    // The index of the first item for which `before` is false; the items
    // must be ordered so that `before` holds for a leading run only.
    template <class TPredicate>
    std::size_t PartitionPoint(TPredicate before) const
    {
        std::size_t low = 0;
        std::size_t high = items_.size();
        while (low < high) {
            const std::size_t mid = low + (high - low) / 2;
            if (before((*this)[mid]))
                low = mid + 1;
            else
                high = mid;
        }
        return low;
    }

private:
    std::size_t capacity_;
    std::vector<T> items_;
    std::size_t head_ = 0; // the oldest item once the ring is full
    bool dropped_ = false;
};

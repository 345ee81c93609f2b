#pragma once

// An allocator for a large table that is mostly zero and mostly never
// written, such as a register image of every register number: its memory
// comes straight from the system, zeroed and unwritten, and an element made
// without a value keeps that zero. Only the pages written take room, so a
// site of many links does not pay for every link's whole image.

#include <sys/mman.h>

#include <cstddef>
#include <new>
#include <utility>

template <class T>
struct TZeroPagesAllocator {
    using value_type = T;

    TZeroPagesAllocator() = default;
    template <class U>
    TZeroPagesAllocator(const TZeroPagesAllocator<U>&) noexcept
    {
    }

    T* allocate(std::size_t n)
    {
        void* memory = ::mmap(nullptr, n * sizeof(T), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED)
            throw std::bad_alloc();
        return static_cast<T*>(memory);
    }
    void deallocate(T* memory, std::size_t n) noexcept { ::munmap(memory, n * sizeof(T)); }

    // Made without a value: the system's zero stays, unwritten.
    template <class U>
    void construct(U*) noexcept
    {
    }
    template <class U, class... Args>
    void construct(U* at, Args&&... args)
    {
        ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
    }

    friend bool operator==(const TZeroPagesAllocator&, const TZeroPagesAllocator&) noexcept { return true; }
};

#pragma once

#include <cstddef>

namespace korvalen {

// Anonymous private read-write memory mapped on construction and released on destruction: first
// advised as not needed, so its pages go back at once, then unmapped. data() is null when the
// mapping failed. Owning and movable, never copied, so no way out of a measurement leaves a region
// mapped.
class MappedRegion {
public:
    explicit MappedRegion(std::size_t bytes);
    ~MappedRegion();
    MappedRegion(MappedRegion&& other) noexcept;
    MappedRegion& operator=(MappedRegion&& other) noexcept;
    MappedRegion(const MappedRegion&) = delete;
    MappedRegion& operator=(const MappedRegion&) = delete;

    void* data() const { return data_; }
    std::size_t size() const { return data_ ? bytes_ : 0; }

private:
    void release() noexcept;

    void* data_ = nullptr;
    std::size_t bytes_ = 0;
};

}  // namespace korvalen

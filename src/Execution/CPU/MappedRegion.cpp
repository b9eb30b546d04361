#include "Execution/CPU/MappedRegion.h"

#include <sys/mman.h>

#include <utility>

namespace korvalen {

MappedRegion::MappedRegion(std::size_t bytes) : bytes_(bytes)
{
    if (bytes == 0) return;
    void* mapped = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped != MAP_FAILED) data_ = mapped;
}

MappedRegion::~MappedRegion()
{
    release();
}

MappedRegion::MappedRegion(MappedRegion&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), bytes_(std::exchange(other.bytes_, 0))
{}

MappedRegion& MappedRegion::operator=(MappedRegion&& other) noexcept
{
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        bytes_ = std::exchange(other.bytes_, 0);
    }
    return *this;
}

void MappedRegion::release() noexcept
{
    if (!data_) return;
    madvise(data_, bytes_, MADV_DONTNEED);
    munmap(data_, bytes_);
    data_ = nullptr;
}

}  // namespace korvalen

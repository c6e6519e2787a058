// Whole-file buffers on POSIX systems. A large buffer is an anonymous
// mapping of its own, aligned to and rounded up to the huge-page size and, on
// Linux, advised for transparent huge pages: filling it then takes one fault
// per 2 MiB instead of one per 4 KiB page, which is what a fresh heap block of
// that size costs where page faults are dear (virtual machines). A small
// buffer comes from the allocator, whose recently freed blocks are already
// faulted in.
#include <sys/mman.h>

#include <cstdint>
#include <new>

#include "platform/file_buffer.h"

namespace plat {
namespace {

// The size of a transparent huge page on the platforms that have them; a
// mapping aligned to it can be backed by such pages from its first byte.
constexpr std::uint64_t kHugePage = 2u << 20;

std::uint64_t RoundUp(std::uint64_t n, std::uint64_t unit) { return (n + unit - 1) / unit * unit; }

// An anonymous mapping of `size` bytes or more that starts on a huge-page
// boundary; its length goes to `span`. Null when none can be had.
std::uint8_t* MapAligned(std::uint32_t size, std::uint64_t& span) {
    span = RoundUp(size, kHugePage);
    // Map one huge page more than needed and cut the unaligned head and the
    // surplus tail off again.
    const std::uint64_t wide = span + kHugePage;
    void* p = mmap(nullptr, wide, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    const auto start = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t aligned = RoundUp(start, kHugePage);
    if (aligned > start) munmap(p, aligned - start);
    const std::uintptr_t end = aligned + span;
    if (start + wide > end) munmap(reinterpret_cast<void*>(end), start + wide - end);
    auto* data = reinterpret_cast<std::uint8_t*>(aligned);
#ifdef MADV_HUGEPAGE
    // Only advice: where huge pages are off the mapping still works, with
    // small pages.
    madvise(data, span, MADV_HUGEPAGE);
#endif
    return data;
}

}  // namespace

bool FileBuffer::Allocate(std::uint32_t size) {
    Release();
    if (size == 0) return true;
    if (size >= kMappedFrom) {
        std::uint64_t span = 0;
        if (std::uint8_t* p = MapAligned(size, span)) {
            data_ = p;
            size_ = size;
            mapped_ = true;
            span_ = span;
            return true;
        }
    }
    data_ = new (std::nothrow) std::uint8_t[size];
    if (!data_) return false;
    size_ = size;
    return true;
}

void FileBuffer::Release() {
    if (mapped_) {
        munmap(data_, span_);
    } else {
        delete[] data_;
    }
    Forget();
}

}  // namespace plat

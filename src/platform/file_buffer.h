// The memory that holds a whole file in one operation: the file to send, or
// the fax being received. A large buffer is taken where the platform lets its
// pages be filled without one fault per small page (on Linux an anonymous
// mapping advised for huge pages); a small one comes from the ordinary
// allocator. Either way the owner releases it when it goes out of scope.
#ifndef TESSALINE_PLATFORM_FILE_BUFFER_H
#define TESSALINE_PLATFORM_FILE_BUFFER_H

#include <cstdint>

namespace plat {

class FileBuffer {
public:
    // From this size on, a buffer is a mapping of its own (where the
    // platform has one that helps); below it, a block of the allocator.
    static constexpr std::uint32_t kMappedFrom = 2u << 20;

    FileBuffer() = default;
    ~FileBuffer() { Release(); }
    FileBuffer(FileBuffer&& other) noexcept { Take(other); }
    FileBuffer& operator=(FileBuffer&& other) noexcept {
        if (this != &other) {
            Release();
            Take(other);
        }
        return *this;
    }
    FileBuffer(const FileBuffer&) = delete;
    FileBuffer& operator=(const FileBuffer&) = delete;

    // Replaces what the owner held with `size` bytes of unspecified content.
    // False when the memory cannot be had; the owner is then empty. A size
    // of 0 holds nothing and succeeds.
    bool Allocate(std::uint32_t size);
    // Gives the memory back; the owner is then empty.
    void Release();

    std::uint8_t* data() { return data_; }
    const std::uint8_t* data() const { return data_; }
    std::uint32_t size() const { return size_; }
    // Whether the bytes live in a mapping of their own rather than in the
    // allocator's heap.
    bool mapped() const { return mapped_; }

private:
    void Take(FileBuffer& other) {
        data_ = other.data_;
        size_ = other.size_;
        mapped_ = other.mapped_;
        span_ = other.span_;
        other.Forget();
    }
    // Empties the owner without giving anything back.
    void Forget() {
        data_ = nullptr;
        size_ = 0;
        mapped_ = false;
        span_ = 0;
    }

    std::uint8_t* data_ = nullptr;
    std::uint32_t size_ = 0;
    bool mapped_ = false;
    std::uint64_t span_ = 0;  // the length of the mapping, when mapped
};

}  // namespace plat

#endif

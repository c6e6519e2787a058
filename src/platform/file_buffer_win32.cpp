// Whole-file buffers on Windows: blocks of the allocator, whatever their
// size. Large pages there need a privilege that ordinary callers lack, and
// no other way of taking the memory has been measured to fill faster.
#include <cstdint>
#include <new>

#include "platform/file_buffer.h"

namespace plat {

bool FileBuffer::Allocate(std::uint32_t size) {
    Release();
    if (size == 0) return true;
    data_ = new (std::nothrow) std::uint8_t[size];
    if (!data_) return false;
    size_ = size;
    return true;
}

void FileBuffer::Release() {
    delete[] data_;
    Forget();
}

}  // namespace plat

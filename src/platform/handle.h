// The system handles the platform layer gives out, a channel and a named
// mutex, each owned by a small move-only holder that closes it when it goes.
// What each holds is the platform's own (handle_posix.h, handle_win32.h);
// the layers above see only the holder.
#ifndef TESSALINE_PLATFORM_HANDLE_H
#define TESSALINE_PLATFORM_HANDLE_H

#include <utility>

namespace plat {

// Owns one native handle of the kind `Traits` describes: its type, the value
// that names nothing, whether a value is open, and how it is closed.
template <class Traits>
class UniqueHandle {
public:
    using Native = typename Traits::Native;

    UniqueHandle() = default;
    explicit UniqueHandle(Native h) : h_(h) {}
    ~UniqueHandle() { reset(); }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : h_(std::exchange(other.h_, Traits::kNone)) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            reset();
            h_ = std::exchange(other.h_, Traits::kNone);
        }
        return *this;
    }

    bool is_open() const { return Traits::IsOpen(h_); }
    Native get() const { return h_; }
    // Closes the handle, when open; it names nothing afterwards.
    void reset() {
        if (Traits::IsOpen(h_)) Traits::Close(h_);
        h_ = Traits::kNone;
    }

private:
    Native h_ = Traits::kNone;
};

}  // namespace plat

#ifdef _WIN32
#include "platform/handle_win32.h"
#else
#include "platform/handle_posix.h"
#endif

#endif

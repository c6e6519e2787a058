// The system-wide named mutex that serialises conversations on the fax
// channel among all threads and processes.
//
// Semantics every implementation keeps: any user of the session can open it;
// it is owned by the thread that acquired it and recursive for that thread; a
// wait is bounded; an owner that died leaves it "abandoned", and the waiter
// that sees this owns it; releasing it without owning it fails harmlessly.
#ifndef TESSALINE_PLATFORM_NAMED_MUTEX_H
#define TESSALINE_PLATFORM_NAMED_MUTEX_H

#include <cstdint>

#include "platform/handle.h"

namespace plat {

enum class MutexWait { Acquired, TimedOut, Abandoned, Failed };

// Opens the mutex of this name, creating it when it does not exist yet. A
// handle that is not open when it can be neither opened nor created. Closing
// the handle (when it goes) does not release the mutex.
MutexHandle OpenNamedMutex(const char* name);

MutexWait WaitNamedMutex(const MutexHandle& mutex, std::uint32_t timeout_ms);

// False when the calling thread does not own the mutex; nothing changes then.
bool ReleaseNamedMutex(const MutexHandle& mutex);

}  // namespace plat

#endif

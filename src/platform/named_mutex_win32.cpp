// The named mutex on Windows: a kernel mutex object whose security descriptor
// has a present but null DACL, so that processes of every account in the
// session open the same one. The name is used as given; each Wine prefix or
// Windows session already keeps its own namespace.
#include <windows.h>

#include "platform/named_mutex.h"

namespace plat {

MutexHandle OpenNamedMutex(const char* name) {
    if (!name) return MutexHandle();
    SECURITY_DESCRIPTOR descriptor;
    if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION)) return MutexHandle();
    // DACL present and null: every user gets full access.
    if (!SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE)) return MutexHandle();
    SECURITY_ATTRIBUTES attributes;
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = &descriptor;
    attributes.bInheritHandle = FALSE;
    // Opens the mutex when it already exists; either way is fine.
    HANDLE mutex = CreateMutexA(&attributes, FALSE, name);
    return MutexHandle(mutex);
}

MutexWait WaitNamedMutex(const MutexHandle& mutex, std::uint32_t timeout_ms) {
    if (!mutex.is_open()) return MutexWait::Failed;
    switch (WaitForSingleObject(mutex.get(), timeout_ms)) {
        case WAIT_OBJECT_0:
            return MutexWait::Acquired;
        case WAIT_TIMEOUT:
            return MutexWait::TimedOut;
        case WAIT_ABANDONED:
            // The owner ended without releasing it; this thread owns it now.
            return MutexWait::Abandoned;
        default:
            return MutexWait::Failed;
    }
}

bool ReleaseNamedMutex(const MutexHandle& mutex) { return mutex.is_open() && ReleaseMutex(mutex.get()) != 0; }

void MutexTraits::Close(void* mutex) { CloseHandle(mutex); }

}  // namespace plat

// The named mutex on Windows: a kernel mutex object whose security descriptor
// has a present but null DACL, so that processes of every account in the
// session open the same one. The name is used as given; each Wine prefix or
// Windows session already keeps its own namespace.
#include <windows.h>

#include "platform/named_mutex.h"

namespace plat {
namespace {

HANDLE ToWin(Handle h) { return reinterpret_cast<HANDLE>(h); }

}  // namespace

Handle OpenNamedMutex(const char* name) {
    if (!name) return kInvalidHandle;
    SECURITY_DESCRIPTOR descriptor;
    if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION)) return kInvalidHandle;
    // DACL present and null: every user gets full access.
    if (!SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE)) return kInvalidHandle;
    SECURITY_ATTRIBUTES attributes;
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = &descriptor;
    attributes.bInheritHandle = FALSE;
    // Opens the mutex when it already exists; either way is fine.
    HANDLE mutex = CreateMutexA(&attributes, FALSE, name);
    return mutex ? reinterpret_cast<Handle>(mutex) : kInvalidHandle;
}

MutexWait WaitNamedMutex(Handle mutex, std::uint32_t timeout_ms) {
    if (!IsOpen(mutex)) return MutexWait::Failed;
    switch (WaitForSingleObject(ToWin(mutex), timeout_ms)) {
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

bool ReleaseNamedMutex(Handle mutex) { return IsOpen(mutex) && ReleaseMutex(ToWin(mutex)) != 0; }

void CloseNamedMutex(Handle mutex) {
    if (IsOpen(mutex)) CloseHandle(ToWin(mutex));
}

}  // namespace plat

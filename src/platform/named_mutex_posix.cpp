// The named mutex on POSIX: a process-shared, robust, recursive pthread mutex
// that lives in a POSIX shared-memory object named after the mutex.
//
// The object is created with mode 0666 whatever the umask, so that processes
// of different users share it. A new object is built and initialised under a
// private name and then hard-linked into place, so no process can ever open a
// half-initialised mutex, and two processes creating it at once end up with
// the same one (the loser of the link discards its copy).
//
// TESSALINE_LOCK_NAME, when set, replaces the mutex's name, so that separate
// simulated setups on one machine (test runs, for instance) do not contend.
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <new>
#include <string>

#include "platform/named_mutex.h"

namespace plat {
namespace {

constexpr const char* kShmDirectory = "/dev/shm";
constexpr std::uint32_t kMagic = 0x4B434C46;  // "FLCK"
constexpr std::uint32_t kLayout = sizeof(pthread_mutex_t);

struct SharedLock {
    std::uint32_t magic;
    std::uint32_t layout;
    pthread_mutex_t mutex;
};

}  // namespace

// This process's mapping of one named mutex: what a MutexHandle holds.
struct MutexObject {
    SharedLock* shared;
};

namespace {

std::string ObjectName(const char* name) {
    const char* override_name = std::getenv("TESSALINE_LOCK_NAME");
    return std::string("/") + (override_name && *override_name ? override_name : name);
}

SharedLock* MapShared(int fd) {
    void* p = mmap(nullptr, sizeof(SharedLock), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return p == MAP_FAILED ? nullptr : static_cast<SharedLock*>(p);
}

// Opens an existing object; nullptr with errno ENOENT when there is none.
SharedLock* OpenExisting(const std::string& object) {
    int fd = shm_open(object.c_str(), O_RDWR | O_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    struct stat st {};
    SharedLock* shared = nullptr;
    if (fstat(fd, &st) == 0 && st.st_size >= static_cast<off_t>(sizeof(SharedLock))) {
        shared = MapShared(fd);
        if (shared && (shared->magic != kMagic || shared->layout != kLayout)) {
            munmap(shared, sizeof(SharedLock));
            shared = nullptr;
        }
    }
    close(fd);
    if (!shared) errno = EINVAL;
    return shared;
}

bool InitialiseMutex(pthread_mutex_t* m) {
    pthread_mutexattr_t attr;
    if (pthread_mutexattr_init(&attr) != 0) return false;
    bool ok = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED) == 0 &&
              pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST) == 0 &&
              pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0 &&
              pthread_mutex_init(m, &attr) == 0;
    pthread_mutexattr_destroy(&attr);
    return ok;
}

// Builds an initialised object under a private name and links it into place.
// Returns the mapped object, or nullptr with errno EEXIST when another
// process won the race (the caller then opens theirs).
SharedLock* CreateNew(const std::string& object) {
    static std::atomic<unsigned> counter{0};
    const std::string temp = object + ".new." + std::to_string(getpid()) + "." + std::to_string(counter++);
    int fd = shm_open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    SharedLock* shared = nullptr;
    if (fchmod(fd, 0666) == 0 && ftruncate(fd, sizeof(SharedLock)) == 0) shared = MapShared(fd);
    close(fd);
    bool ok = shared && InitialiseMutex(&shared->mutex);
    if (ok) {
        shared->layout = kLayout;
        std::atomic_thread_fence(std::memory_order_release);
        shared->magic = kMagic;
        ok = link((kShmDirectory + temp).c_str(), (kShmDirectory + object).c_str()) == 0;
    }
    int saved = errno;
    shm_unlink(temp.c_str());
    if (!ok && shared) {
        munmap(shared, sizeof(SharedLock));
        shared = nullptr;
    }
    errno = saved;
    return shared;
}

SharedLock* FromHandle(const MutexHandle& h) { return h.is_open() ? h.get()->shared : nullptr; }

}  // namespace

MutexHandle OpenNamedMutex(const char* name) {
    if (!name) return MutexHandle();
    const std::string object = ObjectName(name);
    SharedLock* shared = nullptr;
    // Normally one or two rounds; a few more cover an object removed between
    // our failed create and our open.
    for (int round = 0; round < 4 && !shared; ++round) {
        shared = OpenExisting(object);
        if (shared || errno != ENOENT) break;
        shared = CreateNew(object);
        if (!shared && errno != EEXIST) break;
    }
    if (!shared) return MutexHandle();
    auto* obj = new (std::nothrow) MutexObject{shared};
    if (!obj) {
        munmap(shared, sizeof(SharedLock));
        return MutexHandle();
    }
    return MutexHandle(obj);
}

MutexWait WaitNamedMutex(const MutexHandle& mutex, std::uint32_t timeout_ms) {
    SharedLock* shared = FromHandle(mutex);
    if (!shared) return MutexWait::Failed;
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += timeout_ms / 1000;
    deadline.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    int rc;
    do {
        rc = pthread_mutex_clocklock(&shared->mutex, CLOCK_MONOTONIC, &deadline);
    } while (rc == EINTR);
    switch (rc) {
        case 0:
            return MutexWait::Acquired;
        case ETIMEDOUT:
            return MutexWait::TimedOut;
        case EOWNERDEAD:
            // The owner died holding it. We own it now; mark it consistent so
            // that our release makes it usable again for everyone.
            pthread_mutex_consistent(&shared->mutex);
            return MutexWait::Abandoned;
        default:
            return MutexWait::Failed;
    }
}

bool ReleaseNamedMutex(const MutexHandle& mutex) {
    SharedLock* shared = FromHandle(mutex);
    return shared && pthread_mutex_unlock(&shared->mutex) == 0;
}

void MutexTraits::Close(MutexObject* obj) {
    munmap(obj->shared, sizeof(SharedLock));
    delete obj;
}

}  // namespace plat

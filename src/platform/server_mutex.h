// The mutexes of the server's shared tables: one guards the class table, one
// the cached type descriptions. They live as long as the module is loaded.
// (Not to be confused with the module lock count, which decides unloading.)
#ifndef TESSALINE_PLATFORM_SERVER_MUTEX_H
#define TESSALINE_PLATFORM_SERVER_MUTEX_H

namespace plat {

enum class ServerMutex { ClassTable = 0, TypeInfo = 1 };

// Initialises both at module load; false when one cannot be, and the module
// must then refuse to load.
bool InitServerMutexes();
void DeleteServerMutexes();

void LockServerMutex(ServerMutex lock);
void UnlockServerMutex(ServerMutex lock);

class ServerMutexGuard {
public:
    explicit ServerMutexGuard(ServerMutex lock) : lock_(lock) { LockServerMutex(lock_); }
    ~ServerMutexGuard() { UnlockServerMutex(lock_); }
    ServerMutexGuard(const ServerMutexGuard&) = delete;
    ServerMutexGuard& operator=(const ServerMutexGuard&) = delete;

private:
    ServerMutex lock_;
};

}  // namespace plat

#endif

// The module's own locks: one guards the class table, one the cached type
// descriptions. They live as long as the module is loaded.
#ifndef TESSALINE_PLATFORM_MODULE_LOCK_H
#define TESSALINE_PLATFORM_MODULE_LOCK_H

namespace plat {

enum class ModuleLock { ClassTable = 0, TypeInfo = 1 };

// Initialises both at module load; false when one cannot be, and the module
// must then refuse to load.
bool InitModuleLocks();
void DeleteModuleLocks();

void EnterModuleLock(ModuleLock lock);
void LeaveModuleLock(ModuleLock lock);

class ModuleLockGuard {
public:
    explicit ModuleLockGuard(ModuleLock lock) : lock_(lock) { EnterModuleLock(lock_); }
    ~ModuleLockGuard() { LeaveModuleLock(lock_); }
    ModuleLockGuard(const ModuleLockGuard&) = delete;
    ModuleLockGuard& operator=(const ModuleLockGuard&) = delete;

private:
    ModuleLock lock_;
};

}  // namespace plat

#endif

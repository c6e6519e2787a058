// The class table, the class objects and the exports DllGetClassObject and
// DllCanUnloadNow.
#include "server/class_table.h"

#include <atomic>
#include <new>

#include "platform/server_mutex.h"
#include "server/module_lock_count.h"
#include "server/usbews.h"
#include "server/usbfax.h"

namespace {

// A class object: IUnknown and IClassFactory. Its count changes atomically,
// since clients on any thread may hold it. The class table keeps one
// reference of its own, which must not keep the module loaded, so the module
// lock count follows the clients' references only: up when the count goes
// from 1 to 2, down when it comes back to 1.
class CClassFactory final : public IClassFactory {
public:
    using Creator = HRESULT (*)(IUnknown* outer, REFIID riid, void** ppvObject);
    explicit CClassFactory(Creator create) : create_(create) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override {
        if (!ppvObject) return E_POINTER;
        if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IClassFactory)) {
            *ppvObject = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *ppvObject = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override {
        const ULONG now = ++refs_;
        if (now == 2) ModuleAddLock();
        return now;
    }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG now = --refs_;
        if (now == 1) ModuleReleaseLock();
        if (now == 0) delete this;
        return now;
    }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) override {
        if (!ppvObject) return E_POINTER;
        *ppvObject = nullptr;
        // An aggregated object can only be handed out as its inner IUnknown.
        if (pUnkOuter && !IsEqualGUID(riid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
        return create_(pUnkOuter, riid, ppvObject);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) override {
        if (fLock) {
            ModuleAddLock();
        } else {
            ModuleReleaseLock();
        }
        return S_OK;
    }

private:
    Creator create_;
    std::atomic<ULONG> refs_{1};  // the class table's reference
};

struct ClassEntry {
    const CLSID* clsid;
    CClassFactory::Creator create;
    IClassFactory* factory;  // created on first request, kept until unload
};

// Registration and class-object lookup walk the table in this order.
ClassEntry g_classes[] = {
    {&CLSID_IUSBEWS, &CreateAutomationObject<CIUSBEWS>, nullptr},
    {&CLSID_USBFAX, &CreateAutomationObject<CUSBFAX>, nullptr},
};

}  // namespace

void ReleaseClassObjects() {
    for (ClassEntry& entry : g_classes) {
        if (entry.factory) entry.factory->Release();
        entry.factory = nullptr;
    }
}

extern "C" TSL_API_EXPORT HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    ClassEntry* entry = nullptr;
    for (ClassEntry& candidate : g_classes) {
        if (IsEqualGUID(rclsid, *candidate.clsid)) {
            entry = &candidate;
            break;
        }
    }
    if (!entry) return CLASS_E_CLASSNOTAVAILABLE;
    {
        // Two threads asking at once get the same class object.
        plat::ServerMutexGuard guard(plat::ServerMutex::ClassTable);
        if (!entry->factory) entry->factory = new (std::nothrow) CClassFactory(entry->create);
        if (!entry->factory) return E_OUTOFMEMORY;
    }
    HRESULT hr = entry->factory->QueryInterface(riid, ppv);
    if (SUCCEEDED(hr) && !*ppv) return CLASS_E_CLASSNOTAVAILABLE;
    return hr;
}

extern "C" TSL_API_EXPORT HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    return ModuleLockCount() == 0 ? S_OK : S_FALSE;
}

const CLSID* ClassTableEntry(int index) {
    if (index < 0 || index >= static_cast<int>(sizeof(g_classes) / sizeof(g_classes[0]))) return nullptr;
    return g_classes[index].clsid;
}

// The machinery shared by the two automation objects: reference counting,
// QueryInterface, IDispatch, and the aggregated form.
//
// An object counts its references on its own (it is apartment-threaded, so
// the count is a plain integer) unless it is aggregated: then its interface's
// QueryInterface, AddRef and Release go to the outer object, and the
// AggregatedObject wrapper around it provides the inner, non-delegating
// IUnknown with a count of its own. Each live object, plain or aggregated,
// holds one module lock.
#ifndef TESSALINE_SERVER_COM_OBJECT_H
#define TESSALINE_SERVER_COM_OBJECT_H

#include <new>

#include <tessaline/tessaline.h>

#include "server/dispatch.h"
#include "server/module_lock_count.h"

template <class Derived, class Interface, DispatchInterface Which>
class AutomationObject : public Interface {
public:
    AutomationObject(const AutomationObject&) = delete;
    AutomationObject& operator=(const AutomationObject&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override {
        return outer_ ? outer_->QueryInterface(riid, ppvObject) : InternalQueryInterface(riid, ppvObject);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return outer_ ? outer_->AddRef() : ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        if (outer_) return outer_->Release();
        const ULONG left = --refs_;
        if (left == 0) delete static_cast<Derived*>(this);
        return left;
    }

    // IUnknown, the object's interface and IDispatch all give the same
    // pointer, with one reference added.
    HRESULT InternalQueryInterface(REFIID riid, void** ppvObject) {
        if (!ppvObject) return E_POINTER;
        if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, Derived::InterfaceId()) ||
            IsEqualGUID(riid, IID_IDispatch)) {
            *ppvObject = static_cast<Interface*>(this);
            this->AddRef();
            return S_OK;
        }
        *ppvObject = nullptr;
        return E_NOINTERFACE;
    }

    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) override { return DispatchGetTypeInfoCount(pctinfo); }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override {
        return DispatchGetTypeInfo(Which, iTInfo, lcid, ppTInfo);
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                                            DISPID* rgDispId) override {
        return DispatchGetIDsOfNames(Which, riid, rgszNames, cNames, lcid, rgDispId);
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                                     DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                                     UINT* puArgErr) override {
        return DispatchInvoke(Which, this, dispIdMember, riid, lcid, wFlags, pDispParams, pVarResult, pExcepInfo,
                              puArgErr);
    }

protected:
    explicit AutomationObject(IUnknown* outer) : outer_(outer) { ModuleAddLock(); }
    ~AutomationObject() { ModuleReleaseLock(); }

private:
    IUnknown* outer_;
    ULONG refs_ = 0;
};

// The aggregated form: the inner IUnknown that the outer object holds.
template <class Object>
class AggregatedObject final : public IUnknown {
public:
    explicit AggregatedObject(IUnknown* outer) : object_(outer) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override {
        if (!ppvObject) return E_POINTER;
        if (IsEqualGUID(riid, IID_IUnknown)) {
            *ppvObject = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        return object_.InternalQueryInterface(riid, ppvObject);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }

    Object& object() { return object_; }

private:
    Object object_;
    ULONG refs_ = 0;
};

// Creates an object for a class object's CreateInstance: plain when `outer`
// is null, aggregated inside it otherwise (then only IUnknown may be asked
// for). The object starts with no reference; the request for `riid` adds the
// first, and a failed request destroys it at once.
template <class Object>
HRESULT CreateAutomationObject(IUnknown* outer, REFIID riid, void** ppvObject) {
    if (outer) {
        auto* wrapper = new (std::nothrow) AggregatedObject<Object>(outer);
        if (!wrapper) return E_OUTOFMEMORY;
        if (!wrapper->object().Usable()) {
            delete wrapper;
            return E_OUTOFMEMORY;
        }
        HRESULT hr = wrapper->QueryInterface(riid, ppvObject);
        if (FAILED(hr)) delete wrapper;
        return hr;
    }
    auto* object = new (std::nothrow) Object(nullptr);
    if (!object) return E_OUTOFMEMORY;
    if (!object->Usable()) {
        delete object;
        return E_OUTOFMEMORY;
    }
    HRESULT hr = object->InternalQueryInterface(riid, ppvObject);
    if (FAILED(hr)) delete object;
    return hr;
}

#endif

// Small helpers for tests that drive the automation objects as a host would.
#ifndef TESSALINE_TESTS_COM_HELPERS_H
#define TESSALINE_TESTS_COM_HELPERS_H

#include <tessaline/tessaline.h>

// Owns one reference.
template <class T>
class Ref {
public:
    Ref() = default;
    explicit Ref(T* p) : p_(p) {}
    ~Ref() { reset(); }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    void reset() {
        if (p_) p_->Release();
        p_ = nullptr;
    }
    void** out() {
        reset();
        return reinterpret_cast<void**>(&p_);
    }

private:
    T* p_ = nullptr;
};

// Creates an object of `clsid` through its class object, as a host does.
template <class T>
HRESULT CreateObject(REFCLSID clsid, REFIID iid, Ref<T>& out) {
    Ref<IClassFactory> factory;
    HRESULT hr = DllGetClassObject(clsid, IID_IClassFactory, factory.out());
    if (FAILED(hr)) return hr;
    return factory->CreateInstance(nullptr, iid, out.out());
}

#endif

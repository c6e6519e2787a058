// A host's reference to an interface of the automation objects: one holder,
// shared by the command-line tool and the tests, that releases its reference
// once when it goes and is moved but never copied. And the creation of an
// object through its class object, as every host does it.
#ifndef TESSALINE_TOOLS_COM_REF_H
#define TESSALINE_TOOLS_COM_REF_H

#include <tessaline/tessaline.h>

#include <utility>

// Owns one reference.
template <class T>
class Ref {
public:
    Ref() = default;
    explicit Ref(T* p) : p_(p) {}
    ~Ref() { reset(); }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            reset();
            p_ = std::exchange(other.p_, nullptr);
        }
        return *this;
    }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    void reset() {
        if (p_) p_->Release();
        p_ = nullptr;
    }
    // For an out parameter: drops the reference held, then gives the slot.
    void** out() {
        reset();
        return reinterpret_cast<void**>(&p_);
    }

private:
    T* p_ = nullptr;
};

// Creates an object of `clsid` through the class object `get_class_object`
// gives (DllGetClassObject, or the address a loader returned for it).
template <class T, class GetClassObject>
HRESULT CreateObjectWith(GetClassObject get_class_object, REFCLSID clsid, REFIID iid, Ref<T>& out) {
    Ref<IClassFactory> factory;
    HRESULT hr = get_class_object(clsid, IID_IClassFactory, factory.out());
    if (FAILED(hr)) return hr;
    return factory->CreateInstance(nullptr, iid, out.out());
}

// Creates an object of `clsid` through the library's DllGetClassObject.
template <class T>
HRESULT CreateObject(REFCLSID clsid, REFIID iid, Ref<T>& out) {
    return CreateObjectWith(DllGetClassObject, clsid, iid, out);
}

#endif

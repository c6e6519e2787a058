// The class objects, the module lock count and the aggregated form.
#include <gtest/gtest.h>

#include "tools/com_ref.h"
#include "sim_fixture.h"

namespace {

// An outer object for aggregation that counts the references it is given.
struct Outer : IUnknown {
    ULONG refs = 1;
    int queries = 0;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
        ++queries;
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
};

class ModuleTest : public IsolatedTest {};

TEST_F(ModuleTest, ClassObjectsAreOnePerClassAndAnswerOnlyTheirInterfaces) {
    Ref<IClassFactory> a, b;
    ASSERT_EQ(DllGetClassObject(CLSID_USBFAX, IID_IClassFactory, a.out()), S_OK);
    ASSERT_EQ(DllGetClassObject(CLSID_USBFAX, IID_IUnknown, b.out()), S_OK);
    EXPECT_EQ(static_cast<void*>(a.get()), static_cast<void*>(b.get()));

    Ref<IClassFactory> ews;
    ASSERT_EQ(DllGetClassObject(CLSID_IUSBEWS, IID_IClassFactory, ews.out()), S_OK);
    EXPECT_NE(static_cast<void*>(ews.get()), static_cast<void*>(a.get()));

    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(DllGetClassObject(IID_IUSBFAX, IID_IClassFactory, &p), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(DllGetClassObject(IID_IUSBFAX, IID_IUSBFAX, &p), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(DllGetClassObject(CLSID_USBFAX, IID_IClassFactory, nullptr), E_POINTER);
    EXPECT_EQ(DllGetClassObject(CLSID_USBFAX, IID_IUSBFAX, &p), E_NOINTERFACE);
}

TEST_F(ModuleTest, CreateInstanceResults) {
    for (const CLSID* clsid : {&CLSID_USBFAX, &CLSID_IUSBEWS}) {
        Ref<IClassFactory> factory;
        ASSERT_EQ(DllGetClassObject(*clsid, IID_IClassFactory, factory.out()), S_OK);
        EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);

        Outer outer;
        void* p = reinterpret_cast<void*>(1);
        const IID& own = clsid == &CLSID_USBFAX ? IID_IUSBFAX : IID_IIUSBEWS;
        EXPECT_EQ(factory->CreateInstance(&outer, own, &p), CLASS_E_NOAGGREGATION);
        EXPECT_EQ(p, nullptr);

        // A failed request destroys the new object at once.
        EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, &p), E_NOINTERFACE);
        EXPECT_EQ(p, nullptr);
        factory.reset();
        EXPECT_EQ(DllCanUnloadNow(), S_OK);
    }
}

TEST_F(ModuleTest, CanUnloadOnlyWhenNothingHoldsTheModule) {
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
    {
        Ref<IClassFactory> factory;
        ASSERT_EQ(DllGetClassObject(CLSID_USBFAX, IID_IClassFactory, factory.out()), S_OK);
        EXPECT_EQ(DllCanUnloadNow(), S_FALSE);  // a client holds a class object

        Ref<IUSBFAX> fax;
        ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUSBFAX, fax.out()), S_OK);
        factory.reset();
        EXPECT_EQ(DllCanUnloadNow(), S_FALSE);  // an object lives
    }
    EXPECT_EQ(DllCanUnloadNow(), S_OK);  // the class table still holds its class objects

    Ref<IClassFactory> factory;
    ASSERT_EQ(DllGetClassObject(CLSID_IUSBEWS, IID_IClassFactory, factory.out()), S_OK);
    EXPECT_EQ(factory->LockServer(1), S_OK);
    factory.reset();
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);  // an outstanding LockServer(TRUE)
    ASSERT_EQ(DllGetClassObject(CLSID_IUSBEWS, IID_IClassFactory, factory.out()), S_OK);
    EXPECT_EQ(factory->LockServer(0), S_OK);
    factory.reset();
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

TEST_F(ModuleTest, AggregatedObjectDelegatesItsInterfaceToTheOuter) {
    for (const CLSID* clsid : {&CLSID_USBFAX, &CLSID_IUSBEWS}) {
        const IID& own = clsid == &CLSID_USBFAX ? IID_IUSBFAX : IID_IIUSBEWS;
        Ref<IClassFactory> factory;
        ASSERT_EQ(DllGetClassObject(*clsid, IID_IClassFactory, factory.out()), S_OK);
        Outer outer;
        IUnknown* inner = nullptr;
        ASSERT_EQ(factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&inner)), S_OK);
        EXPECT_EQ(outer.refs, 1u);  // the inner object holds no reference on the outer
        factory.reset();
        EXPECT_EQ(DllCanUnloadNow(), S_FALSE);

        // The inner IUnknown answers for itself...
        IUnknown* same = nullptr;
        ASSERT_EQ(inner->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&same)), S_OK);
        EXPECT_EQ(same, inner);
        EXPECT_EQ(inner->Release(), 1u);

        // ...and hands out the interface, whose IUnknown is the outer's.
        IDispatch* iface = nullptr;
        ASSERT_EQ(inner->QueryInterface(own, reinterpret_cast<void**>(&iface)), S_OK);
        EXPECT_NE(static_cast<void*>(iface), static_cast<void*>(inner));
        EXPECT_EQ(outer.refs, 2u);  // the reference went to the outer object
        IDispatch* dispatch = nullptr;
        ASSERT_EQ(inner->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)), S_OK);
        EXPECT_EQ(dispatch, iface);
        EXPECT_EQ(outer.refs, 3u);
        void* p = nullptr;
        EXPECT_EQ(iface->QueryInterface(IID_IUnknown, &p), E_NOINTERFACE);  // asked of the outer
        EXPECT_EQ(outer.queries, 1);
        iface->Release();
        dispatch->Release();
        EXPECT_EQ(outer.refs, 1u);

        EXPECT_EQ(inner->Release(), 0u);
        EXPECT_EQ(DllCanUnloadNow(), S_OK);
    }
}

}  // namespace

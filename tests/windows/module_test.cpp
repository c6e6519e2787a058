// The module as a host sees it: class objects, the lock count that decides
// unloading, object identity and aggregation, and IDispatch answered from the
// registered type library.
#include "win_fixture.h"

#include <oleauto.h>

#include <cwchar>
#include <string>
#include <vector>


namespace {

// A minimal outer object for aggregation: it counts its references and
// answers IUnknown only.
class Outer final : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (IsEqualGUID(riid, IID_IUnknown)) {
            *ppv = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    ULONG refs = 1;
};

TEST_F(ModuleTest, ClassObjectsAreOnePerClass) {
    Ref<IClassFactory> first, second, ews;
    ASSERT_EQ(GetClassObject(CLSID_USBFAX, IID_IClassFactory, first.out()), S_OK);
    ASSERT_EQ(GetClassObject(CLSID_USBFAX, IID_IClassFactory, second.out()), S_OK);
    EXPECT_EQ(first.get(), second.get());
    ASSERT_EQ(GetClassObject(CLSID_IUSBEWS, IID_IClassFactory, ews.out()), S_OK);
    EXPECT_NE(ews.get(), first.get());

    Ref<IUnknown> unknown;
    ASSERT_EQ(GetClassObject(CLSID_USBFAX, IID_IUnknown, unknown.out()), S_OK);
    EXPECT_EQ(unknown.get(), static_cast<IUnknown*>(first.get()));
}

TEST_F(ModuleTest, ClassObjectRequestErrors) {
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(GetClassObject(CLSID_USBFAX, IID_IClassFactory, nullptr), E_POINTER);
    // An identity that is not in the class table, whatever is asked of it.
    EXPECT_EQ(GetClassObject(IID_IUSBFAX, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(out, nullptr);
    out = reinterpret_cast<void*>(1);
    EXPECT_EQ(GetClassObject(GUID_NULL, IID_IUnknown, &out), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(out, nullptr);
    // A class object answers IUnknown and IClassFactory only.
    out = reinterpret_cast<void*>(1);
    EXPECT_EQ(GetClassObject(CLSID_USBFAX, IID_IDispatch, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
}

TEST_F(ModuleTest, CanUnloadOnlyWhenNothingHoldsTheModule) {
    EXPECT_EQ(CanUnloadNow(), S_OK);
    {
        Ref<IUSBFAX> fax;
        ASSERT_EQ(Create(CLSID_USBFAX, IID_IUSBFAX, fax), S_OK);
        EXPECT_EQ(CanUnloadNow(), S_FALSE) << "a live object";
    }
    EXPECT_EQ(CanUnloadNow(), S_OK);

    Ref<IClassFactory> factory;
    ASSERT_EQ(GetClassObject(CLSID_IUSBEWS, IID_IClassFactory, factory.out()), S_OK);
    EXPECT_EQ(CanUnloadNow(), S_FALSE) << "a class object held by a client";
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    factory.reset();
    EXPECT_EQ(CanUnloadNow(), S_FALSE) << "LockServer(TRUE) outstanding";
    ASSERT_EQ(GetClassObject(CLSID_IUSBEWS, IID_IClassFactory, factory.out()), S_OK);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    factory.reset();
    // The class table still holds both class objects.
    EXPECT_EQ(CanUnloadNow(), S_OK);
}

TEST_F(ModuleTest, CreateInstanceErrors) {
    for (const CLSID* clsid : {&CLSID_USBFAX, &CLSID_IUSBEWS}) {
        Ref<IClassFactory> factory;
        ASSERT_EQ(GetClassObject(*clsid, IID_IClassFactory, factory.out()), S_OK);
        Outer outer;
        void* out = reinterpret_cast<void*>(1);
        EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);
        EXPECT_EQ(factory->CreateInstance(&outer, IID_IUSBFAX, &out), CLASS_E_NOAGGREGATION);
        EXPECT_EQ(out, nullptr);
        out = reinterpret_cast<void*>(1);
        EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, &out), E_NOINTERFACE);
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(outer.refs, 1u);
    }
    EXPECT_EQ(CanUnloadNow(), S_OK) << "a failed creation leaves no object behind";
}

TEST_F(ModuleTest, QueryInterfaceGivesOnePointerForItsThreeInterfaces) {
    struct Case {
        const CLSID* clsid;
        const IID* iid;
    };
    for (const Case& c : {Case{&CLSID_USBFAX, &IID_IUSBFAX}, Case{&CLSID_IUSBEWS, &IID_IIUSBEWS}}) {
        Ref<IUnknown> object;
        ASSERT_EQ(Create(*c.clsid, IID_IUnknown, object), S_OK);
        for (const IID* iid : {&IID_IUnknown, c.iid, &IID_IDispatch}) {
            void* p = nullptr;
            ASSERT_EQ(object->QueryInterface(*iid, &p), S_OK);
            EXPECT_EQ(p, object.get());
            static_cast<IUnknown*>(p)->Release();
        }
        void* p = reinterpret_cast<void*>(1);
        EXPECT_EQ(object->QueryInterface(IID_IClassFactory, &p), E_NOINTERFACE);
        EXPECT_EQ(p, nullptr);
        EXPECT_EQ(object->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
        // The reference count is the object's own.
        EXPECT_EQ(object->AddRef(), 2u);
        EXPECT_EQ(object->Release(), 1u);
    }
}

TEST_F(ModuleTest, AggregatedObjectDelegatesToItsOuter) {
    Ref<IClassFactory> factory;
    ASSERT_EQ(GetClassObject(CLSID_USBFAX, IID_IClassFactory, factory.out()), S_OK);
    Outer outer;
    IUnknown* inner = nullptr;
    ASSERT_EQ(factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&inner)), S_OK);
    ASSERT_NE(inner, nullptr);
    EXPECT_NE(inner, static_cast<IUnknown*>(&outer));
    EXPECT_EQ(CanUnloadNow(), S_FALSE);

    // The inner IUnknown answers for itself and hands out the interface.
    IUnknown* again = nullptr;
    ASSERT_EQ(inner->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&again)), S_OK);
    EXPECT_EQ(again, inner);
    again->Release();
    IUSBFAX* fax = nullptr;
    ASSERT_EQ(inner->QueryInterface(IID_IUSBFAX, reinterpret_cast<void**>(&fax)), S_OK);
    // Through the interface, references and identity are the outer's.
    EXPECT_EQ(outer.refs, 2u);
    IUnknown* identity = nullptr;
    ASSERT_EQ(fax->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
    EXPECT_EQ(identity, static_cast<IUnknown*>(&outer));
    identity->Release();
    fax->Release();
    EXPECT_EQ(outer.refs, 1u);

    EXPECT_EQ(inner->Release(), 0u);
    factory.reset();
    EXPECT_EQ(CanUnloadNow(), S_OK);
}

// IDispatch, answered from the registered type library (the test run
// registers the DLL before it starts).
class DispatchTest : public ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        ASSERT_EQ(Create(CLSID_USBFAX, IID_IDispatch, fax_), S_OK);
        ASSERT_EQ(Create(CLSID_IUSBEWS, IID_IDispatch, ews_), S_OK);
    }
    void TearDown() override {
        fax_.reset();
        ews_.reset();
        ModuleTest::TearDown();
    }
    static HRESULT IdOf(IDispatch* d, const wchar_t* name, DISPID* id, LCID lcid = 0x409) {
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        return d->GetIDsOfNames(IID_NULL, names, 1, lcid, id);
    }
    // Invokes a method whose only argument is its [out,retval] status.
    static HRESULT InvokeStatusOnly(IDispatch* d, DISPID id, VARIANT* result) {
        DISPPARAMS none{};
        VariantInit(result);
        return d->Invoke(id, IID_NULL, 0x409, DISPATCH_METHOD, &none, result, nullptr, nullptr);
    }

    Ref<IDispatch> fax_;
    Ref<IDispatch> ews_;
};

TEST_F(DispatchTest, TypeInfoIsTheInterfaceDescriptionWhateverTheIndex) {
    UINT count = 0;
    EXPECT_EQ(fax_->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(fax_->GetTypeInfoCount(nullptr), E_POINTER);
    EXPECT_EQ(fax_->GetTypeInfo(0, 0x409, nullptr), E_POINTER);

    struct Case {
        IDispatch* object;
        const wchar_t* name;
    };
    for (const Case& c : {Case{fax_.get(), L"IUSBFAX"}, Case{ews_.get(), L"IIUSBEWS"}}) {
        Ref<ITypeInfo> first, other;
        ASSERT_EQ(c.object->GetTypeInfo(0, 0x409, reinterpret_cast<ITypeInfo**>(first.out())), S_OK);
        ASSERT_EQ(c.object->GetTypeInfo(7, 0x409, reinterpret_cast<ITypeInfo**>(other.out())), S_OK);
        EXPECT_EQ(first.get(), other.get());
        BSTR name = nullptr;
        ASSERT_EQ(first->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr), S_OK);
        EXPECT_STREQ(name, c.name);
        SysFreeString(name);
    }
}

TEST_F(DispatchTest, NamesMapToTheirDispids) {
    struct Case {
        IDispatch* object;
        const wchar_t* name;
        HRESULT hr;
        DISPID id;
    };
    const Case cases[] = {
        {fax_.get(), L"SendFax", S_OK, 5},
        {fax_.get(), L"sendfax", S_OK, 5},  // the description's own lookup ignores case
        {fax_.get(), L"WaitForReceivedFax", S_OK, 6},
        {fax_.get(), L"CheckForReceivedFax", DISP_E_UNKNOWNNAME, DISPID_UNKNOWN},  // a help string only
        {fax_.get(), L"SaveFaxSettings", S_OK, 1},
        {fax_.get(), L"CancelIO", S_OK, 13},
        {ews_.get(), L"OpenEWS", S_OK, 1},
        {ews_.get(), L"writeews", S_OK, 4},
        {ews_.get(), L"SendFax", DISP_E_UNKNOWNNAME, DISPID_UNKNOWN},
    };
    for (const Case& c : cases) {
        DISPID id = 12345;
        EXPECT_EQ(IdOf(c.object, c.name, &id), c.hr) << ::testing::PrintToString(std::wstring(c.name));
        if (c.hr == S_OK) {
            EXPECT_EQ(id, c.id);
        }
    }

    // Several names at once: the method and its parameters.
    LPOLESTR names[] = {const_cast<LPOLESTR>(L"SendFax"), const_cast<LPOLESTR>(L"ulNumbers")};
    DISPID ids[2] = {};
    ASSERT_EQ(fax_->GetIDsOfNames(IID_NULL, names, 2, 0x409, ids), S_OK);
    EXPECT_EQ(ids[0], 5);
    EXPECT_EQ(ids[1], 1);
}

TEST_F(DispatchTest, CallersOfAnyLocaleGetTheDescription) {
    // The library is registered for 0x409 only; script hosts pass 0.
    for (LCID lcid : {LCID{0}, LCID{0x407}, LCID{LOCALE_USER_DEFAULT}}) {
        DISPID id = 0;
        EXPECT_EQ(IdOf(fax_.get(), L"GetReceivedFaxCount", &id, lcid), S_OK) << std::hex << lcid;
        EXPECT_EQ(id, 7);
    }
}

TEST_F(DispatchTest, InvokeCallsTheMethod) {
    SetEnv("TESSALINE_FAX_DEVICE", nullptr);
    SetEnv("TESSALINE_EWS_DEVICE", nullptr);
    CapturedStdout out;
    VARIANT result;
    ASSERT_EQ(InvokeStatusOnly(fax_.get(), 13, &result), S_OK);  // CancelIO
    EXPECT_EQ(V_VT(&result), VT_I4);
    EXPECT_EQ(V_I4(&result), FAXSTATUS_NULLPOINTER);  // no device to cancel on
    ASSERT_EQ(InvokeStatusOnly(ews_.get(), 2, &result), S_OK);  // CloseEWS
    EXPECT_EQ(V_I4(&result), FAXSTATUS_OK);

    // A by-reference argument: GetFaxReceiveSettings stores through it.
    ULONG value = 0xDEADBEEF;
    VARIANT arg;
    VariantInit(&arg);
    V_VT(&arg) = VT_BYREF | VT_UI4;
    V_UI4REF(&arg) = &value;
    DISPPARAMS params{&arg, nullptr, 1, 0};
    VariantInit(&result);
    ASSERT_EQ(fax_->Invoke(12, IID_NULL, 0x409, DISPATCH_METHOD, &params, &result, nullptr, nullptr), S_OK);
    EXPECT_EQ(V_I4(&result), FAXSTATUS_NO_DEVICE);
    EXPECT_EQ(value, 0u) << "written also on failure";
}

TEST_F(DispatchTest, WithoutTheRegisteredLibraryOnlyDirectCallsWork) {
    const SYSKIND own = sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32;
    ASSERT_EQ(UnRegisterTypeLib(LIBID_TessalineLib, 1, 0, 0x409, own), S_OK);

    ITypeInfo* info = nullptr;
    EXPECT_EQ(fax_->GetTypeInfo(0, 0x409, &info), TYPE_E_LIBNOTREGISTERED);
    DISPID id = 0;
    EXPECT_EQ(IdOf(fax_.get(), L"SendFax", &id), TYPE_E_LIBNOTREGISTERED);
    VARIANT result;
    EXPECT_EQ(InvokeStatusOnly(ews_.get(), 2, &result), TYPE_E_LIBNOTREGISTERED);

    IIUSBEWS* ews = nullptr;
    ASSERT_EQ(ews_->QueryInterface(IID_IIUSBEWS, reinterpret_cast<void**>(&ews)), S_OK);
    FAXSTATUS status = FAXSTATUS_BUSY;
    EXPECT_EQ(ews->CloseEWS(&status), S_OK);
    EXPECT_EQ(status, FAXSTATUS_OK);
    ews->Release();

    // Registered again, a later load finds it (this module keeps no failure).
    EXPECT_EQ(RegisterServer(), S_OK);
    EXPECT_EQ(fax_->GetTypeInfo(0, 0x409, &info), S_OK);
    if (info) info->Release();
}

// The type library embedded in the module, read from the file itself.
class TypeLibraryTest : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t path[MAX_PATH];
        MultiByteToWideChar(CP_ACP, 0, TessalinePath().c_str(), -1, path, MAX_PATH);
        ASSERT_EQ(LoadTypeLibEx(path, REGKIND_NONE, reinterpret_cast<ITypeLib**>(library_.out())), S_OK);
    }
    std::wstring Name(ITypeInfo* info, MEMBERID id = MEMBERID_NIL, std::wstring* help = nullptr) {
        BSTR name = nullptr, doc = nullptr;
        info->GetDocumentation(id, &name, &doc, nullptr, nullptr);
        std::wstring out = name ? name : L"";
        if (help) *help = doc ? doc : L"";
        SysFreeString(name);
        SysFreeString(doc);
        return out;
    }
    Ref<ITypeLib> library_;
};

TEST_F(TypeLibraryTest, LibraryIdentity) {
    TLIBATTR* attr = nullptr;
    ASSERT_EQ(library_->GetLibAttr(&attr), S_OK);
    EXPECT_TRUE(IsEqualGUID(attr->guid, LIBID_TessalineLib));
    EXPECT_EQ(attr->wMajorVerNum, 1);
    EXPECT_EQ(attr->wMinorVerNum, 0);
    EXPECT_EQ(attr->lcid, 0x409u);
    library_->ReleaseTLibAttr(attr);
    BSTR name = nullptr, help = nullptr;
    ASSERT_EQ(library_->GetDocumentation(-1, &name, &help, nullptr, nullptr), S_OK);
    EXPECT_STREQ(name, L"TessalineLib");
    EXPECT_STREQ(help, L"Tessaline 1.0 Type Library");
    SysFreeString(name);
    SysFreeString(help);
}

// Exactly the thirteen declared entries in their order. The ring-pattern and
// answer-mode enumerations and the time record are entries of their own kind
// without names of their own (no alias entry, no FAX_RING_PATTERN and the
// like), placed after the record whose field first uses them.
TEST_F(TypeLibraryTest, ExactlyTheDeclaredEntriesInOrder) {
    struct Entry {
        const wchar_t* name;  // null: held without a name of its own
        TYPEKIND kind;
        const wchar_t* help;
        UINT members;  // methods or fields; 0: not checked
    };
    const Entry entries[] = {
        {L"USBFAX", TKIND_COCLASS, L"USBFAX Class", 0},
        {L"IUSBFAX", TKIND_DISPATCH, L"IUSBFAX Interface", 0},
        {L"DEFAULT_FAX_SETTINGS", TKIND_RECORD, L"", 11},
        {nullptr, TKIND_ENUM, L"", 5},  // ring pattern
        {nullptr, TKIND_ENUM, L"", 4},  // answer mode
        {L"FAXSTATUS", TKIND_ENUM, L"", 12},
        {L"FAX_RECIPIENT", TKIND_RECORD, L"", 2},
        {L"FAX_STATUS_ENUM", TKIND_ENUM, L"", 5},
        {L"FAX_FILENAME", TKIND_RECORD, L"", 1},
        {L"FAX_LOG_ENTRY", TKIND_RECORD, L"", 8},
        {nullptr, TKIND_RECORD, L"", 7},  // time
        {L"IUSBEWS", TKIND_COCLASS, L"IUSBEWS Class", 0},
        {L"IIUSBEWS", TKIND_DISPATCH, L"IIUSBEWS Interface", 0},
    };
    const std::wstring undeclared[] = {L"FAX_RING_PATTERN", L"FAX_ANSWER_MODE", L"FAX_TIME"};
    ASSERT_EQ(library_->GetTypeInfoCount(), std::size(entries));
    for (UINT i = 0; i < std::size(entries); ++i) {
        Ref<ITypeInfo> info;
        ASSERT_EQ(library_->GetTypeInfo(i, reinterpret_cast<ITypeInfo**>(info.out())), S_OK);
        TYPEATTR* attr = nullptr;
        ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
        const TYPEKIND kind = attr->typekind;
        const UINT members = kind == TKIND_DISPATCH ? attr->cFuncs : attr->cVars;
        info->ReleaseTypeAttr(attr);
        std::wstring help;
        const std::wstring name = Name(info.get(), MEMBERID_NIL, &help);
        SCOPED_TRACE(::testing::Message() << "entry " << i << " " << ::testing::PrintToString(name));
        if (entries[i].name) {
            EXPECT_EQ(name, entries[i].name);
        } else {
            for (const std::wstring& u : undeclared) EXPECT_NE(name, u);
        }
        EXPECT_EQ(kind, entries[i].kind);
        EXPECT_EQ(help, entries[i].help);
        if (entries[i].members) {
            EXPECT_EQ(members, entries[i].members);
        }
    }
    for (std::wstring u : undeclared) {
        BOOL found = TRUE;
        EXPECT_EQ(library_->IsName(u.data(), 0, &found), S_OK);
        EXPECT_FALSE(found) << ::testing::PrintToString(u);
    }
}

// The fields that use the unnamed types are typed by them directly: the
// enumeration or record entry itself, not an alias of it.
TEST_F(TypeLibraryTest, FieldsAreTypedByTheUnnamedTypesDirectly) {
    struct Field {
        const wchar_t* record;
        const wchar_t* field;
        UINT entry;  // index of the entry that types it
        TYPEKIND kind;
        ULONG size;
    };
    const Field fields[] = {
        {L"DEFAULT_FAX_SETTINGS", L"RingPattern", 3, TKIND_ENUM, 4},
        {L"DEFAULT_FAX_SETTINGS", L"AutoAnswer", 4, TKIND_ENUM, 4},
        {L"FAX_LOG_ENTRY", L"SendTime", 10, TKIND_RECORD, 7},
    };
    for (const Field& f : fields) {
        SCOPED_TRACE(::testing::PrintToString(std::wstring(f.field)));
        Ref<ITypeInfo> record;
        MEMBERID id = 0;
        USHORT found = 1;
        std::wstring record_name = f.record;
        ASSERT_EQ(library_->FindName(record_name.data(), 0, reinterpret_cast<ITypeInfo**>(record.out()), &id, &found),
                  S_OK);
        ASSERT_EQ(found, 1);
        TYPEATTR* attr = nullptr;
        ASSERT_EQ(record->GetTypeAttr(&attr), S_OK);
        const UINT count = attr->cVars;
        record->ReleaseTypeAttr(attr);
        bool seen = false;
        for (UINT v = 0; v < count; ++v) {
            VARDESC* var = nullptr;
            ASSERT_EQ(record->GetVarDesc(v, &var), S_OK);
            const TYPEDESC type = var->elemdescVar.tdesc;
            const MEMBERID memid = var->memid;
            record->ReleaseVarDesc(var);
            if (Name(record.get(), memid) != f.field) continue;
            seen = true;
            ASSERT_EQ(type.vt, VT_USERDEFINED);
            Ref<ITypeInfo> used, entry;
            ASSERT_EQ(record->GetRefTypeInfo(type.hreftype, reinterpret_cast<ITypeInfo**>(used.out())), S_OK);
            ASSERT_EQ(used->GetTypeAttr(&attr), S_OK);
            EXPECT_EQ(attr->typekind, f.kind);
            EXPECT_EQ(attr->cbSizeInstance, f.size);
            used->ReleaseTypeAttr(attr);
            ASSERT_EQ(library_->GetTypeInfo(f.entry, reinterpret_cast<ITypeInfo**>(entry.out())), S_OK);
            EXPECT_EQ(Name(used.get()), Name(entry.get()));
        }
        EXPECT_TRUE(seen);
    }
}

TEST_F(TypeLibraryTest, RecordsHaveTheCallersLayouts) {
    struct Record {
        const wchar_t* name;
        ULONG size;
    };
    for (const Record& r : {Record{L"DEFAULT_FAX_SETTINGS", 308}, Record{L"FAX_RECIPIENT", 64},
                            Record{L"FAX_FILENAME", 64}, Record{L"FAX_LOG_ENTRY", 80}}) {
        ITypeInfo* info = nullptr;
        MEMBERID id = 0;
        USHORT found = 1;
        ASSERT_EQ(library_->FindName(const_cast<LPOLESTR>(r.name), 0, &info, &id, &found), S_OK);
        ASSERT_EQ(found, 1);
        TYPEATTR* attr = nullptr;
        ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
        EXPECT_EQ(attr->cbSizeInstance, r.size) << ::testing::PrintToString(std::wstring(r.name));
        info->ReleaseTypeAttr(attr);
        info->Release();
    }
}

TEST_F(TypeLibraryTest, MethodsCarryTheirDispidsAndHelpStrings) {
    struct Interface {
        const IID* iid;
        std::vector<const wchar_t*> methods;
        WORD flags;
    };
    const Interface interfaces[] = {
        {&IID_IUSBFAX,
         {L"SaveFaxSettings", L"ReadFaxSettings", L"CheckFaxPasswordSet", L"CheckFaxPassword", L"SendFax",
          L"WaitForReceivedFax", L"GetReceivedFaxCount", L"GetReceivedFaxList", L"GetReceivedFax", L"GetFaxLogEntry",
          L"RemoveReceivedFax", L"GetFaxReceiveSettings", L"CancelIO"},
         TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE},
        {&IID_IIUSBEWS,
         {L"OpenEWS", L"CloseEWS", L"ReadEWS", L"WriteEWS"},
         TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE | TYPEFLAG_FNONEXTENSIBLE},
    };
    for (const Interface& itf : interfaces) {
        Ref<ITypeInfo> info;
        ASSERT_EQ(library_->GetTypeInfoOfGuid(*itf.iid, reinterpret_cast<ITypeInfo**>(info.out())), S_OK);
        TYPEATTR* attr = nullptr;
        ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
        EXPECT_EQ(attr->wTypeFlags & (TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE | TYPEFLAG_FNONEXTENSIBLE), itf.flags);
        info->ReleaseTypeAttr(attr);
        for (std::size_t i = 0; i < itf.methods.size(); ++i) {
            const auto id = static_cast<MEMBERID>(i + 1);
            std::wstring help;
            EXPECT_EQ(Name(info.get(), id, &help), itf.methods[i]);
            const std::wstring expected_help =
                std::wstring(L"method ") + (std::wstring(itf.methods[i]) == L"WaitForReceivedFax"
                                                ? L"CheckForReceivedFax"
                                                : itf.methods[i]);
            EXPECT_EQ(help, expected_help);
        }
        EXPECT_EQ(Name(info.get(), static_cast<MEMBERID>(itf.methods.size() + 1)), L"") << "no more methods";
    }
}

}  // namespace

// Registration in the registry: every entry written, stray keys under a class
// key swept away by registering again, everything but the AppID and CLSID
// keys removed by unregistration.
#include "win_fixture.h"

#include <oleauto.h>

#include <fstream>
#include <string>
#include <vector>


namespace {

const char kAppId[] = "{21B21529-BB2B-4468-8202-5A97FA6AE3B3}";
const char kLibId[] = "{31B87BF5-ADAB-401B-B846-6E4F59A3E94C}";

struct Expected {
    std::string key;
    std::string value;  // "" for the default value
    std::string data;
    bool key_only = false;
};

struct ClassIdentity {
    const char* clsid;
    const char* progid;
    const char* description;
};

const ClassIdentity kClasses[] = {
    {"{22C8CC4F-DE73-4DFC-8A83-2FB65C164ED6}", "Tessaline.USBFAX", "USBFAX Class"},
    {"{9DAB3A49-026A-4853-AD94-521F6B5ABC20}", "Tessaline.IUSBEWS", "IUSBEWS Class"},
};

// Every entry the server registers, for a module at `module`.
std::vector<Expected> Entries(const std::string& module) {
    std::vector<Expected> all = {
        {std::string("AppID\\") + kAppId, "", "Tessaline"},
        {"AppID\\Tessaline.DLL", "AppID", kAppId},
    };
    for (const ClassIdentity& c : kClasses) {
        const std::string progid = c.progid;
        const std::string key = std::string("CLSID\\") + c.clsid;
        const std::vector<Expected> rows = {
            {progid + ".1", "", c.description},
            {progid + ".1\\CLSID", "", c.clsid},
            {progid, "", c.description},
            {progid + "\\CLSID", "", c.clsid},
            {progid + "\\CurVer", "", progid + ".1"},
            {key, "", c.description},
            {key, "AppID", kAppId},
            {key + "\\ProgID", "", progid + ".1"},
            {key + "\\VersionIndependentProgID", "", progid},
            {key + "\\Programmable", "", "", true},
            {key + "\\InprocServer32", "", module},
            {key + "\\InprocServer32", "ThreadingModel", "Apartment"},
            {key + "\\TypeLib", "", kLibId},
        };
        all.insert(all.end(), rows.begin(), rows.end());
    }
    return all;
}

bool KeyExists(const std::string& key) {
    HKEY h = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
    RegCloseKey(h);
    return true;
}

// The REG_SZ value of a key; "<missing>" or "<type N>" when it is not one.
std::string ReadString(const std::string& key, const std::string& value) {
    HKEY h = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return "<missing>";
    char data[1024] = {};
    DWORD size = sizeof(data) - 1, type = 0;
    const LONG rc =
        RegQueryValueExA(h, value.empty() ? nullptr : value.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(h);
    if (rc != ERROR_SUCCESS) return "<missing>";
    if (type != REG_SZ) return "<type " + std::to_string(type) + ">";
    return data;
}

void ExpectRegistered(const std::string& module) {
    for (const Expected& e : Entries(module)) {
        if (e.key_only) {
            EXPECT_TRUE(KeyExists(e.key)) << e.key;
        } else {
            EXPECT_EQ(ReadString(e.key, e.value), e.data) << e.key << " [" << e.value << "]";
        }
    }
}

void ExpectTypeLibraryAt(const std::string& module) {
    BSTR path = nullptr;
    ASSERT_EQ(QueryPathOfRegTypeLib(LIBID_TessalineLib, 1, 0, 0x409, &path), S_OK);
    char narrow[MAX_PATH * 2] = {};
    WideCharToMultiByte(CP_ACP, 0, path, -1, narrow, sizeof(narrow), nullptr, nullptr);
    SysFreeString(path);
    EXPECT_EQ(narrow, module);
}

// Every test leaves the server registered from the build directory, as the
// test run found it.
class RegistrationTest : public ModuleTest {
protected:
    void TearDown() override {
        EXPECT_EQ(RegisterServer(), S_OK);
        ModuleTest::TearDown();
    }
};

TEST_F(RegistrationTest, WritesEveryEntryAndTheTypeLibrary) {
    ASSERT_EQ(RegisterServer(), S_OK);
    ExpectRegistered(TessalinePath());
    ExpectTypeLibraryAt(TessalinePath());
}

TEST_F(RegistrationTest, RegisteringAgainSweepsTheClassKeysClean) {
    ASSERT_EQ(RegisterServer(), S_OK);
    std::vector<std::string> strays;
    for (const ClassIdentity& c : kClasses) {
        const std::string key = std::string("CLSID\\") + c.clsid;
        for (const std::string& stray : {key + "\\Stray\\Deeper", key + "\\Programmable\\Stray"}) {
            HKEY h = nullptr;
            ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, stray.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &h, nullptr),
                      ERROR_SUCCESS);
            RegSetValueExA(h, "Left", 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2);
            RegCloseKey(h);
            strays.push_back(stray);
        }
        HKEY h = nullptr;
        ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_WRITE, &h), ERROR_SUCCESS);
        RegSetValueExA(h, "StrayValue", 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2);
        RegCloseKey(h);
    }

    ASSERT_EQ(RegisterServer(), S_OK);
    for (const std::string& stray : strays) EXPECT_FALSE(KeyExists(stray)) << stray;
    for (const ClassIdentity& c : kClasses) {
        EXPECT_FALSE(KeyExists(std::string("CLSID\\") + c.clsid + "\\Stray"));
        EXPECT_EQ(ReadString(std::string("CLSID\\") + c.clsid, "StrayValue"), "<missing>");
    }
    ExpectRegistered(TessalinePath());
}

TEST_F(RegistrationTest, UnregisteringRemovesEveryEntryButTheRootKeys) {
    ASSERT_EQ(RegisterServer(), S_OK);
    ASSERT_EQ(UnregisterServer(), S_OK);
    for (const Expected& e : Entries(TessalinePath())) EXPECT_FALSE(KeyExists(e.key)) << e.key;
    EXPECT_TRUE(KeyExists("AppID"));
    EXPECT_TRUE(KeyExists("CLSID"));
    BSTR path = nullptr;
    EXPECT_EQ(QueryPathOfRegTypeLib(LIBID_TessalineLib, 1, 0, 0x409, &path), TYPE_E_LIBNOTREGISTERED);

    // Nothing left to remove is no failure.
    EXPECT_EQ(UnregisterServer(), S_OK);
}

TEST_F(RegistrationTest, TheCallersLocaleIsRestored) {
    const LCID german = MAKELCID(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), SORT_DEFAULT);
    const LCID saved = GetThreadLocale();
    ASSERT_TRUE(SetThreadLocale(german));
    EXPECT_EQ(RegisterServer(), S_OK);
    EXPECT_EQ(GetThreadLocale(), german);
    EXPECT_EQ(UnregisterServer(), S_OK);
    EXPECT_EQ(GetThreadLocale(), german);
    SetThreadLocale(saved);
}

TEST_F(RegistrationTest, AModuleMovedElsewhereRegistersItsOwnPath) {
    // A folder name with a single quote reaches the registry unchanged.
    TempDirectory temp;
    const std::string dir = temp.path() + "it's here\\";
    ASSERT_TRUE(CreateDirectoryA(dir.c_str(), nullptr));
    const std::string copy = dir + "Tessaline.dll";
    ASSERT_TRUE(CopyFileA(TessalinePath().c_str(), copy.c_str(), FALSE));

    HMODULE moved = LoadLibraryA(copy.c_str());
    ASSERT_NE(moved, nullptr);
    ASSERT_NE(moved, module_) << "a module of its own";
    using Fn = HRESULT(STDAPICALLTYPE*)();
    auto register_moved = reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(moved, "DllRegisterServer")));
    auto unregister_moved =
        reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(moved, "DllUnregisterServer")));
    ASSERT_TRUE(register_moved && unregister_moved);

    EXPECT_EQ(register_moved(), S_OK);
    ExpectRegistered(copy);
    ExpectTypeLibraryAt(copy);

    // The moved copy goes away; unregistering from the build directory still
    // removes a type library registered for the vanished file.
    FreeLibrary(moved);
    ASSERT_TRUE(DeleteFileA(copy.c_str()));
    EXPECT_EQ(UnregisterServer(), S_OK);
    BSTR path = nullptr;
    EXPECT_EQ(QueryPathOfRegTypeLib(LIBID_TessalineLib, 1, 0, 0x409, &path), TYPE_E_LIBNOTREGISTERED);
}

TEST_F(RegistrationTest, AModulePathThatFillsTheBufferIsRefused) {
    // A module loaded from a path longer than the 260-character buffer.
    TempDirectory temp;
    std::wstring dir = L"\\\\?\\";
    for (char c : temp.path()) dir += static_cast<wchar_t>(c);
    std::vector<std::wstring> levels;
    for (wchar_t c : {L'a', L'b', L'c'}) {
        dir += std::wstring(90, c);
        ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr));
        levels.push_back(dir);
        dir += L"\\";
    }
    const std::wstring copy = dir + L"Tessaline.dll";
    const std::string module = TessalinePath();
    const std::wstring source(module.begin(), module.end());
    ASSERT_TRUE(CopyFileW(source.c_str(), copy.c_str(), FALSE));
    HMODULE deep = LoadLibraryW(copy.c_str());
    ASSERT_NE(deep, nullptr);
    using Fn = HRESULT(STDAPICALLTYPE*)();
    auto register_deep = reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(deep, "DllRegisterServer")));
    ASSERT_NE(register_deep, nullptr);

    EXPECT_EQ(register_deep(), HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER), static_cast<HRESULT>(0x8007007A));
    // Nothing was written: the registration from the build directory stands.
    ExpectRegistered(TessalinePath());
    ExpectTypeLibraryAt(TessalinePath());

    FreeLibrary(deep);
    DeleteFileW(copy.c_str());
    for (auto it = levels.rbegin(); it != levels.rend(); ++it) RemoveDirectoryW(it->c_str());
}

}  // namespace

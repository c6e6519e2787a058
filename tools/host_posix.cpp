// The tool on POSIX systems: a host of libtessaline.so through its
// DllGetClassObject, with devices in the device directory.
#include "tools/host.h"

#include <cstdlib>

#include "platform/device_directory.h"
#include "tools/com_ref.h"

namespace cli {

bool StartHost(int argc, char** argv, std::vector<std::string>& args, std::string&) {
    args.assign(argv + 1, argv + argc);
    return true;
}

void StopHost() {}

HRESULT CreateHostObject(REFCLSID clsid, REFIID iid, void** out) {
    *out = nullptr;
    Ref<IClassFactory> factory;
    HRESULT hr = DllGetClassObject(clsid, IID_IClassFactory, factory.out());
    if (FAILED(hr)) return hr;
    return factory->CreateInstance(nullptr, iid, out);
}

void SetEnvironmentValue(const char* name, const char* value) { setenv(name, value, 1); }

void UseBinary(std::FILE*) {}

std::u32string TextCharacters(const std::string& text) {
    std::u32string out;
    for (unsigned char c : text) out += static_cast<char32_t>(c);
    return out;
}

std::string ChannelWhere(const plat::InterfaceClass& cls, const char* variable) {
    if (const char* named = std::getenv(variable); named && *named)
        return std::string("the device named by ") + variable + " (" + named + ")";
    return "a device socket in " + plat::ClassDirectory(cls);
}

const char* EnvironmentHelp() {
    return "  TESSALINE_DEVICE_DIR   device directory (default $XDG_RUNTIME_DIR/tessaline, else /run/tessaline)\n"
           "  TESSALINE_FAX_DEVICE   device path of the fax channel, skipping discovery\n"
           "  TESSALINE_EWS_DEVICE   device path of the EWS channel, skipping discovery\n"
           "  TESSALINE_DIAGNOSTICS  where discovery messages go: stderr (this tool's default) or none\n";
}

const char* DevicesHelp() {
    return "Shows where discovery looks, the devices present in each channel class, and which one an\n"
           "operation would use. A directory that others can write, or that belongs to another user, is not\n"
           "searched; it is shown with the reason.";
}

}  // namespace cli

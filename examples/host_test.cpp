// A host program's test without a device: tessaline-simd serves a simulated
// device where the library looks (TESSALINE_DEVICE_DIR), and the test drives
// it with `tessaline-simd ctl`: a fax arrives from someone else, and the
// device answers busy once. The code under test is SendWithRetry, a host's
// own send that tries again when the device is busy.
//
//   tessaline-simd --dir /tmp/fax &
//   TESSALINE_DEVICE_DIR=/tmp/fax ./host_test
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <tessaline/tessaline.h>

namespace {

int failures = 0;

void Expect(bool ok, const char* what) {
    std::printf("%s  %s\n", ok ? "ok  " : "FAIL", what);
    if (!ok) ++failures;
}

// `tessaline-simd ctl ARGS` for the device the library will find; its exit
// status.
int Ctl(const std::string& args) {
    const char* dir = std::getenv("TESSALINE_DEVICE_DIR");
    const char* simd = std::getenv("TESSALINE_SIMD");
    const std::string command = std::string(simd ? simd : "tessaline-simd") + " --dir '" + (dir ? dir : "") +
                                "' ctl " + args + " > /dev/null";
    const int rc = std::system(command.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

// The code under test: a send that tries again, up to three times, while
// the device is busy.
FAXSTATUS SendWithRetry(IUSBFAX* fax, const char* file, const char* number) {
    FAX_RECIPIENT to{};
    std::snprintf(to.PhoneNumber, sizeof(to.PhoneNumber), "%s", number);
    FAXSTATUS status = FAXSTATUS_CMD_FAIL;
    for (int attempt = 0; attempt < 3; ++attempt) {
        fax->SendFax(const_cast<char*>(file), 1, &to, &status);
        if (status != FAXSTATUS_BUSY) break;
    }
    return status;
}

}  // namespace

int main() {
    const char* dir = std::getenv("TESSALINE_DEVICE_DIR");
    if (!dir) return 2;
    // A one-page TIFF image: what a fax machine takes.
    const std::string image = std::string(dir) + "/page.tif";
    if (std::FILE* f = std::fopen(image.c_str(), "wb")) {
        static const unsigned char tiff[] = {'I', 'I', 42, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'f', 'a', 'x'};
        std::fwrite(tiff, 1, sizeof(tiff), f);
        std::fclose(f);
    }

    IClassFactory* factory = nullptr;
    IUSBFAX* fax = nullptr;
    if (FAILED(DllGetClassObject(CLSID_USBFAX, IID_IClassFactory, reinterpret_cast<void**>(&factory)))) return 2;
    const HRESULT hr = factory->CreateInstance(nullptr, IID_IUSBFAX, reinterpret_cast<void**>(&fax));
    factory->Release();
    if (FAILED(hr)) return 2;

    // A fax arrives from 555 1234: the host lists it and reads its log.
    Expect(Ctl("receive '" + image + "' --from 5551234") == 0, "ctl receive");
    unsigned int count = 0;
    FAXSTATUS status = FAXSTATUS_CMD_FAIL;
    fax->GetReceivedFaxCount(&count, &status);
    Expect(status == FAXSTATUS_OK && count == 1, "one received fax");
    FAX_FILENAME name{};
    fax->GetReceivedFaxList(&name, 1, &status);
    FAX_LOG_ENTRY log{};
    fax->GetFaxLogEntry(&name, &log, &status);
    Expect(status == FAXSTATUS_OK && std::strncmp(log.CIS, "5551234", sizeof(log.CIS)) == 0, "its log names the sender");

    // The device is busy once: the send is tried again and goes through.
    Expect(Ctl("fault add send-end reply-status busy --times 1") == 0, "ctl fault add");
    Expect(SendWithRetry(fax, image.c_str(), "5550199") == FAXSTATUS_OK, "the send went through on a retry");

    // Busy every time: the host gives up with the device's answer.
    Ctl("fault add send-end reply-status busy");
    Expect(SendWithRetry(fax, image.c_str(), "5550199") == FAXSTATUS_BUSY, "a device busy for good is reported");

    Ctl("reset");  // the next test starts from a fresh device
    fax->Release();
    return failures == 0 ? 0 : 1;
}

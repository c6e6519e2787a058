// The operations the device-replies target drives, and the invariants
// checked after each.
#include "fuzz/reply_ops.h"

#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>

#include "base/byte_order.h"
#include "fuzz/local_files.h"
#include "server/usbews.h"
#include "server/usbfax.h"

namespace fuzz {
namespace {

constexpr std::uint32_t kFaxFileSize = 5000;  // two data blocks
constexpr std::uint32_t kHeader = 32;
constexpr std::uint32_t kDataLengthOffset = 20;
constexpr char kPreviousContent[] = "previous";

// The six text fields of DEFAULT_FAX_SETTINGS: offset and width.
constexpr struct {
    std::size_t offset, width;
} kSettingsText[] = {{0, 32}, {32, 32}, {64, 32}, {96, 128}, {224, 32}, {276, 32}};

std::string g_fax_file;
std::string g_download;

IUSBFAX* Fax() {
    static CUSBFAX* fax = [] {
        auto* f = new CUSBFAX(nullptr);
        f->AddRef();
        return f;
    }();
    return fax;
}

void CheckStatus(FAXSTATUS s) {
    switch (s) {
        case FAXSTATUS_OK:
        case FAXSTATUS_BUSY:
        case FAXSTATUS_CMD_FAIL:
        case FAXSTATUS_READ:
        case FAXSTATUS_WRITE:
        case FAXSTATUS_MEMALLOC:
        case FAXSTATUS_DISKFULL:
            return;
        default:
            // 3 and 6 are never produced; 4, 5 and 7 only for bad arguments
            // or an absent device, and neither is the case here.
            Violated("an operation gave a status that its device's replies cannot explain");
    }
}

// What a download that succeeded must have stored: the reply announces the
// total, then blocks (a header and its bytes) carry the image. False when
// `served` holds no such download.
bool DownloadedImage(const Bytes& served, std::string& image) {
    if (served.size() < kHeader) return false;
    const std::uint32_t total = wire::LoadBE32(served.data() + kDataLengthOffset);
    std::size_t pos = kHeader;
    image.clear();
    while (image.size() < total) {
        if (served.size() - pos < kHeader) return false;
        const std::uint32_t n = wire::LoadBE32(served.data() + pos + kDataLengthOffset);
        pos += kHeader;
        if (served.size() - pos < n) return false;
        image.append(reinterpret_cast<const char*>(served.data() + pos), n);
        pos += n;
    }
    return image.size() == total;
}

FAX_FILENAME* NewFaxName() {
    auto* name = new FAX_FILENAME;
    std::memset(name, 0, sizeof(*name));
    std::memcpy(name->faxPath, kFaxName, sizeof(kFaxName));
    return name;
}

}  // namespace

const char* ReplyOpName(std::uint8_t op) {
    static const char* const kNames[kReplyOps] = {
        "ReadFaxSettings", "SaveFaxSettings", "CheckFaxPasswordSet", "CheckFaxPassword", "GetFaxReceiveSettings",
        "SendFax", "GetReceivedFaxCount", "GetReceivedFaxList", "GetReceivedFax", "RemoveReceivedFax",
        "GetFaxLogEntry", "WaitForReceivedFax", "CancelIO", "ReadEWS"};
    return op < kReplyOps ? kNames[op] : "?";
}

void PrepareReplyOps(Front& front) {
    g_fax_file = front.directory() + "/send.tif";
    g_download = front.directory() + "/download.tif";
    std::string image(kFaxFileSize, '\0');
    for (std::uint32_t i = 0; i < kFaxFileSize; ++i) image[i] = static_cast<char>(i * 7 + 3);
    WriteFile(g_fax_file, image);
}

// The records an operation fills are heap blocks of exactly their size, so
// that the sanitizer sees any access past them.
void RunReplyOp(Front& front, std::uint8_t op, std::uint8_t param, const Bytes& served) {
    IUSBFAX* fax = Fax();
    FAXSTATUS s = FAXSTATUS_OK;
    // Checks that need the device's whole answer run once the front has
    // settled; the rest run at once.
    std::function<void()> after;

    switch (op) {
        case kReadSettings: {
            auto settings = std::make_unique<DEFAULT_FAX_SETTINGS>();
            std::memset(settings.get(), 0xA5, sizeof(*settings));
            fax->ReadFaxSettings(settings.get(), &s);
            // Whatever came back, each text field ends within itself.
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(settings.get());
            for (const auto& f : kSettingsText) {
                if (!std::memchr(bytes + f.offset, 0, f.width)) Violated("a settings text field without its zero");
            }
            break;
        }
        case kSaveSettings: {
            auto settings = std::make_unique<DEFAULT_FAX_SETTINGS>();
            std::memset(settings.get(), 0, sizeof(*settings));
            std::strcpy(settings->FaxName, "Fuzzed Fax");
            std::strcpy(settings->FaxNumber, "5550100");
            fax->SaveFaxSettings(settings.get(), &s);
            break;
        }
        case kPasswordSet: {
            unsigned int set = 7;
            fax->CheckFaxPasswordSet(&set, &s);
            if (set > 1 || (s != FAXSTATUS_OK && set != 0)) Violated("CheckFaxPasswordSet: a flag that is not 0 or 1");
            break;
        }
        case kCheckPassword: {
            char password[] = "1234";
            unsigned int passed = 7;
            fax->CheckFaxPassword(password, &passed, &s);
            if (s == FAXSTATUS_OK ? passed > 1 : passed != 7) Violated("CheckFaxPassword: the flag");
            break;
        }
        case kReceiveSettings: {
            TSL_ULONG value = 0;
            fax->GetFaxReceiveSettings(&value, &s);
            break;
        }
        case kSendFax: {
            auto recipients = std::make_unique<FAX_RECIPIENT[]>(2);
            std::memset(recipients.get(), 0, 2 * sizeof(FAX_RECIPIENT));
            std::strcpy(recipients[0].PhoneNumber, "5550100");
            std::strcpy(recipients[1].Prefix, "9");
            std::strcpy(recipients[1].PhoneNumber, "5550199");
            fax->SendFax(g_fax_file.data(), 2, recipients.get(), &s);
            break;
        }
        case kCount: {
            unsigned int count = 99;
            fax->GetReceivedFaxCount(&count, &s);
            if (s == FAXSTATUS_OK ? count > MAX_RECEIVED_FAXES : count != 0) Violated("GetReceivedFaxCount: the count");
            break;
        }
        case kList: {
            const unsigned capacity = 1 + param % 48;
            std::unique_ptr<FAX_FILENAME[]> entries(new FAX_FILENAME[capacity]);
            std::memset(entries.get(), 0xA5, capacity * sizeof(FAX_FILENAME));
            fax->GetReceivedFaxList(entries.get(), capacity, &s);
            // Names fill entries from the first; each ends within its entry;
            // the entries after them are untouched.
            bool untouched_seen = false;
            for (unsigned i = 0; i < capacity; ++i) {
                const auto* e = reinterpret_cast<const std::uint8_t*>(entries[i].faxPath);
                bool untouched = true;
                for (std::size_t k = 0; k < sizeof(FAX_FILENAME) && untouched; ++k) untouched = e[k] == 0xA5;
                if (untouched) {
                    untouched_seen = true;
                    continue;
                }
                if (s != FAXSTATUS_OK || untouched_seen || i >= MAX_RECEIVED_FAXES)
                    Violated("GetReceivedFaxList: an entry written out of turn");
                if (!std::memchr(e, 0, sizeof(FAX_FILENAME))) Violated("GetReceivedFaxList: a name without its zero");
            }
            break;
        }
        case kGet: {
            std::unique_ptr<FAX_FILENAME> name(NewFaxName());
            WriteFile(g_download, kPreviousContent);
            fax->GetReceivedFax(name.get(), g_download.data(), &s);
            after = [&s, &served] {
                const std::string stored = ReadFile(g_download);
                std::string image;
                if (s != FAXSTATUS_OK) {
                    if (stored != kPreviousContent) Violated("GetReceivedFax: a failed download changed the file");
                } else if (!DownloadedImage(served, image) || stored != image) {
                    Violated("GetReceivedFax: the file is not the image the device sent");
                }
            };
            break;
        }
        case kRemove: {
            std::unique_ptr<FAX_FILENAME> name(NewFaxName());
            fax->RemoveReceivedFax(name.get(), &s);
            break;
        }
        case kLog: {
            std::unique_ptr<FAX_FILENAME> name(NewFaxName());
            auto entry = std::make_unique<FAX_LOG_ENTRY>();
            fax->GetFaxLogEntry(name.get(), entry.get(), &s);
            break;
        }
        case kWait: {
            FAX_STATUS_ENUM event = e_NoFaxesAvailable;
            fax->WaitForReceivedFax(&event, &s);
            break;
        }
        case kCancel:
            fax->CancelIO(&s);
            break;
        case kEwsRead: {
            const int length = 1 + param * 97;
            std::unique_ptr<unsigned char[]> data(new unsigned char[static_cast<std::size_t>(length)]);
            auto* ews = new CIUSBEWS(nullptr);
            ews->AddRef();
            FAXSTATUS opened = FAXSTATUS_CMD_FAIL, closed = FAXSTATUS_CMD_FAIL;
            ews->OpenEWS(&opened);
            if (opened != FAXSTATUS_OK) Violated("OpenEWS failed on a present channel");
            int read = -1;
            ews->ReadEWS(data.get(), length, &read, &s);
            ews->CloseEWS(&closed);
            ews->Release();
            if (read < 0 || read > length || (s == FAXSTATUS_OK && read != length)) Violated("ReadEWS: the count read");
            if (closed != FAXSTATUS_OK) Violated("CloseEWS failed");
            break;
        }
        default:
            return;
    }
    CheckStatus(s);
    // Every connection closed, and the access lock free for others.
    if (!front.Settle()) Violated("the access lock is still held after the operation");
    if (after) after();
}

}  // namespace fuzz

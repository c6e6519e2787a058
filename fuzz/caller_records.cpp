// Fuzz target: arbitrary caller records against a well-behaved device.
//
// Each input is a short sequence of automation calls whose records come from
// the input: settings records whose text fields need not end in a zero, fax
// names with or without one, recipient arrays of any content (and counts the
// call must refuse), passwords of any length. Every record is a heap block
// of exactly its size, so AddressSanitizer sees a read or write past it. The
// device is the simulated firmware behind the fuzzing front, in the same
// state at the start of every input; what the host sends it is checked
// against the caller's records:
// - every text field that reaches the device ends within itself, and holds
//   the caller's text cut to the field;
// - a fax name without its zero never reaches the device, nor does a call
//   with a count it refuses;
// - the firmware never sees a malformed request;
// - what comes back (settings, names, log entries, downloads) is what the
//   device holds, and the access lock is free after every call.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "base/byte_order.h"
#include "base/mfp1_commands.h"
#include "fuzz/firmware_device.h"
#include "fuzz/local_files.h"
#include "fuzz/fuzz_front.h"
#include "protocol/fax_send.h"
#include "server/usbfax.h"

namespace {

using fuzz::Bytes;
using fuzz::ReadFile;
using fuzz::Violated;
using fuzz::WriteFile;

constexpr std::uint32_t kHeader = 32;
constexpr std::uint32_t kSettingsSize = sizeof(DEFAULT_FAX_SETTINGS);
constexpr std::uint32_t kFaxFileSize = 5000;
constexpr char kPreviousContent[] = "previous";

constexpr struct {
    std::size_t offset, width;
} kSettingsText[] = {{0, 32}, {32, 32}, {64, 32}, {96, 128}, {224, 32}, {276, 32}};
constexpr std::size_t kSettingsWords[] = {256, 260, 264, 268, 272};

// One request as the host wrote it.
struct Sent {
    std::uint32_t command = 0;
    std::uint32_t param1 = 0;
    Bytes data;
};

// The requests of one connection: headers, each followed by DataLength bytes.
std::vector<Sent> Requests(const Bytes& conversation) {
    std::vector<Sent> out;
    std::size_t pos = 0;
    while (conversation.size() - pos >= kHeader) {
        const std::uint8_t* h = conversation.data() + pos;
        Sent s;
        s.command = wire::LoadBE32(h + 4);
        s.param1 = wire::LoadBE32(h + 8);
        const std::uint32_t n = wire::LoadBE32(h + 20);
        pos += kHeader;
        if (conversation.size() - pos < n) Violated("a request's data is shorter than its header says");
        s.data.assign(conversation.begin() + static_cast<std::ptrdiff_t>(pos),
                      conversation.begin() + static_cast<std::ptrdiff_t>(pos + n));
        pos += n;
        out.push_back(std::move(s));
    }
    if (pos != conversation.size()) Violated("a request cut short");
    return out;
}

// The text a field of `width` bytes carries: up to its zero, or its first
// width-1 bytes.
std::string FieldText(const void* field, std::size_t width) {
    const auto* p = static_cast<const char*>(field);
    std::size_t n = 0;
    while (n + 1 < width && p[n] != '\0') ++n;
    return std::string(p, n);
}

// A field that reached the device or the caller: the text, then its zero.
void ExpectField(const void* got, const std::string& text, const char* what) {
    const auto* p = static_cast<const char*>(got);
    if (std::memcmp(p, text.data(), text.size()) != 0 || p[text.size()] != '\0') Violated(what);
}

// The caller's bytes for a record: what the input has, then `fill`.
Bytes RecordBytes(FuzzedDataProvider& in, std::size_t size, std::uint8_t fill) {
    Bytes b = in.ConsumeBytes<std::uint8_t>(size);
    b.resize(size, fill);
    return b;
}

class Harness {
public:
    Harness() : front_(fuzz::TheFront()) {
        fax_file_ = front_.directory() + "/send.tif";
        download_ = front_.directory() + "/download.tif";
        std::string image(kFaxFileSize, '\0');
        for (std::uint32_t i = 0; i < kFaxFileSize; ++i) image[i] = static_cast<char>(i * 13 + 1);
        WriteFile(fax_file_, image);

        sim::Firmware& fw = device_.firmware();
        fw.traffic().SetRecording(false);
        fw.state().SetPassword("1234");
        Bytes big(kFaxFileSize);
        for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 5);
        fw.state().AddReceivedFax("fax0001.tif", big);
        fw.state().AddReceivedFax("fax0002.tif", Bytes{'I', 'I', '*', 0});
        fw.state().AddReceivedFax(std::string(63, 'N'), Bytes{1, 2});
        initial_ = fw.state().Snapshot();

        fax_ = new CUSBFAX(nullptr);
        fax_->AddRef();
    }

    void Run(const std::uint8_t* data, std::size_t size) {
        sim::Firmware& fw = device_.firmware();
        fw.state().Restore(initial_);
        std::memcpy(settings_, initial_.settings, sizeof(settings_));
        received_ = initial_.received;
        const std::uint64_t errors = fw.traffic().ProtocolErrors();
        front_.SetResponder(&device_);

        FuzzedDataProvider in(data, size);
        for (int call = 0; call < 4 && in.remaining_bytes() > 0; ++call) {
            device_.Clear();
            switch (in.ConsumeIntegralInRange<int>(0, 7)) {
                case 0: Save(in); break;
                case 1: Read(in); break;
                case 2: CheckPassword(in); break;
                case 3: Send(in); break;
                case 4: Get(in); break;
                case 5: Log(in); break;
                case 6: Remove(in); break;
                default: List(in); break;
            }
        }
        if (fw.traffic().ProtocolErrors() != errors) Violated("the device saw a malformed request");
    }

private:
    // Settles the front after a call: every connection closed, the access
    // lock free. Returns the number of connections the call made.
    std::uint32_t Settle() {
        if (!front_.Settle()) Violated("the access lock is still held after the call");
        return front_.Connections();
    }

    const sim::ReceivedFax* Find(const std::string& name) const {
        for (const sim::ReceivedFax& f : received_)
            if (f.name == name) return &f;
        return nullptr;
    }

    // A fax name from the input: one the device holds (with arbitrary bytes
    // after its zero) or 64 arbitrary bytes, which may hold no zero at all.
    std::unique_ptr<FAX_FILENAME> FaxName(FuzzedDataProvider& in) {
        auto name = std::make_unique<FAX_FILENAME>();
        Bytes raw = RecordBytes(in, sizeof(FAX_FILENAME), 'C');
        const std::uint8_t pick = in.ConsumeIntegral<std::uint8_t>();
        if (pick % 2 == 0 && !received_.empty()) {
            const std::string& known = received_[pick / 2 % received_.size()].name;
            std::memcpy(raw.data(), known.c_str(), known.size() + 1);
        }
        std::memcpy(name->faxPath, raw.data(), sizeof(FAX_FILENAME));
        return name;
    }

    // The common part of the calls that take a fax name: a name without a
    // zero is refused before the device is reached; any other travels whole,
    // with its zero. Returns the name, or false when it was refused.
    bool NameCall(const FAX_FILENAME& fax, FAXSTATUS s, std::uint32_t command, std::string& name) {
        const std::uint32_t connections = Settle();
        if (!std::memchr(fax.faxPath, 0, sizeof(fax.faxPath))) {
            if (s != FAXSTATUS_CMD_FAIL || connections != 0) Violated("a fax name without its zero was not refused");
            return false;
        }
        name = fax.faxPath;
        const auto requests = Requests(device_.conversations().at(0));
        if (requests.empty() || requests[0].command != command || requests[0].data.size() != name.size() + 1 ||
            std::memcmp(requests[0].data.data(), name.c_str(), name.size() + 1) != 0) {
            Violated("the fax name did not travel as its text and its zero");
        }
        return true;
    }

    void Save(FuzzedDataProvider& in) {
        const Bytes bytes = RecordBytes(in, kSettingsSize, 'A');
        auto record = std::make_unique<DEFAULT_FAX_SETTINGS>();
        std::memcpy(record.get(), bytes.data(), kSettingsSize);
        FAXSTATUS s = FAXSTATUS_CMD_FAIL;
        fax_->SaveFaxSettings(record.get(), &s);
        if (Settle() != 2 || s != FAXSTATUS_OK) Violated("SaveFaxSettings: a read and a save, both answered");

        const auto requests = Requests(device_.conversations().at(1));
        if (requests.size() != 1 || requests[0].command != FAXCMD_SAVE_SETTINGS ||
            requests[0].data.size() != kSettingsSize)
            Violated("SaveFaxSettings: the save request");
        const std::uint8_t* wire_record = requests[0].data.data();
        for (const auto& f : kSettingsText)
            ExpectField(wire_record + f.offset, FieldText(bytes.data() + f.offset, f.width),
                        "SaveFaxSettings: a text field that is not the caller's text cut to the field");
        for (std::size_t off : kSettingsWords) {
            std::uint32_t host;
            std::memcpy(&host, bytes.data() + off, 4);
            if (wire::LoadBE32(wire_record + off) != host) Violated("SaveFaxSettings: a word changed on its way");
        }
        std::memcpy(settings_, wire_record, kSettingsSize);
    }

    void Read(FuzzedDataProvider& in) {
        const Bytes before = RecordBytes(in, kSettingsSize, 'Z');
        auto record = std::make_unique<DEFAULT_FAX_SETTINGS>();
        std::memcpy(record.get(), before.data(), kSettingsSize);
        FAXSTATUS s = FAXSTATUS_CMD_FAIL;
        fax_->ReadFaxSettings(record.get(), &s);
        Settle();
        if (s != FAXSTATUS_OK) Violated("ReadFaxSettings failed");
        const auto* got = reinterpret_cast<const std::uint8_t*>(record.get());
        for (const auto& f : kSettingsText)
            ExpectField(got + f.offset, FieldText(settings_ + f.offset, f.width),
                        "ReadFaxSettings: a text field that is not the device's");
        for (std::size_t off : kSettingsWords) {
            std::uint32_t host;
            std::memcpy(&host, got + off, 4);
            if (host != wire::LoadBE32(settings_ + off)) Violated("ReadFaxSettings: a word that is not the device's");
        }
    }

    void CheckPassword(FuzzedDataProvider& in) {
        const std::string text = in.ConsumeRandomLengthString(48);
        std::unique_ptr<char[]> password(new char[text.size() + 1]);
        std::memcpy(password.get(), text.c_str(), text.size() + 1);
        unsigned int passed = 7;
        FAXSTATUS s = FAXSTATUS_CMD_FAIL;
        fax_->CheckFaxPassword(password.get(), &passed, &s);
        Settle();
        const std::string sent = FieldText(password.get(), 32);
        const std::string stored = FieldText(settings_, 32);
        if (s != FAXSTATUS_OK || passed != (!stored.empty() && sent == stored ? 1u : 0u))
            Violated("CheckFaxPassword: the answer is not the device's");
        const auto requests = Requests(device_.conversations().at(0));
        if (requests.size() != 1 || requests[0].data.size() != sent.size() + 1)
            Violated("CheckFaxPassword: the length sent");
        ExpectField(requests[0].data.data(), sent, "CheckFaxPassword: the password sent");
    }

    void Send(FuzzedDataProvider& in) {
        const std::uint32_t n = in.ConsumeIntegralInRange<std::uint32_t>(0, 12);
        const Bytes bytes = RecordBytes(in, std::max<std::uint32_t>(n, 1) * sizeof(FAX_RECIPIENT), 'B');
        std::unique_ptr<FAX_RECIPIENT[]> list(new FAX_RECIPIENT[std::max<std::uint32_t>(n, 1)]);
        std::memcpy(list.get(), bytes.data(), bytes.size());
        // Sometimes a count the call must refuse without reading the array.
        std::uint32_t numbers = n;
        switch (in.ConsumeIntegralInRange<int>(0, 7)) {
            case 0: numbers = 0x80000000u | in.ConsumeIntegral<std::uint32_t>(); break;
            case 1: numbers = kMaxRecipients + 1 + in.ConsumeIntegralInRange<std::uint32_t>(0, 1000); break;
            default: break;
        }
        FAXSTATUS s = FAXSTATUS_OK;
        fax_->SendFax(fax_file_.data(), numbers, list.get(), &s);
        const std::uint32_t connections = Settle();
        if (numbers != n || n == 0) {
            if (s != FAXSTATUS_CMD_FAIL || connections != 0) Violated("SendFax: a count to refuse reached the device");
            return;
        }
        std::uint32_t carried = 0;
        for (std::uint32_t k = 0; k < n; ++k) carried += list[k].PhoneNumber[0] != '\0';
        // The device takes a job with at least one number.
        if (s != (carried > 0 ? FAXSTATUS_OK : FAXSTATUS_READ)) Violated("SendFax: the device's answer");

        const auto requests = Requests(device_.conversations().at(0));
        if (requests.size() < 2 || requests[0].command != FAXCMD_SEND_BEGIN || requests[0].param1 != kFaxFileSize ||
            requests[1].command != FAXCMD_RECIPIENTS || requests[1].data.size() != RecipientListSize(n)) {
            Violated("SendFax: the begin and recipients requests");
        }
        const Bytes& wire_list = requests[1].data;
        if (wire::LoadBE32(wire_list.data()) != carried) Violated("SendFax: the recipient count");
        std::uint32_t slot = 0;
        for (std::uint32_t k = 0; k < n; ++k) {
            if (list[k].PhoneNumber[0] == '\0') continue;
            const std::uint8_t* p = wire_list.data() + 4 + 64 * slot++;
            ExpectField(p, FieldText(list[k].Prefix, 32), "SendFax: a prefix that is not the caller's cut to 31");
            ExpectField(p + 32, FieldText(list[k].PhoneNumber, 32), "SendFax: a number that is not the caller's");
        }
        if (!std::all_of(wire_list.begin() + 4 + 64 * slot, wire_list.end(), [](std::uint8_t b) { return b == 0; }))
            Violated("SendFax: a slot without a recipient is not empty");
    }

    void Get(FuzzedDataProvider& in) {
        auto fax = FaxName(in);
        WriteFile(download_, kPreviousContent);
        FAXSTATUS s = FAXSTATUS_OK;
        fax_->GetReceivedFax(fax.get(), download_.data(), &s);
        std::string name;
        const bool sent = NameCall(*fax, s, 4, name);
        const sim::ReceivedFax* held = sent ? Find(name) : nullptr;
        const std::string stored = ReadFile(download_);
        if (held) {
            if (s != FAXSTATUS_OK || stored != std::string(held->data.begin(), held->data.end()))
                Violated("GetReceivedFax: the file is not the device's fax");
        } else if ((sent && s != FAXSTATUS_READ) || stored != kPreviousContent) {
            Violated("GetReceivedFax: a fax the device does not hold changed the file");
        }
    }

    void Log(FuzzedDataProvider& in) {
        auto fax = FaxName(in);
        auto entry = std::make_unique<FAX_LOG_ENTRY>();
        FAXSTATUS s = FAXSTATUS_OK;
        fax_->GetFaxLogEntry(fax.get(), entry.get(), &s);
        std::string name;
        if (!NameCall(*fax, s, 5, name)) return;
        const sim::ReceivedFax* held = Find(name);
        if (s != (held ? FAXSTATUS_OK : FAXSTATUS_READ)) Violated("GetFaxLogEntry: the device's answer");
        if (!held) return;
        const auto* got = reinterpret_cast<const std::uint8_t*>(entry.get());
        if (std::memcmp(got, held->log, 8) != 0 || std::memcmp(got + 20, held->log + 20, 60) != 0 ||
            entry->Duration != wire::LoadBE32(held->log + 8) || entry->FAXSTATUS != wire::LoadBE32(held->log + 12) ||
            entry->FaxType != wire::LoadBE32(held->log + 16)) {
            Violated("GetFaxLogEntry: the entry is not the device's");
        }
    }

    void Remove(FuzzedDataProvider& in) {
        auto fax = FaxName(in);
        FAXSTATUS s = FAXSTATUS_OK;
        fax_->RemoveReceivedFax(fax.get(), &s);
        std::string name;
        if (!NameCall(*fax, s, 6, name)) return;
        const sim::ReceivedFax* held = Find(name);
        if (s != (held ? FAXSTATUS_OK : FAXSTATUS_READ)) Violated("RemoveReceivedFax: the device's answer");
        if (held) received_.erase(received_.begin() + (held - received_.data()));
    }

    void List(FuzzedDataProvider& in) {
        const std::uint32_t capacity = in.ConsumeIntegralInRange<std::uint32_t>(0, 48);
        const std::uint32_t allocated = std::max<std::uint32_t>(capacity, 1);
        const Bytes before = RecordBytes(in, allocated * sizeof(FAX_FILENAME), 0xA5);
        std::unique_ptr<FAX_FILENAME[]> entries(new FAX_FILENAME[allocated]);
        std::memcpy(entries.get(), before.data(), before.size());
        FAXSTATUS s = FAXSTATUS_OK;
        fax_->GetReceivedFaxList(entries.get(), capacity, &s);
        const std::uint32_t connections = Settle();
        if (capacity == 0) {
            if (s != FAXSTATUS_CMD_FAIL || connections != 0) Violated("GetReceivedFaxList: capacity 0 not refused");
            return;
        }
        if (s != FAXSTATUS_OK) Violated("GetReceivedFaxList failed");
        const std::size_t filled = std::min<std::size_t>({capacity, received_.size(), MAX_RECEIVED_FAXES});
        for (std::size_t i = 0; i < allocated; ++i) {
            if (i < filled) {
                ExpectField(entries[i].faxPath, FieldText(received_[i].name.c_str(), 64),
                            "GetReceivedFaxList: an entry that is not the device's name");
            } else if (std::memcmp(&entries[i], before.data() + i * sizeof(FAX_FILENAME), sizeof(FAX_FILENAME)) != 0) {
                Violated("GetReceivedFaxList: an entry past the names was changed");
            }
        }
    }

    fuzz::Front& front_;
    fuzz::FirmwareDevice device_;
    sim::PersistentState initial_;
    std::uint8_t settings_[kSettingsSize] = {};  // the device's record, as it travels
    std::vector<sim::ReceivedFax> received_;
    std::string fax_file_;
    std::string download_;
    IUSBFAX* fax_ = nullptr;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Harness harness;
    harness.Run(data, size);
    return 0;
}

// tessaline-fuzz-seeds DIR: writes the seed inputs of both fuzz targets into
// DIR/device_replies and DIR/caller_records (fuzz/corpus in the repository
// holds its output).
//
// The device-replies seeds are real conversations: each operation runs
// against the simulated firmware behind the fuzzing front, and what the
// device sent becomes the input, so the fuzzer starts from well-formed
// replies of every kind. The caller-records seeds are call sequences laid
// out as the target reads them.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/firmware_device.h"
#include "fuzz/fuzz_front.h"
#include "fuzz/reply_ops.h"

namespace {

using fuzz::Bytes;

bool WriteSeed(const std::string& dir, const std::string& name, const Bytes& bytes) {
    const std::string path = dir + "/" + name;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

// Lays out an input as FuzzedDataProvider reads it: byte strings from the
// front, integers from the back (the first integer read is the last byte).
class CallsInput {
public:
    CallsInput& Byte(std::uint8_t value) {
        back_.push_back(value);
        return *this;
    }
    CallsInput& Record(const void* data, std::size_t size) {
        const auto* p = static_cast<const std::uint8_t*>(data);
        front_.insert(front_.end(), p, p + size);
        return *this;
    }
    // A string as ConsumeRandomLengthString ends it: a backslash and another
    // character.
    CallsInput& Text(const std::string& text) {
        front_.insert(front_.end(), text.begin(), text.end());
        front_.push_back('\\');
        front_.push_back('x');
        return *this;
    }
    Bytes Done() const {
        Bytes out = front_;
        out.insert(out.end(), back_.rbegin(), back_.rend());
        return out;
    }

private:
    Bytes front_;
    Bytes back_;
};

// The calls of the caller-records target (see caller_records.cpp).
enum Call : std::uint8_t { kSave, kRead, kCheckPassword, kSend, kGet, kLog, kRemove, kList };

std::vector<std::pair<std::string, Bytes>> CallerRecordSeeds(const std::uint8_t (&settings)[308]) {
    std::vector<std::pair<std::string, Bytes>> seeds;
    // The device's own settings saved back with a sender name that fills its
    // field, then read.
    std::uint8_t record[308];
    std::memcpy(record, settings, sizeof(record));
    std::memset(record + 96, 'X', 128);
    seeds.emplace_back("save_read", CallsInput().Byte(kSave).Record(record, sizeof(record)).Byte(kRead).Done());

    seeds.emplace_back("password",
                       CallsInput().Byte(kCheckPassword).Text("1234").Byte(kCheckPassword).Text(std::string(40, 'p'))
                           .Done());

    // Four recipients: a plain number; a prefix and a number that fill their
    // fields without a zero; a prefix and a number; a prefix without a
    // number (not carried).
    std::uint8_t recipients[4 * 64] = {};
    std::memcpy(recipients + 32, "5550100", 7);
    std::memset(recipients + 64, 'P', 32);
    std::memset(recipients + 96, '5', 32);
    std::memcpy(recipients + 128, "9", 1);
    std::memcpy(recipients + 160, "5550199", 7);
    std::memcpy(recipients + 192, "9", 1);
    seeds.emplace_back("send", CallsInput().Byte(kSend).Byte(4).Record(recipients, sizeof(recipients)).Byte(7).Done());
    seeds.emplace_back("send_refused",
                       CallsInput().Byte(kSend).Byte(1).Record(recipients, 64).Byte(0).Byte(0).Byte(0).Byte(0).Byte(
                           0x80).Done());

    std::uint8_t name[64] = {};
    std::memcpy(name, "fax0001.tif", 12);
    std::uint8_t no_zero[64];
    std::memset(no_zero, 'n', sizeof(no_zero));
    seeds.emplace_back("get_log_remove_list", CallsInput()
                                                  .Byte(kGet).Record(name, 64).Byte(1)
                                                  .Byte(kLog).Record(name, 64).Byte(1)
                                                  .Byte(kRemove).Record(name, 64).Byte(1)
                                                  .Byte(kList).Byte(5)
                                                  .Done());
    seeds.emplace_back("names_without_zero",
                       CallsInput().Byte(kGet).Record(no_zero, 64).Byte(1).Byte(kList).Byte(2).Done());
    return seeds;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: tessaline-fuzz-seeds DIR\n");
        return 2;
    }
    const std::string replies_dir = std::string(argv[1]) + "/device_replies";
    const std::string records_dir = std::string(argv[1]) + "/caller_records";
    mkdir(argv[1], 0755);
    mkdir(replies_dir.c_str(), 0755);
    mkdir(records_dir.c_str(), 0755);

    fuzz::Front& front = fuzz::TheFront();
    fuzz::PrepareReplyOps(front);
    fuzz::FirmwareDevice device;
    sim::Firmware& fw = device.firmware();
    fw.traffic().SetRecording(false);
    fw.state().SetPassword("1234");
    fw.state().SetReceiveSettings(2);
    Bytes image(9000);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 31 + 7);
    fw.state().AddReceivedFax(fuzz::kFaxName, image);
    fw.state().AddReceivedFax("fax0002.tif", Bytes{'I', 'I', '*', 0});
    fw.state().AddReceivedFax(std::string(70, 'L'), Bytes{1, 2, 3});
    const sim::PersistentState initial = fw.state().Snapshot();
    front.SetResponder(&device);

    struct Seed {
        const char* name;
        std::uint8_t op;
        std::uint8_t param;
        std::uint32_t block_size;
    } seeds[] = {
        {"read_settings", fuzz::kReadSettings, 0, 4096},
        {"save_settings", fuzz::kSaveSettings, 0, 4096},
        {"password_set", fuzz::kPasswordSet, 0, 4096},
        {"check_password", fuzz::kCheckPassword, 0, 4096},
        {"receive_settings", fuzz::kReceiveSettings, 0, 4096},
        {"send_fax", fuzz::kSendFax, 0, 4096},
        {"count", fuzz::kCount, 0, 4096},
        {"list", fuzz::kList, 47, 4096},
        {"get", fuzz::kGet, 0, 4096},
        {"get_small_blocks", fuzz::kGet, 0, 1000},
        {"remove", fuzz::kRemove, 0, 4096},
        {"log", fuzz::kLog, 0, 4096},
        {"wait", fuzz::kWait, 0, 4096},
        {"cancel", fuzz::kCancel, 0, 4096},
    };
    for (const Seed& s : seeds) {
        fw.state().Restore(initial);
        fw.state().SetBlockSize(s.block_size);
        if (s.op == fuzz::kWait) fw.state().RaiseEvent(1);  // e_ReceivedFaxAvailable
        device.Clear();
        fuzz::RunReplyOp(front, s.op, s.param, device.served());
        Bytes input{s.op, 0, 0, s.param};
        input.insert(input.end(), device.served().begin(), device.served().end());
        if (!WriteSeed(replies_dir, s.name, input)) return 1;
    }
    // More names than a list holds (40).
    fw.state().Restore(initial);
    for (int i = 0; i < 45; ++i) fw.state().AddReceivedFax("rx" + std::to_string(i) + ".tif", Bytes{1, 2});
    device.Clear();
    fuzz::RunReplyOp(front, fuzz::kList, 47, device.served());
    Bytes list{fuzz::kList, 0, 0, 47};
    list.insert(list.end(), device.served().begin(), device.served().end());
    if (!WriteSeed(replies_dir, "list_45", list)) return 1;

    // The EWS channel carries the device's own bytes: a status page.
    const std::string page = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 2\r\n\r\nok";
    Bytes ews{fuzz::kEwsRead, 0, 0, 1};
    ews.insert(ews.end(), page.begin(), page.end());
    ews.resize(fuzz::kReplyInputHeader + 98, ' ');
    if (!WriteSeed(replies_dir, "ews_read", ews)) return 1;

    for (const auto& [name, bytes] : CallerRecordSeeds(initial.settings)) {
        if (!WriteSeed(records_dir, name, bytes)) return 1;
    }
    std::printf("seeds written to %s\n", argv[1]);
    return 0;
}

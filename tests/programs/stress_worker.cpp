// One process of the stress run. The device directory and the lock name come
// from the environment, as for any host.
//
//   stress_worker run W N SEED   N operations of every kind, chosen at random;
//                                prints one line of counters
//   stress_worker upload SIZE    one send of a SIZE-byte fax; prints the
//                                status, then waits until its input closes
//
// "run" checks every result: the status, and what came back (records, names,
// each download byte for byte). Each failure is one line on standard error.
// Received faxes are shared among the workers by their number: worker W
// fetches, reads the log of and removes only the device's faxes "faxNNNN.tif"
// whose NNNN modulo 8 is W, and the kept faxes (never removed), so that no
// other worker removes a fax under it.
//
// The counters line:
//   ops=N sends=N self_sends=N removes=N downloads=N waits=N cancelled=N no_device=N failures=N
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tools/com_ref.h"
#include "protocol/fax_received.h"
#include "protocol/fax_send.h"
#include "protocol/fax_settings.h"
#include "stress_common.h"
#include "transport/wait_cancel.h"

namespace {

constexpr int kWorkers = 8;

struct Counters {
    int ops = 0, sends = 0, self_sends = 0, removes = 0, downloads = 0, waits = 0, cancelled = 0, no_device = 0,
        failures = 0;
};

class Worker {
public:
    Worker(std::uint32_t id, std::uint32_t seed, std::string dir) : id_(id), rng_(seed), dir_(std::move(dir)) {}

    void RunOne() {
        // Weights of the operations, roughly as a fax host would mix them.
        static const int weights[] = {8, 3, 5, 5, 6, 12, 8, 8, 10, 8, 5, 4, 6};
        std::discrete_distribution<int> pick(std::begin(weights), std::end(weights));
        ++c_.ops;
        switch (pick(rng_)) {
            case 0:
                ReadSettings();
                break;
            case 1:
                SaveSettings();
                break;
            case 2:
                PasswordSet();
                break;
            case 3:
                CheckPassword();
                break;
            case 4:
                ReceiveSettings();
                break;
            case 5:
                Send();
                break;
            case 6:
                Count();
                break;
            case 7:
                List();
                break;
            case 8:
                Fetch();
                break;
            case 9:
                Log();
                break;
            case 10:
                Remove();
                break;
            case 11:
                WaitAndCancel();
                break;
            default:
                Ews();
                break;
        }
    }

    const Counters& counters() const { return c_; }

private:
    void Fail(const char* fmt, ...) {
        ++c_.failures;
        char text[512];
        va_list ap;
        va_start(ap, fmt);
        std::vsnprintf(text, sizeof(text), fmt, ap);
        va_end(ap);
        std::fprintf(stderr, "stress_worker %u: %s\n", id_, text);
    }

    // True when the operation succeeded; a failure is counted and reported.
    bool Expect(const char* what, FAXRESULT r) {
        if (r == FAXRESULT_OK) return true;
        if (r == FAXRESULT_NO_DEVICE) {
            ++c_.no_device;
            Fail("%s: the access lock was not had within its wait", what);
        } else {
            Fail("%s: result %d", what, static_cast<int>(r));
        }
        return false;
    }

    void ReadSettings() {
        DEFAULT_FAX_SETTINGS s;
        std::memset(&s, 0xA5, sizeof(s));
        if (!Expect("read settings", DeviceReadFaxSettings(&s))) return;
        if (std::strcmp(s.Password, stress::kPassword) != 0 || std::strcmp(s.FaxNumber, stress::kOwnNumber) != 0)
            Fail("read settings: password or own number changed");
        // A record one of the workers saved holds its tag in three places.
        unsigned w = 0, n = 0;
        if (std::sscanf(s.FaxName, "stress w=%u n=%u", &w, &n) == 2) {
            char prefix[32];
            std::snprintf(prefix, sizeof(prefix), "p%u.%u", w, n);
            if (std::strcmp(s.Prefix, prefix) != 0 || s.RingPattern != static_cast<FAX_RING_PATTERN>(w) ||
                s.PulseDialing != n)
                Fail("read settings: a record mixed from two saves (%s / %s)", s.FaxName, s.Prefix);
        }
    }

    void SaveSettings() {
        DEFAULT_FAX_SETTINGS s;
        std::memset(&s, 0, sizeof(s));
        const unsigned n = saves_++;
        std::snprintf(s.FaxName, sizeof(s.FaxName), "stress w=%u n=%u", id_, n);
        std::snprintf(s.Prefix, sizeof(s.Prefix), "p%u.%u", id_, n);
        std::snprintf(s.Password, sizeof(s.Password), "%s", stress::kPassword);
        std::snprintf(s.FaxNumber, sizeof(s.FaxNumber), "%s", stress::kOwnNumber);
        s.RingPattern = static_cast<FAX_RING_PATTERN>(id_);
        s.PulseDialing = n;
        Expect("save settings", DeviceSaveFaxSettings(&s));
    }

    void PasswordSet() {
        std::uint8_t flag = 0xEE;
        if (Expect("password set", DeviceCheckFaxPasswordSet(&flag)) && flag != 1) Fail("password set: flag %d", flag);
    }

    void CheckPassword() {
        const bool right = rng_() % 2 == 0;
        std::uint8_t passed = 0xEE;
        if (Expect("check password", DeviceCheckFaxPassword(right ? stress::kPassword : "1357", &passed)) &&
            passed != (right ? 1 : 0))
            Fail("check password: %s password gave %d", right ? "right" : "wrong", passed);
    }

    void ReceiveSettings() {
        std::uint32_t value = 0;
        if (Expect("receive settings", DeviceGetFaxReceiveSettings(&value)) && value != stress::kReceiveValue)
            Fail("receive settings: 0x%08X", value);
    }

    void Send() {
        static const std::uint32_t sizes[] = {17, 100, 4095, 4096, 4097, 10000, 65553, 200000};
        const std::uint32_t size = sizes[rng_() % std::size(sizes)];
        const std::string path = dir_ + "/send.tif";
        const auto fax = stress::MakeFax(id_, sends_seq_++, size);
        std::ofstream(path, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(fax.data()), static_cast<std::streamsize>(fax.size()));
        // To the device's own number now and then, which brings the fax back
        // as a received one, while the device keeps few enough that every
        // name shows in the list.
        const bool to_self = last_count_ < 24 && rng_() % 3 == 0;
        FAX_RECIPIENT to[3];
        std::memset(to, 0, sizeof(to));
        const int numbers = 1 + static_cast<int>(rng_() % 3);
        for (int k = 0; k < numbers; ++k)
            std::snprintf(to[k].PhoneNumber, 32, "556%04u", id_ * 100 + k);  // never the own number
        if (to_self) std::snprintf(to[numbers - 1].PhoneNumber, 32, "%s", stress::kOwnNumber);
        std::snprintf(to[0].Prefix, 32, "9");
        if (!Expect("send", DeviceSendFax(to, static_cast<std::uint32_t>(numbers), path.c_str()))) return;
        ++c_.sends;
        if (to_self) {
            ++c_.self_sends;
            ++last_count_;
        }
    }

    void Count() {
        std::uint32_t count = 99;
        if (!Expect("count", DeviceGetReceivedFaxCount(&count))) return;
        if (count < stress::kKeptFaxes || count > MAX_RECEIVED_FAXES) Fail("count: %u", count);
        last_count_ = count;
    }

    // The names the device lists now; false when the list failed.
    bool Names(std::vector<std::string>& names) {
        FAX_FILENAME entries[MAX_RECEIVED_FAXES];
        std::memset(entries, 0, sizeof(entries));
        if (!Expect("list", DeviceGetReceivedFaxList(entries, MAX_RECEIVED_FAXES))) return false;
        names.clear();
        for (const FAX_FILENAME& e : entries) {
            if (!e.faxPath[0]) break;
            names.emplace_back(e.faxPath);
        }
        for (int k = 0; k < stress::kKeptFaxes; ++k) {
            if (static_cast<int>(names.size()) <= k || names[k] != stress::KeptName(k)) {
                Fail("list: the kept faxes are not the first names");
                return false;
            }
        }
        last_count_ = static_cast<std::uint32_t>(names.size());
        return true;
    }

    void List() {
        std::vector<std::string> names;
        Names(names);
    }

    bool Mine(const std::string& name) const {
        unsigned n = 0;
        return std::sscanf(name.c_str(), "fax%u.tif", &n) == 1 && n % kWorkers == id_ % kWorkers;
    }

    // A name this worker may fetch: a kept fax, or one of its own.
    bool PickFetchable(std::string& name) {
        std::vector<std::string> names;
        if (!Names(names)) return false;
        std::vector<std::string> choice(names.begin(), names.begin() + stress::kKeptFaxes);
        for (const auto& n : names)
            if (Mine(n)) choice.push_back(n);
        name = choice[rng_() % choice.size()];
        return true;
    }

    void Fetch() {
        std::string name;
        if (!PickFetchable(name)) return;
        FAX_FILENAME fax;
        std::memset(&fax, 0, sizeof(fax));
        std::snprintf(fax.faxPath, sizeof(fax.faxPath), "%s", name.c_str());
        const std::string path = dir_ + "/fetched.tif";
        if (!Expect("fetch", DeviceGetReceivedFax(&fax, path.c_str()))) return;
        std::ifstream in(path, std::ios::binary);
        const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!stress::IsFax(bytes.data(), bytes.size())) {
            Fail("fetch %s: %zu bytes, not the fax", name.c_str(), bytes.size());
        } else if (name.rfind("keep-", 0) == 0 &&
                   bytes != stress::MakeFax(stress::kKeptSender, static_cast<std::uint32_t>(name[5] - '0'),
                                            stress::KeptSize(name[5] - '0'))) {
            Fail("fetch %s: another fax than the one of that name", name.c_str());
        }
        ++c_.downloads;
    }

    void Log() {
        std::string name;
        if (!PickFetchable(name)) return;
        FAX_FILENAME fax;
        std::memset(&fax, 0, sizeof(fax));
        std::snprintf(fax.faxPath, sizeof(fax.faxPath), "%s", name.c_str());
        FAX_LOG_ENTRY entry;
        std::memset(&entry, 0x5A, sizeof(entry));
        if (!Expect("log entry", DeviceGetFaxLogEntry(&fax, &entry))) return;
        if (std::strncmp(entry.FileName, name.c_str(), sizeof(entry.FileName)) != 0 || entry.FaxType != 1)
            Fail("log entry of %s: names %.35s, type %u", name.c_str(), entry.FileName, entry.FaxType);
    }

    void Remove() {
        std::vector<std::string> names;
        if (!Names(names)) return;
        for (const auto& n : names) {
            if (!Mine(n)) continue;
            FAX_FILENAME fax;
            std::memset(&fax, 0, sizeof(fax));
            std::snprintf(fax.faxPath, sizeof(fax.faxPath), "%s", n.c_str());
            if (Expect("remove", DeviceRemoveReceivedFax(&fax))) ++c_.removes;
            return;
        }
    }

    // A wait released by cancels from this thread; another worker's cancel
    // may release it first, and a queued event ends it at once.
    void WaitAndCancel() {
        FAX_STATUS_ENUM event = static_cast<FAX_STATUS_ENUM>(77);
        std::atomic<int> status{-1};
        std::thread waiter([&] { status = WaitForReceivedFax(&event); });
        while (status.load() < 0) {
            const FAXSTATUS s = CancelIO();
            if (s != FAXSTATUS_OK) Fail("cancel: status %d", static_cast<int>(s));
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        waiter.join();
        ++c_.waits;
        if (status == FAXSTATUS_OK) {
            if (event != e_ReceivedFaxAvailable) Fail("wait: event %d", static_cast<int>(event));
        } else if (status == FAXSTATUS_NO_DEVICE) {
            ++c_.no_device;
            Fail("wait: the access lock was not had within its wait");
        } else if (status != FAXSTATUS_CMD_FAIL) {
            Fail("wait: status %d", status.load());
        } else if (event != static_cast<FAX_STATUS_ENUM>(77)) {
            Fail("wait: a cancelled wait stored an event");
        } else {
            ++c_.cancelled;
        }
    }

    // The status page over the pass-through object, whose answer says how
    // long it is.
    void Ews() {
        Ref<IIUSBEWS> ews;
        if (CreateObject(CLSID_IUSBEWS, IID_IIUSBEWS, ews) != S_OK) return Fail("ews: no object");
        FAXSTATUS s = FAXSTATUS_CMD_FAIL;
        ews->OpenEWS(&s);
        if (s != FAXSTATUS_OK) return Fail("ews: open %d", static_cast<int>(s));
        unsigned char get[] = "GET /status.json HTTP/1.1\r\n\r\n";
        int n = 0;
        ews->WriteEWS(get, sizeof(get) - 1, &n, &s);
        if (s != FAXSTATUS_OK) return Fail("ews: write %d", static_cast<int>(s));
        std::string head;
        while (head.size() < 4096 && head.find("\r\n\r\n") == std::string::npos) {
            unsigned char ch = 0;
            ews->ReadEWS(&ch, 1, &n, &s);
            if (s != FAXSTATUS_OK) return Fail("ews: read %d", static_cast<int>(s));
            head += static_cast<char>(ch);
        }
        const std::size_t at = head.find("Content-Length: ");
        if (head.rfind("HTTP/1.1 200", 0) != 0 || at == std::string::npos) return Fail("ews: answer %s", head.c_str());
        std::vector<unsigned char> body(std::strtoul(head.c_str() + at + 16, nullptr, 10));
        ews->ReadEWS(body.data(), static_cast<int>(body.size()), &n, &s);
        if (s != FAXSTATUS_OK) return Fail("ews: body %d", static_cast<int>(s));
        if (std::string(body.begin(), body.end()).find("\"received_faxes\":") == std::string::npos)
            Fail("ews: status page without its counts");
        ews->CloseEWS(&s);
    }

    std::uint32_t id_;
    std::mt19937 rng_;
    std::string dir_;
    Counters c_;
    unsigned saves_ = 0;
    std::uint32_t sends_seq_ = 0;
    std::uint32_t last_count_ = stress::kKeptFaxes;
};

int Run(std::uint32_t id, int ops, std::uint32_t seed) {
    const char* devices = std::getenv("TESSALINE_DEVICE_DIR");
    const std::string dir = std::string(devices ? devices : "/tmp") + "/worker" + std::to_string(id);
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) return 1;
    Worker w(id, seed, dir);
    for (int i = 0; i < ops; ++i) w.RunOne();
    const Counters& c = w.counters();
    std::printf(
        "ops=%d sends=%d self_sends=%d removes=%d downloads=%d waits=%d cancelled=%d no_device=%d failures=%d\n", c.ops,
        c.sends, c.self_sends, c.removes, c.downloads, c.waits, c.cancelled, c.no_device, c.failures);
    std::fflush(stdout);
    return c.failures == 0 ? 0 : 1;
}

int Upload(std::uint32_t size) {
    const char* devices = std::getenv("TESSALINE_DEVICE_DIR");
    const std::string path = std::string(devices ? devices : "/tmp") + "/upload-" + std::to_string(getpid()) + ".tif";
    {
        const auto fax = stress::MakeFax(0xAAAA, 0, size);
        std::ofstream(path, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(fax.data()), static_cast<std::streamsize>(fax.size()));
    }
    FAX_RECIPIENT to;
    std::memset(&to, 0, sizeof(to));
    std::snprintf(to.PhoneNumber, sizeof(to.PhoneNumber), "5551234");
    const FAXRESULT r = DeviceSendFax(&to, 1, path.c_str());
    std::printf("%d\n", static_cast<int>(MapFaxResult(r, FAXSTATUS_CMD_FAIL)));
    std::fflush(stdout);
    // Stays alive, its operation over, until told to go: whoever started it
    // can look at the access lock meanwhile.
    char ch;
    while (read(0, &ch, 1) > 0) {
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 5 && std::strcmp(argv[1], "run") == 0)
        return Run(static_cast<std::uint32_t>(std::atoi(argv[2])), std::atoi(argv[3]),
                   static_cast<std::uint32_t>(std::strtoul(argv[4], nullptr, 10)));
    if (argc >= 3 && std::strcmp(argv[1], "upload") == 0)
        return Upload(static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10)));
    return 64;
}

// The receive job: drain the device into a folder, wait for fax events,
// and keep going across the device's absences until asked to stop.
#include "tools/receive.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "tools/command_support.h"
#include "tools/deadline.h"
#include "tools/documents/documents.h"
#include "tools/output.h"
#include "tools/os/child_process.h"
#include "tools/os/files.h"
#include "tools/os/process.h"
#include "tools/retry.h"

namespace cli {
namespace {

// The file name a fax is stored under: the last component of the device's
// name, so that no name can lead outside the folder. Names that are no file
// name, or that would be hidden (the job's own temporary files start with a
// dot), give "".
std::string LocalName(const std::string& device_name) {
    const std::size_t slash = device_name.find_last_of("/\\");
    std::string name = slash == std::string::npos ? device_name : device_name.substr(slash + 1);
    if (name.empty() || name[0] == '.') return "";
    return name;
}

// Whether two files hold the same bytes.
bool SameContent(const std::string& a, const std::string& b) {
    std::FILE* fa = std::fopen(a.c_str(), "rb");
    std::FILE* fb = std::fopen(b.c_str(), "rb");
    bool same = fa && fb;
    std::vector<char> ba(65536), bb(65536);
    while (same) {
        const std::size_t na = std::fread(ba.data(), 1, ba.size(), fa), nb = std::fread(bb.data(), 1, bb.size(), fb);
        if (na != nb || std::memcmp(ba.data(), bb.data(), na) != 0 || std::ferror(fa) || std::ferror(fb)) same = false;
        if (na == 0) break;
    }
    if (fa) std::fclose(fa);
    if (fb) std::fclose(fb);
    return same;
}

// NAME.tif -> NAME-2.tif, NAME-3.tif, ...
std::string Numbered(const std::string& name, int n) {
    const std::size_t dot = name.rfind('.');
    const std::string stem = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
    const std::string ext = dot == std::string::npos || dot == 0 ? "" : name.substr(dot);
    return stem + "-" + std::to_string(n) + ext;
}

std::string WithExtension(const std::string& path, const std::string& ext) {
    // Either separator: the folder may be written with backslashes on Windows.
    const std::size_t slash = path.find_last_of("/\\");
    const std::size_t dot = path.rfind('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash + 1)) return path.substr(0, dot) + ext;
    return path + ext;
}

class Job {
public:
    Job(const ReceiveOptions& options, const ReceiveReport& report) : o_(options), report_(report) {
        if (!Create(CLSID_USBFAX, IID_IUSBFAX, fax_)) fax_.reset();
    }

    int Run();
    // Stops the job: at the time limit, or at a signal's request.
    void RequestStop(bool timed_out, int signal = 0);
    int StopSignal() const { return signal_.load(); }
    bool MoreMayExist() const { return more_may_exist_; }

private:
    enum class Phase { Working, Waiting, Sleeping };

    FAXSTATUS Drain(int& failures);
    // Handles one fax; false when the device is gone and the drain is to end.
    bool Handle(const std::string& name, int& failures);
    bool Store(FaxOutcome& out, FAX_FILENAME& fax_name, const std::string& local);
    void SleepFor(double seconds);
    // One call to the device, tried again while the device is busy or
    // another program holds its access lock, as --retry says (by default for
    // up to 30 s): the job waits between faxes rather than fail one.
    FAXSTATUS Try(const std::function<FAXSTATUS()>& call);
    bool Stopping() const { return stop_.load(); }
    void Notice(const std::string& text) {
        if (report_.notice) report_.notice(text);
    }

    const ReceiveOptions& o_;
    const ReceiveReport& report_;
    // The USBFAX object for the life of the job (it keeps no state between
    // calls: each method is one conversation of its own).
    Ref<IUSBFAX> fax_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> timed_out_{false};
    std::atomic<int> signal_{0};
    std::atomic<Phase> phase_{Phase::Working};
    int removed_ = 0;             // faxes removed from the device so far
    int hook_failures_ = 0;       // faxes stored whose hook failed
    bool more_may_exist_ = false;  // a drain ended on a full list
    std::mutex mu_;
    std::condition_variable cv_;
    std::mutex cancel_mu_;  // the signal thread and the timer may both stop the job
};

void Job::RequestStop(bool timed_out, int signal) {
    if (timed_out) timed_out_.store(true);
    if (signal) {
        int none = 0;
        signal_.compare_exchange_strong(none, signal);
    }
    {
        std::lock_guard<std::mutex> lock(mu_);
        stop_.store(true);
    }
    cv_.notify_all();
    // The wait is released with CancelIO. A cancel that comes just before
    // the wait reaches the device would be lost, so it is repeated while the
    // job still waits. A download under way is let finish: CancelIO would
    // end it half done (and the transfers of other programs with it).
    std::lock_guard<std::mutex> cancelling(cancel_mu_);
    while (phase_.load() == Phase::Waiting) {
        CancelFaxIo();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

FAXSTATUS Job::Try(const std::function<FAXSTATUS()>& call) {
    RetryPolicy policy;
    policy.budget_seconds = o_.wait_seconds;
    policy.who = "tessaline receive";
    policy.obstacle = [](FAXSTATUS s) { return ObstacleOf(s, "receive"); };
    policy.stopping = [this] { return Stopping(); };
    policy.say = [this](const std::string& line) { Notice(line.substr(std::strlen("tessaline receive: "))); };
    return Attempt(policy, [&] {
        MarkCallStart();
        return call();
    });
}

void Job::SleepFor(double seconds) {
    std::unique_lock<std::mutex> lock(mu_);
    phase_.store(Phase::Sleeping);
    cv_.wait_for(lock, std::chrono::duration<double>(seconds), [this] { return stop_.load(); });
    phase_.store(Phase::Working);
}

bool Job::Store(FaxOutcome& out, FAX_FILENAME& fax_name, const std::string& local) {
    doc::TempFile temp;
    std::string error;
    if (!temp.Create(o_.dir, ".part", error)) {
        out.error = error;
        return true;
    }
    FAXSTATUS s = FAXSTATUS_CMD_FAIL;
    std::string path = temp.Path();
    Try([&] {
        fax_->GetReceivedFax(&fax_name, path.data(), &s);
        return s;
    });
    out.status = s;
    if (s != FAXSTATUS_OK) {
        out.error = "the download failed";
        return s != FAXSTATUS_NO_DEVICE;
    }
    std::string why;
    out.verified = doc::VerifyFaxImage(temp.Path(), out.pages, why);
    if (!out.verified) out.warning = "it is no readable fax image (" + why + "); stored as the device sent it";

    // A fax whose name is already in the folder: the same fax stored by an
    // earlier run that stopped before removing it, or a new fax under a name
    // the device uses again. Only with --remove does the job look: without
    // it the faxes stay on the device, and a name in the folder is one
    // already stored.
    std::string target = JoinPath(o_.dir, local);
    for (int n = 2; FileExists(target); ++n) {
        if (SameContent(target, temp.Path())) {
            out.already_stored = true;
            out.path = target;
            return true;
        }
        target = JoinPath(o_.dir, Numbered(local, n));
    }
    for (int n = 2;; ++n) {
        if (PutInPlace(temp.Path(), target)) break;
        if (errno != EEXIST || n > 1000) {
            out.error = "cannot store " + target + ": " + std::strerror(errno);
            out.verified = false;
            return true;
        }
        target = JoinPath(o_.dir, Numbered(local, n));
    }
    out.path = target;
    GiveDefaultMode(target);
    // The checks named the hidden download; the fax now has its own name.
    for (std::size_t at; (at = out.warning.find(temp.Path())) != std::string::npos;)
        out.warning.replace(at, temp.Path().size(), target);
    if (o_.pdf) {
        doc::TempFile pdf;
        int pages = 0;
        std::string message;
        const std::string pdf_target = WithExtension(target, ".pdf");
        if (!pdf.Create(o_.dir, ".part", message) ||
            doc::FaxToPdf(temp.Path(), pdf.Path(), pages, message) != doc::Outcome::Ok) {
            out.error += (out.error.empty() ? "" : "; ") + ("no PDF: " + message);
        } else if (!PutInPlace(pdf.Path(), pdf_target)) {
            out.error += (out.error.empty() ? "" : "; ") +
                         ("cannot store " + pdf_target + ": " + std::strerror(errno));
        } else {
            out.pdf_path = pdf_target;
            GiveDefaultMode(pdf_target);
        }
    }
    return true;
}

bool Job::Handle(const std::string& name, int& failures) {
    FaxOutcome out;
    out.name = name;
    FAX_FILENAME fax_name{};
    std::memcpy(fax_name.faxPath, name.data(), std::min(name.size(), sizeof(fax_name.faxPath) - 1));
    const std::string local = LocalName(name);
    if (local.empty()) {
        out.error = "the device's name is no file name; the fax is left on the device";
        out.status = FAXSTATUS_CMD_FAIL;
        ++failures;
        if (report_.fax) report_.fax(out);
        return true;
    }
    // Without --remove, a name already in the folder is a fax already stored.
    if (!o_.remove && FileExists(JoinPath(o_.dir, local))) return true;

    FAXSTATUS log_status = FAXSTATUS_CMD_FAIL;
    Try([&] {
        fax_->GetFaxLogEntry(&fax_name, &out.log, &log_status);
        return log_status;
    });
    out.have_log = log_status == FAXSTATUS_OK;
    if (log_status == FAXSTATUS_NO_DEVICE) return false;

    const bool device_there = Store(out, fax_name, local);
    if (!device_there) return false;
    if (out.path.empty()) {
        ++failures;
        if (report_.fax) report_.fax(out);
        return true;
    }
    if (!out.already_stored && !o_.exec.empty()) {
        std::vector<std::pair<std::string, std::string>> env = {
            {"TESSALINE_FAX_NAME", name}, {"TESSALINE_FAX_PATH", out.path}, {"TESSALINE_FAX_PDF", out.pdf_path}};
        if (out.have_log) {
            const FAX_LOG_ENTRY& e = out.log;
            env.insert(env.end(), {{"TESSALINE_FAX_TIME", LogTime(e.SendTime)},
                                   // The stored file's count where it was read: the log's
                                   // byte stops at 255.
                                   {"TESSALINE_FAX_PAGES", out.verified && out.pages > 0
                                                               ? std::to_string(out.pages)
                                                               : std::to_string(e.Pages)},
                                   {"TESSALINE_FAX_SENDER", Field(e.CIS, sizeof(e.CIS))},
                                   {"TESSALINE_FAX_DURATION", std::to_string(e.Duration)},
                                   {"TESSALINE_FAX_STATUS", std::to_string(e.FAXSTATUS)},
                                   {"TESSALINE_FAX_TYPE", std::to_string(e.FaxType)}});
        }
        // The fax is stored whatever the hook does: a failing hook is told
        // as such, and the fax is not fetched again.
        bool ended = false;
        out.hook_status = RunHook(o_.exec, out.path, env, o_.exec_timeout, [this] { return Stopping(); }, ended);
        if (ended)
            out.hook_error = Stopping() ? "the hook was ended as the job stopped"
                                        : "the hook ran longer than --exec-timeout and was ended";
        else if (out.hook_status != 0)
            out.hook_error = out.hook_status < 0 ? "the hook could not be run"
                                                 : "the hook exited with " + std::to_string(out.hook_status);
        if (!out.hook_error.empty()) ++hook_failures_;
    }
    // Removed only what is stored whole and reads as the fax image it is.
    if (o_.remove && !out.verified) {
        out.error += (out.error.empty() ? "" : "; ") + std::string("left on the device, as it is no fax image");
    } else if (o_.remove) {
        FAXSTATUS s = FAXSTATUS_CMD_FAIL;
        Try([&] {
            fax_->RemoveReceivedFax(&fax_name, &s);
            return s;
        });
        out.removed = s == FAXSTATUS_OK;
        if (out.removed) ++removed_;
        if (!out.removed) {
            out.status = s;
            out.error += (out.error.empty() ? "" : "; ") + std::string("it could not be removed from the device");
        }
    }
    if (!out.error.empty()) ++failures;
    if (report_.fax) report_.fax(out);
    return true;
}

FAXSTATUS Job::Drain(int& failures) {
    // The device lists at most 40 faxes; when removals make room, the list
    // is fetched again until it is short or a round removes nothing.
    for (;;) {
        FAX_FILENAME names[MAX_RECEIVED_FAXES];
        std::memset(names, 0, sizeof(names));
        FAXSTATUS s = FAXSTATUS_CMD_FAIL;
        Try([&] {
            fax_->GetReceivedFaxList(names, MAX_RECEIVED_FAXES, &s);
            return s;
        });
        if (s != FAXSTATUS_OK) return s;
        std::vector<std::string> list;
        for (const FAX_FILENAME& n : names) {
            std::string name = Field(n.faxPath, sizeof(n.faxPath));
            if (name.empty()) break;
            list.push_back(name);
        }
        const int removed_before = removed_;
        for (const std::string& name : list) {
            if (Stopping()) return FAXSTATUS_OK;
            if (!Handle(name, failures)) return FAXSTATUS_NO_DEVICE;
        }
        const bool full = list.size() >= MAX_RECEIVED_FAXES;
        // A full list may hide more faxes. With --remove each round makes
        // room, and the next one shows what was behind; a round that removed
        // nothing would only show the same names again.
        if (full && (!o_.remove || removed_ == removed_before) && !more_may_exist_) {
            more_may_exist_ = true;
            Notice(MoreMayExistText());
        }
        if (!o_.remove || !full || removed_ == removed_before) return FAXSTATUS_OK;
    }
}

int Job::Run() {
    if (!fax_) {
        std::fprintf(stderr, "tessaline receive: cannot create the USBFAX object\n");
        return FAXSTATUS_MEMALLOC;
    }
    std::thread timer;
    std::mutex timer_mu;
    std::condition_variable timer_cv;
    bool finished = false;
    if (o_.timeout > 0) {
        timer = std::thread([&] {
            std::unique_lock<std::mutex> lock(timer_mu);
            if (!timer_cv.wait_for(lock, std::chrono::duration<double>(o_.timeout), [&] { return finished; })) {
                lock.unlock();
                RequestStop(true);
            }
        });
    }
    double delay = 1;
    bool lost = false;
    int failures = 0;
    int status = 0;
    while (!Stopping()) {
        const FAXSTATUS s = Drain(failures);
        if (Stopping()) break;
        if (s != FAXSTATUS_OK) {
            if (o_.once) {
                status = s;
                break;
            }
            if (!lost)
                Notice("the device cannot be reached (" + std::to_string(static_cast<int>(s)) +
                       "); trying again with a growing delay");
            lost = true;
            SleepFor(delay);
            delay = std::min(delay * 2, o_.retry_max);
            continue;
        }
        if (lost) Notice("the device is back");
        lost = false;
        delay = 1;
        if (o_.once) {
            status = failures ? kIncomplete : hook_failures_ ? kHookFailed : 0;
            break;
        }
        FAX_STATUS_ENUM event = e_NoFaxesAvailable;
        FAXSTATUS ws = FAXSTATUS_CMD_FAIL;
        phase_.store(Phase::Waiting);
        if (!Stopping()) fax_->WaitForReceivedFax(&event, &ws);
        phase_.store(Phase::Working);
        if (Stopping()) break;
        if (ws != FAXSTATUS_OK) {
            // Cancelled by someone else, a device that went away mid-wait,
            // or one whose driver has no events: look again after a pause
            // (the drain finds what came meanwhile).
            SleepFor(delay);
            delay = std::min(delay * 2, o_.retry_max);
        }
    }
    if (timer.joinable()) {
        {
            std::lock_guard<std::mutex> lock(timer_mu);
            finished = true;
        }
        timer_cv.notify_all();
        timer.join();
    }
    if (timed_out_.load()) return kTimedOut;
    if (Stopping()) Notice("stopped");
    return status;
}

}  // namespace

std::string LogTime(const FAX_TIME& t) {
    char buf[48];
    std::snprintf(buf, sizeof(buf), "%04d-%02d-%02d %02d:%02d:%02d", 2000 + t.year, t.month, t.day, t.hour, t.min,
                  t.sec);
    return buf;
}

int Receive(const ReceiveOptions& options, const ReceiveReport& report, ReceiveSummary& summary) {
    if (StatPath(options.dir) != PathKind::Directory) {
        std::fprintf(stderr, "tessaline receive: %s is not a directory\n", options.dir.c_str());
        return kLocalFileError;
    }
    Job job(options, report);
    OnStopSignals([&job](int signal) { job.RequestStop(false, signal); });
    int status = job.Run();
    RestoreStopSignals();
    summary.signal = job.StopSignal();
    summary.more_may_exist = job.MoreMayExist();
    // A signal is how the unattended job is meant to stop; --once, stopped
    // before it has drained the device, did not do its work.
    if (summary.signal && options.once && status != kTimedOut) status = InterruptedStatus(summary.signal);
    return status;
}

}  // namespace cli

// The tool's commands of sending and of the fax events: send, wait, cancel.
#include "tools/command_support.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include "tools/deadline.h"
#include "tools/documents/documents.h"
#include "tools/input_checks.h"
#include "tools/journal.h"
#include "tools/progress.h"

namespace cli {

namespace {

// The outcome of preparing a file, as the command's status.
int PreparationFailed(const Output& out, doc::Outcome o, const std::string& message, const std::string& file,
                      const doc::Detected& detected) {
    JsonObject data;
    data.Str("file", file).Raw("kind", detected.description.empty() ? "null" : JsonString(detected.description));
    switch (o) {
        case doc::Outcome::Refused:
            return out.Fail(kRefused, "refused", message, data);
        case doc::Outcome::Unreadable:
            return out.Fail(kLocalFileError, "unreadable", message, data);
        case doc::Outcome::Unavailable:
            return out.Fail(kUnavailable, "unavailable", message, data);
        case doc::Outcome::Failed:
        case doc::Outcome::Ok:
            break;
    }
    return out.Fail(kCannotWrite, "cannot_write", message, data);
}

}  // namespace

int RunSend(const Output& out, const Parsed& args) {
    const std::string prefix = args.Value("--prefix");
    if (args.positional.size() < 2) return out.Usage("send needs a FILE and at least one NUMBER");
    const std::string file = args.positional[0];
    const std::vector<std::string> numbers(args.positional.begin() + 1, args.positional.end());
    std::string error;
    if (!FitsField(prefix, 32, "the prefix", error)) return out.Usage(error);
    if (const std::string problem = prefix.empty() ? "" : DialNumberProblem(prefix); !problem.empty())
        return out.Usage("the prefix '" + prefix + "' " + problem);
    std::vector<FAX_RECIPIENT> to(numbers.size());
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        // The device dials nothing for an empty number.
        if (numbers[i].empty()) return out.Usage("NUMBER " + std::to_string(i + 1) + " is empty");
        // Refused here, before the device dials something else.
        if (const std::string problem = DialNumberProblem(numbers[i]); !problem.empty()) {
            std::string message = "NUMBER '" + numbers[i] + "' " + problem;
            if (StatPath(numbers[i]) != PathKind::Missing)
                message += "; it names a file: did you mean to send it? send takes one FILE, then the numbers";
            return out.Usage(message);
        }
        if (!FitsField(numbers[i], 32, "a number", error)) return out.Usage(error);
        std::memset(&to[i], 0, sizeof(to[i]));
        std::memcpy(to[i].Prefix, prefix.data(), prefix.size());
        std::memcpy(to[i].PhoneNumber, numbers[i].data(), numbers[i].size());
    }
    // "-": the document comes on standard input, kept in a temporary file
    // (removed on every path) and then judged like any file.
    doc::TempFile from_stdin;
    std::string source = file;
    if (file == "-") {
        doc::RemoveTempFilesOnSignals();
        std::string why;
        if (!from_stdin.Create(TempDirectory(), ".in", why)) return out.Fail(kCannotWrite, "cannot_write", why);
        UseBinary(stdin);
        std::FILE* f = std::fopen(from_stdin.Path().c_str(), "wb");
        bool ok = f != nullptr;
        char buf[65536];
        for (std::size_t n; ok && (n = std::fread(buf, 1, sizeof(buf), stdin)) > 0;) ok = std::fwrite(buf, 1, n, f) == n;
        const bool read_fail = std::ferror(stdin) != 0;
        if (f && std::fclose(f) != 0) ok = false;
        if (read_fail) return out.LocalFailure("cannot read standard input", file);
        if (!ok) return out.Fail(kCannotWrite, "cannot_write", "cannot keep standard input in " + from_stdin.Path());
        source = from_stdin.Path();
    } else if (const std::string wrong = CheckInputFile(file); !wrong.empty()) {
        return out.LocalFailure(wrong, file);
    }
    const bool raw = args.Has("--raw");
    doc::FaxOptions options;
    if (args.Has("--resolution")) {
        const std::string value = args.Value("--resolution");
        if (value != "fine" && value != "normal") return out.Usage("--resolution takes fine or normal");
        options.resolution = value == "fine" ? doc::Resolution::Fine : doc::Resolution::Normal;
        options.resolution_given = true;
    }
    const bool paper_given = args.Has("--paper");
    if (paper_given) {
        const std::string value = args.Value("--paper");
        if (value != "a4" && value != "letter") return out.Usage("--paper takes a4 or letter");
        options.paper = value == "a4" ? doc::Paper::A4 : doc::Paper::Letter;
    }
    if (raw && options.resolution_given) return out.Usage("--raw sends the file as it is: it takes no --resolution");
    if (raw && paper_given) return out.Usage("--raw sends the file as it is: it takes no --paper");

    // What goes to the device: the file itself (a fax image, or anything
    // with --raw), or its conversion, in a temporary file removed on every
    // path, a stopping signal included.
    doc::Prepared prepared;
    std::string send_path = source;
    // On a terminal: the page being converted, then the upload's time.
    ProgressLine progress(!out.json && StandardErrorIsTerminal());
    const std::string shown = file == "-" ? "standard input" : file;
    if (progress.Shown())
        options.on_page = [&](int page, int pages) {
            progress.Show("converting " + shown + ": page " + std::to_string(page) +
                          (pages > 0 ? " of " + std::to_string(pages) : std::string()));
        };
    if (!raw) {
        if (!paper_given) options.paper = doc::DefaultPaper();
        doc::RemoveTempFilesOnSignals();
        std::string message;
        const doc::Outcome o = doc::PrepareForFax(source, options, prepared, message);
        // The messages name what the user gave, not the temporary file.
        if (file == "-")
            for (std::size_t at; (at = message.find(source)) != std::string::npos;)
                message.replace(at, source.size(), "standard input");
        progress.Clear();
        if (o != doc::Outcome::Ok) return PreparationFailed(out, o, message, file, prepared.detected);
        send_path = prepared.path;
    }
    Ref<IUSBFAX> fax;
    if (!Create(CLSID_USBFAX, IID_IUSBFAX, fax)) return NoObject("USBFAX");
    FAXSTATUS s = FAXSTATUS_CMD_FAIL;
    long long send_size = -1;
    StatPath(send_path, &send_size);
    std::optional<TransferProgress> sending(std::in_place, progress, "sending " + shown,
                                            [send_size] { return send_size; });
    out.Attempt([&] {
        fax->SendFax(send_path.data(), static_cast<unsigned int>(to.size()), to.data(), &s);
        return s;
    });
    sending.reset();
    prepared.temp.Remove();
    std::vector<std::string> json;
    for (const auto& n : numbers) json.push_back(JsonString(n));
    const std::size_t recipients = numbers.size();
    JsonObject data;
    data.Num("recipients", static_cast<long long>(recipients)).Bool("raw", raw);
    if (!raw) {
        // A build that reads no TIFF sends one uncounted: no pages member.
        if (prepared.pages > 0) data.Num("pages", prepared.pages);
        data.Str("kind", prepared.detected.description).Bool("converted", prepared.converted);
    }
    // The journal records every send the device was asked to do.
    JsonObject record;
    record.Str("file", file == "-" ? "-" : ResolvedPath(file).empty() ? file : ResolvedPath(file))
        .Raw("numbers", JsonArray(json));
    if (!raw && prepared.pages > 0) record.Num("pages", prepared.pages);
    record.Num("status", s).Str("status_name", StatusName(s)).Num("exit_status", s);
    Journal("send", record);
    return out.Finish(s, data, [&] {
        if (raw) {
            std::printf("sent %s unexamined to %zu recipient(s); the device accepted the job\n", shown.c_str(),
                        recipients);
        } else if (prepared.pages == 0) {
            std::printf("sent %s (%s, as it is) to %zu recipient(s); the device accepted the job\n", shown.c_str(),
                        prepared.detected.description.c_str(), recipients);
        } else {
            std::printf("sent %d page(s) of %s (%s%s) to %zu recipient(s); the device accepted the job\n",
                        prepared.pages, shown.c_str(), prepared.detected.description.c_str(),
                        prepared.converted ? ", converted" : ", as it is", recipients);
        }
    }, Diagnose(s, "send"), JsonObject().Str("file", file).Raw("numbers", JsonArray(json)));
}

int RunWait(const Output& out, const Parsed& args) {
    // A time limit (--timeout, which every command takes) releases the wait
    // with CancelIO; Finish reports it.
    if (!args.positional.empty()) return out.Usage("wait takes no arguments");
    Ref<IUSBFAX> fax;
    if (!Create(CLSID_USBFAX, IID_IUSBFAX, fax)) return NoObject("USBFAX");
    FAX_STATUS_ENUM event = e_NoFaxesAvailable;
    FAXSTATUS s = FAXSTATUS_CMD_FAIL;
    out.Attempt([&] {
        fax->WaitForReceivedFax(&event, &s);
        return s;
    });
    return out.Finish(s, JsonObject().Num("event", event).Str("event_name", EventName(event)),
                      [&] { std::printf("%s (%d)\n", EventName(event), static_cast<int>(event)); }, Diagnose(s, "wait"));
}

int RunCancel(const Output& out, const Parsed& args) {
    if (!args.positional.empty()) return out.Usage("cancel takes no arguments");
    Ref<IUSBFAX> fax;
    if (!Create(CLSID_USBFAX, IID_IUSBFAX, fax)) return NoObject("USBFAX");
    FAXSTATUS s = FAXSTATUS_CMD_FAIL;
    fax->CancelIO(&s);
    return out.Finish(s, JsonObject(), [] { std::printf("pending I/O on the fax channel cancelled\n"); });
}

}  // namespace cli

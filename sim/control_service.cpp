// Carrying out control commands on the running firmware.
#include "sim/control_service.h"

#include <cstdio>

#include "sim/device_clock.h"
#include "sim/json_text.h"

namespace sim {
namespace {

Bytes Field(const std::string& s) { return Bytes(s.begin(), s.end()); }

std::string Text(const Bytes& b) { return std::string(b.begin(), b.end()); }

std::string StatusText(const std::optional<std::uint32_t>& status) {
    return status ? std::to_string(*status) : "-";
}

}  // namespace

ControlService::ControlService(Firmware& fw, std::vector<Rule> start_rules)
    : fw_(fw), start_rules_(std::move(start_rules)) {
    for (const Rule& r : start_rules_) fw_.script().Add(r);
    start_ = fw_.state().Snapshot();
}

Bytes ControlService::Handle(const Bytes& request) {
    std::lock_guard<std::mutex> g(mu_);
    Answer a;
    std::vector<Bytes> fields;
    ctl::Command command;
    std::string error;
    if (!ctl::DecodeFields(request.data(), request.size(), fields) || fields.size() < 2 ||
        Text(fields[0]) != ctl::kVersion) {
        a.status = ctl::kExitUsage;
        a.err = Cat("tessaline-simd: not a control request this device understands (", ctl::kVersion, ")\n");
    } else {
        std::vector<std::string> words;
        for (std::size_t i = 2; i < fields.size(); ++i) words.push_back(Text(fields[i]));
        if (!ctl::ParseCommand(words, command, error)) {
            a.status = ctl::kExitUsage;
            a.err = Cat("tessaline-simd: ctl: ", error, "\n");
        } else {
            a = Run(command, std::move(fields[1]));
        }
    }
    return ctl::EncodeMessage({Field(std::to_string(a.status)), Field(a.out), Field(a.err), std::move(a.data)});
}

ControlService::Answer ControlService::Run(const ctl::Command& c, Bytes attachment) {
    Answer a;
    auto refuse = [&](const std::string& why) {
        a.status = ctl::kExitFailed;
        a.err = Cat("tessaline-simd: ", why, "\n");
        if (c.json) a.out = Cat("{\"error\":", JsonString(why), "}\n");
        return a;
    };
    switch (c.verb) {
        case ctl::Command::Status: return Status(c.json);
        case ctl::Command::Receive: {
            Arrival arrival;
            arrival.data = std::move(attachment);
            arrival.cis = c.has_cis ? c.cis : c.from;
            arrival.name = c.name;
            std::string name, error;
            if (!fw_.state().Receive(std::move(arrival), name, error)) return refuse(Cat("receive: ", error));
            a.out = c.json ? Cat("{\"name\":", JsonString(name), "}\n") : Cat(name, "\n");
            return a;
        }
        case ctl::Command::FaultAdd: {
            const std::uint32_t id = fw_.script().Add(c.rule);
            a.out = c.json ? Cat("{\"id\":", std::to_string(id), "}\n") : Cat(std::to_string(id), "\n");
            return a;
        }
        case ctl::Command::FaultList: return FaultList(c.json);
        case ctl::Command::FaultClear: {
            const std::size_t armed = fw_.script().Armed().size();
            fw_.script().Clear();
            a.out = c.json ? Cat("{\"cleared\":", std::to_string(armed), "}\n")
                           : Cat("cleared ", std::to_string(armed), " rule(s)\n");
            return a;
        }
        case ctl::Command::Jobs: return Jobs(c.json);
        case ctl::Command::Job: {
            for (const SentJob& j : fw_.state().Jobs()) {
                if (j.id != c.job) continue;
                if (j.data.size() != j.bytes)
                    return refuse(Cat("job ", std::to_string(c.job), ": its data was not kept (see --keep-job-bytes)"));
                a.data = j.data;
                if (c.json) a.out = Cat("{\"id\":", std::to_string(j.id), ",\"bytes\":", std::to_string(j.bytes), "}\n");
                return a;
            }
            return refuse(Cat("job ", std::to_string(c.job), ": no such job on the device (see ctl jobs)"));
        }
        case ctl::Command::Traffic: return Traffic(c.json, c.last);
        case ctl::Command::Reset:
            fw_.state().Reset(start_);
            fw_.script().Clear();
            for (const Rule& r : start_rules_) fw_.script().Add(r);
            fw_.traffic().Clear();
            a.out = c.json ? "{\"reset\":true}\n" : "reset\n";
            return a;
    }
    return refuse("unknown command");
}

ControlService::Answer ControlService::Status(bool json) const {
    const std::string number = fw_.state().FaxNumber();
    const std::vector<ReceivedFax> faxes = fw_.state().ReceivedFaxes();
    const std::size_t events = fw_.state().PendingEvents();
    const std::size_t jobs = fw_.state().Jobs().size();
    const std::size_t connections = fw_.OpenConnections();
    const std::size_t rules = fw_.script().Armed().size();
    Answer a;
    if (json) {
        a.out = Cat("{\"fax_number\":", JsonString(number), ",\"received_faxes\":[");
        for (std::size_t i = 0; i < faxes.size(); ++i) {
            if (i) a.out += ',';
            a.out += JsonString(faxes[i].name);
        }
        a.out += Cat("],\"pending_events\":", std::to_string(events), ",\"sent_jobs\":", std::to_string(jobs),
                     ",\"open_connections\":", std::to_string(connections), ",\"armed_rules\":",
                     std::to_string(rules), "}\n");
        return a;
    }
    a.out = Cat("fax number:        ", number, "\nreceived faxes:    ", std::to_string(faxes.size()), "\n");
    for (const ReceivedFax& f : faxes) a.out += Cat("  ", f.name, "\n");
    a.out += Cat("pending events:    ", std::to_string(events), "\nsent jobs:         ", std::to_string(jobs),
                 "\nopen connections:  ", std::to_string(connections), "\narmed fault rules: ", std::to_string(rules),
                 "\n");
    return a;
}

ControlService::Answer ControlService::FaultList(bool json) const {
    Answer a;
    const std::vector<Rule> rules = fw_.script().Armed();
    if (json) a.out = "{\"rules\":[";
    for (std::size_t i = 0; i < rules.size(); ++i) {
        const Rule& r = rules[i];
        if (json) {
            a.out += Cat(i ? "," : "", "{\"id\":", std::to_string(r.id), ",\"rule\":", JsonString(ctl::RuleText(r)),
                         ",\"times\":", r.times < 0 ? std::string("null") : std::to_string(r.times), "}");
        } else {
            a.out += Cat(std::to_string(r.id), "  ", ctl::RuleText(r),
                         r.times < 0 ? std::string("  (until cleared)\n")
                                     : Cat("  (", std::to_string(r.times), " more time(s))\n"));
        }
    }
    if (json) a.out += "]}\n";
    return a;
}

ControlService::Answer ControlService::Jobs(bool json) const {
    Answer a;
    const std::vector<SentJob> jobs = fw_.state().Jobs();
    if (json) {
        a.out = "{\"jobs\":[";
    } else {
        a.out = "ID  TIME                 BYTES     PAGES  STATUS  RECIPIENTS\n";
    }
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        const SentJob& j = jobs[i];
        const std::string when = j.time ? DeviceTimeText(j.time) : "";
        if (json) {
            a.out += Cat(i ? "," : "", "{\"id\":", std::to_string(j.id), ",\"time\":",
                         when.empty() ? std::string("null") : JsonString(when), ",\"recipients\":[");
            for (std::size_t k = 0; k < j.recipients.size(); ++k) {
                a.out += Cat(k ? "," : "", "{\"prefix\":", JsonString(j.recipients[k].prefix), ",\"number\":",
                             JsonString(j.recipients[k].number), "}");
            }
            a.out += Cat("],\"bytes\":", std::to_string(j.bytes), ",\"pages\":", std::to_string(j.pages),
                         ",\"status\":", std::to_string(j.outcome), "}");
            continue;
        }
        std::string to;
        for (const Recipient& r : j.recipients) to += Cat(to.empty() ? "" : ", ", r.prefix, r.prefix.empty() ? "" : " ", r.number);
        char line[160];
        std::snprintf(line, sizeof(line), "%-3u %-20s %-9llu %-6u %-7u ", j.id, when.empty() ? "-" : when.c_str(),
                      static_cast<unsigned long long>(j.bytes), j.pages, j.outcome);
        a.out += Cat(line, to, "\n");
    }
    if (json) a.out += "]}\n";
    return a;
}

ControlService::Answer ControlService::Traffic(bool json, std::size_t last) const {
    Answer a;
    const std::vector<Conversation> all = fw_.traffic().Conversations(last);
    if (json) a.out = "{\"conversations\":[";
    for (std::size_t i = 0; i < all.size(); ++i) {
        const Conversation& c = all[i];
        const bool fax = c.channel == Channel::Fax;
        if (json) {
            a.out += Cat(i ? "," : "", "{\"channel\":\"", fax ? "fax" : "ews", "\",\"connection\":",
                         std::to_string(c.connection), ",\"requests\":[");
            for (std::size_t k = 0; k < c.requests.size(); ++k) {
                const RequestSeen& r = c.requests[k];
                a.out += Cat(k ? "," : "", "{\"command\":", fax ? std::to_string(r.command) : JsonString(r.text),
                             ",\"status\":", r.status ? std::to_string(*r.status) : std::string("null"), "}");
            }
            a.out += Cat("],\"omitted\":", std::to_string(c.omitted), "}");
            continue;
        }
        a.out += Cat(fax ? "fax" : "ews", " connection ", std::to_string(c.connection), ":\n");
        for (const RequestSeen& r : c.requests)
            a.out += Cat("  ", fax ? ctl::CommandName(r.command, Channel::Fax) : r.text, "  ", StatusText(r.status), "\n");
        if (c.omitted) a.out += Cat("  ... and ", std::to_string(c.omitted), " more request(s)\n");
    }
    if (json) a.out += "]}\n";
    return a;
}

}  // namespace sim

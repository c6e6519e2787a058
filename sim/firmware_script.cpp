// The fault script of the simulated firmware: the rules tests set, and
// finding the rule that applies to a stage of the fax channel's exchange.
#include <algorithm>

#include "sim/firmware.h"
#include "sim/firmware_parts.h"

namespace sim {
using namespace fw;

void Firmware::Script(const Rule& rule) {
    std::lock_guard<std::mutex> g(mu_);
    if (rules_.empty()) occurrences_.clear();
    rules_.push_back(rule);
}

void Firmware::ClearScript() {
    std::lock_guard<std::mutex> g(mu_);
    rules_.clear();
    occurrences_.clear();
}

std::size_t Firmware::RulesPending() const {
    std::lock_guard<std::mutex> g(mu_);
    return static_cast<std::size_t>(
        std::count_if(rules_.begin(), rules_.end(), [](const Rule& r) { return r.times > 0; }));
}

Rule* Firmware::Match(const Session& s, Stage stage, int index, Fault only, bool any_fault) {
    for (Rule& r : rules_) {
        if (r.times == 0 || r.channel != Channel::Fax || r.command != s.cmd || r.stage != stage) continue;
        if (r.occurrence >= 0 && r.occurrence != s.occurrence) continue;
        if (stage != Stage::Reply && r.index != index) continue;
        if (!any_fault && r.fault != only) continue;
        if (stage != Stage::Reply && !IsTransferFault(r.fault)) continue;
        return &r;
    }
    return nullptr;
}

const Rule* Firmware::FindReplyRule(const Session& s, Fault fault) {
    Rule* r = Match(s, Stage::Reply, 0, fault, false);
    if (r) Fire(r);
    return r;
}

void Firmware::Fire(const Rule* rule) {
    if (!rule) return;
    auto* r = const_cast<Rule*>(rule);
    if (r->times > 0) --r->times;
}

}  // namespace sim

// The fault script of the simulated firmware: the rules armed, and finding
// the rule that applies to a stage of a channel's exchange.
#include "sim/fault_script.h"

#include <algorithm>

#include "base/mfp1_commands.h"

namespace sim {

std::uint32_t FaultScript::Add(Rule rule) {
    std::lock_guard<std::mutex> g(mu_);
    if (rules_.empty()) occurrences_.clear();
    rule.id = next_id_++;
    rules_.push_back(rule);
    return rule.id;
}

void FaultScript::Clear() {
    std::lock_guard<std::mutex> g(mu_);
    rules_.clear();
    occurrences_.clear();
    next_id_ = 1;
}

std::size_t FaultScript::Pending() const {
    std::lock_guard<std::mutex> g(mu_);
    return static_cast<std::size_t>(
        std::count_if(rules_.begin(), rules_.end(), [](const Rule& r) { return r.times > 0; }));
}

std::vector<Rule> FaultScript::Armed() const {
    std::lock_guard<std::mutex> g(mu_);
    std::vector<Rule> armed;
    for (const Rule& r : rules_)
        if (r.times != 0) armed.push_back(r);
    return armed;
}

Rule* FaultScript::Match(std::uint32_t command, int occurrence, Stage stage, int index, Fault only, bool any_fault) {
    for (Rule& r : rules_) {
        if (r.times == 0 || r.channel != Channel::Fax || r.command != command || r.stage != stage) continue;
        if (r.occurrence >= 0 && r.occurrence != occurrence) continue;
        if (stage != Stage::Reply && r.index != index) continue;
        if (!any_fault && r.fault != only) continue;
        if (stage != Stage::Reply && !IsTransferFault(r.fault)) continue;
        return &r;
    }
    return nullptr;
}

const Rule* FaultScript::FireReply(std::uint32_t command, int occurrence, Fault fault) {
    Rule* r = Match(command, occurrence, Stage::Reply, 0, fault, false);
    Fire(r);
    return r;
}

const Rule* FaultScript::FireBlock(int occurrence, Fault fault, int block) {
    for (Rule& r : rules_) {
        if (r.times == 0 || r.command != FAXCMD_GET_RECEIVED || r.stage != Stage::Reply || r.fault != fault || r.block != block)
            continue;
        if (r.occurrence >= 0 && r.occurrence != occurrence) continue;
        Fire(&r);
        return &r;
    }
    return nullptr;
}

const Rule* FaultScript::FireControl(std::uint32_t code) {
    for (Rule& r : rules_) {
        if (r.times == 0 || r.channel != Channel::Fax || r.command != code || !IsTransferFault(r.fault)) continue;
        Fire(&r);
        return &r;
    }
    return nullptr;
}

const Rule* FaultScript::FireEws(Stage stage, int index) {
    for (Rule& r : rules_) {
        if (r.times == 0 || r.channel != Channel::Ews || r.stage != stage || r.index != index) continue;
        if (!IsTransferFault(r.fault)) continue;
        Fire(&r);
        return &r;
    }
    return nullptr;
}

}  // namespace sim

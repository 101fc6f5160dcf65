#include "sim/fc_fabric.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "hw/isp_fc.h"

namespace sim {

namespace {

constexpr uint32_t kFirstInitiatorLoopId = 16;

const FcpResult& NoResult() {
    static const FcpResult result = [] {
        FcpResult r;
        r.outcome = FcpResult::Outcome::Rejected;
        return r;
    }();
    return result;
}

}  // namespace

// --- initiator -----------------------------------------------------------------

FcInitiator::FcInitiator(FcFabric& fabric, uint64_t portName, uint64_t nodeName, uint32_t portId)
    : m_fabric(fabric), m_portName(portName), m_nodeName(nodeName), m_portId(portId) {}

void FcInitiator::LogIn(FcTargetPort& target) {
    if (!m_present || !target.Online()) {
        m_logins[&target] = Login::Failed;
        return;
    }
    Login& state = m_logins[&target];
    if (state == Login::Pending || state == Login::LoggedIn) return;
    state = Login::Pending;
    target.Plogi(*this);
}

void FcInitiator::LogOut(FcTargetPort& target) {
    auto it = m_logins.find(&target);
    if (it == m_logins.end() || it->second == Login::None) return;
    it->second = Login::None;
    if (m_present) target.Logo(*this);
}

FcInitiator::Login FcInitiator::LoginState(const FcTargetPort& target) const {
    auto it = m_logins.find(&target);
    return it == m_logins.end() ? Login::None : it->second;
}

// --- the commands' table ---

FcInitiator::Pending* FcInitiator::Find(uint32_t tag) const {
    Pending* p = m_slots[tag % kSlots].get();
    if (p != nullptr && p->tag == tag && tag != 0) return p;
    if (m_stragglers.empty()) return nullptr;
    auto it = m_stragglers.find(tag);
    return it == m_stragglers.end() ? nullptr : it->second.get();
}

FcInitiator::Pending& FcInitiator::Take(uint32_t tag) {
    std::unique_ptr<Pending>& slot = m_slots[tag % kSlots];
    if (slot && slot->tag != 0) {
        const uint32_t old = slot->tag;
        m_stragglers.emplace(old, std::move(slot));
    }
    if (!slot) slot = std::make_unique<Pending>();
    return *slot;
}

uint32_t FcInitiator::Submit(FcTargetPort& target, FcpCommand command) {
    uint32_t tag = m_nextTag++;
    if (tag == 0) tag = m_nextTag++;
    Pending& p = Take(tag);
    p.tag = tag;
    p.target = &target;
    p.command = std::move(command);
    // The result starts empty; the slot's buffers stay for the data to come.
    std::vector<uint8_t> sense = std::move(p.result.sense), dataIn = std::move(p.result.dataIn);
    p.result = FcpResult{};
    sense.clear();
    dataIn.clear();
    p.result.sense = std::move(sense);
    p.result.dataIn = std::move(dataIn);
    p.abort = AbortAnswer::None;
    if (!m_present || !target.Online() || p.command.cdb.size() > 16) {
        Finish(tag, p, FcpResult::Outcome::Rejected);
        return tag;
    }
    target.Command(*this, tag, p.command);
    return tag;
}

const FcpResult& FcInitiator::Result(uint32_t tag) const {
    const Pending* p = Find(tag);
    return p == nullptr ? NoResult() : p->result;
}

bool FcInitiator::Finished(uint32_t tag) const { return Result(tag).outcome != FcpResult::Outcome::Pending; }

void FcInitiator::Forget(uint32_t tag) {
    Pending* p = m_slots[tag % kSlots].get();
    if (p != nullptr && p->tag == tag) {
        p->tag = 0;
        if (p->result.dataIn.capacity() > kKeptBuffer) std::vector<uint8_t>().swap(p->result.dataIn);
    } else {
        m_stragglers.erase(tag);
    }
}

void FcInitiator::Abort(uint32_t tag) {
    Pending* p = Find(tag);
    if (p == nullptr || p->result.outcome != FcpResult::Outcome::Pending) return;
    p->abort = AbortAnswer::Pending;
    p->target->Abts(*this, tag);
}

FcInitiator::AbortAnswer FcInitiator::AbortState(uint32_t tag) const {
    const Pending* p = Find(tag);
    return p == nullptr ? AbortAnswer::None : p->abort;
}

void FcInitiator::DropOff() {
    if (!m_present) return;
    m_present = false;
    for (auto& [target, state] : m_logins) state = Login::None;
    // Whatever was in flight is lost with the cable, oldest first.
    std::vector<Pending*> lost;
    for (std::unique_ptr<Pending>& p : m_slots) {
        if (p && p->tag != 0 && p->result.outcome == FcpResult::Outcome::Pending) lost.push_back(p.get());
    }
    for (auto& [tag, p] : m_stragglers) {
        if (p->result.outcome == FcpResult::Outcome::Pending) lost.push_back(p.get());
    }
    std::sort(lost.begin(), lost.end(), [](const Pending* a, const Pending* b) { return a->tag < b->tag; });
    for (Pending* p : lost) Finish(p->tag, *p, FcpResult::Outcome::Terminated);
    m_fabric.MembershipChanged(*this, false);
}

void FcInitiator::ComeBack() {
    if (m_present) return;
    m_present = true;
    m_fabric.MembershipChanged(*this, true);
    if (!autoLogin) return;
    for (FcTargetPort* target : m_fabric.targets()) {
        if (target->Online()) LogIn(*target);
    }
}

void FcInitiator::LoginAnswered(FcTargetPort& target, bool accepted) {
    Login& state = m_logins[&target];
    if (state != Login::Pending) return;
    state = accepted ? Login::LoggedIn : Login::Failed;
    if (onLogin) onLogin(target, state);
}

void FcInitiator::LoggedOut(FcTargetPort& target) {
    m_logins[&target] = Login::None;
    if (onLogin) onLogin(target, Login::None);
}

const FcpCommand* FcInitiator::CommandOf(uint32_t tag) const {
    const Pending* p = Find(tag);
    return p == nullptr ? nullptr : &p->command;
}

uint32_t FcInitiator::TagOfOxId(uint16_t oxId) const {
    auto names = [oxId](const Pending* p) {
        return p != nullptr && p->tag != 0 && OxIdOf(p->tag) == oxId && p->result.outcome == FcpResult::Outcome::Pending;
    };
    // An OX_ID keeps a tag's low bits, so the tag's slot is the OX_ID's.
    if (const Pending* p = m_slots[oxId % kSlots].get(); names(p)) return p->tag;
    for (const auto& [tag, p] : m_stragglers) {
        if (names(p.get())) return tag;
    }
    return 0;
}

void FcInitiator::DataIn(uint32_t tag, uint32_t offset, const uint8_t* data, uint32_t length) {
    Pending* pp = Find(tag);
    if (pp == nullptr || pp->result.outcome != FcpResult::Outcome::Pending) return;
    Pending& p = *pp;
    // An initiator takes no more than it asked for.
    const uint32_t limit = p.command.dataInLength;
    if (offset >= limit) return;
    const uint32_t n = std::min(length, limit - offset);
    // The buffer takes its whole length at once rather than growing by
    // copies as the data comes.
    if (p.result.dataIn.capacity() < limit) p.result.dataIn.reserve(limit);
    if (p.result.dataIn.size() < offset + n) p.result.dataIn.resize(offset + n);
    std::memcpy(p.result.dataIn.data() + offset, data, n);
}

uint32_t FcInitiator::DataOut(uint32_t tag, uint32_t offset, uint8_t* data, uint32_t length) {
    Pending* pp = Find(tag);
    if (pp == nullptr || pp->result.outcome != FcpResult::Outcome::Pending) return 0;
    Pending& p = *pp;
    const std::vector<uint8_t>& out = p.command.dataOut;
    if (offset >= out.size()) return 0;
    const uint32_t n = std::min<uint32_t>(length, static_cast<uint32_t>(out.size()) - offset);
    std::memcpy(data, out.data() + offset, n);
    p.result.dataOutTaken = std::max(p.result.dataOutTaken, offset + n);
    return n;
}

void FcInitiator::Response(uint32_t tag, uint8_t status, const uint8_t* sense, uint32_t senseLength, uint32_t residual,
                           bool under, bool over) {
    Pending* pp = Find(tag);
    if (pp == nullptr || pp->result.outcome != FcpResult::Outcome::Pending) return;
    Pending& p = *pp;
    p.result.status = status;
    p.result.sense.assign(sense, sense + senseLength);
    p.result.residual = residual;
    p.result.residualUnder = under;
    p.result.residualOver = over;
    Finish(tag, p, FcpResult::Outcome::Done);
}

void FcInitiator::ResponseInfo(uint32_t tag, uint8_t code) {
    Pending* p = Find(tag);
    if (p == nullptr || p->result.outcome != FcpResult::Outcome::Pending) return;
    p->result.responseValid = true;
    p->result.responseCode = code;
}

void FcInitiator::Ended(uint32_t tag, FcpResult::Outcome outcome) {
    Pending* p = Find(tag);
    if (p == nullptr || p->result.outcome != FcpResult::Outcome::Pending) return;
    Finish(tag, *p, outcome);
}

void FcInitiator::AbortAnswered(uint32_t tag, bool accepted) {
    Pending* pp = Find(tag);
    if (pp == nullptr) return;
    Pending& p = *pp;
    p.abort = accepted ? AbortAnswer::Accepted : AbortAnswer::Rejected;
    if (accepted && p.result.outcome == FcpResult::Outcome::Pending) Finish(tag, p, FcpResult::Outcome::Aborted);
}

void FcInitiator::Finish(uint32_t tag, Pending& p, FcpResult::Outcome outcome) {
    p.result.outcome = outcome;
    p.result.completedAtNs = p.target != nullptr ? p.target->NowNs() : 0;
    // No target asks for the write data of a finished command, and a slot
    // that kept it would hold it until its tag came round again.
    std::vector<uint8_t>().swap(p.command.dataOut);
    if (onCompletion) onCompletion(tag, p.result);
}

// --- fabric ------------------------------------------------------------------

FcFabric::FcFabric(Topology topology) : m_topology(topology) {}

FcFabric::~FcFabric() {
    for (FcTargetPort* target : m_targets) target->FabricGone();
}

FcInitiator& FcFabric::AddInitiator(uint64_t portName, uint64_t nodeName) {
    if (nodeName == 0) nodeName = (portName & ~(0xFull << 60)) | (1ull << 60);
    m_initiators.push_back(std::make_unique<FcInitiator>(*this, portName, nodeName, AssignPortId(false)));
    FcInitiator& initiator = *m_initiators.back();
    for (FcTargetPort* target : m_targets) target->MembershipChanged(initiator, true);
    return initiator;
}

uint32_t FcFabric::AssignPortId(bool target) {
    if (m_topology == Topology::Loop) {
        // Targets take their hard address themselves; initiators get the
        // loop IDs from 16 up.
        if (target || m_nextLoopId + kFirstInitiatorLoopId >= fw::FC_AL_LOOP_IDS) return 0;
        return fw::FC_AL_LOOP_ID_TO_ALPA[kFirstInitiatorLoopId + m_nextLoopId++];
    }
    if (target) return 0x0A0100 + static_cast<uint32_t>(m_targets.size()) * 0x100;
    return m_nextFabricId++;
}

FcInitiator* FcFabric::Find(uint64_t portName) {
    FreeRetired();
    for (const auto& initiator : m_initiators) {
        if (initiator->portName() != portName) continue;
        std::erase(m_retired, initiator.get());
        return initiator.get();
    }
    return nullptr;
}

void FcFabric::Retire(FcInitiator& initiator) {
    if (std::find(m_retired.begin(), m_retired.end(), &initiator) == m_retired.end()) m_retired.push_back(&initiator);
    FreeRetired();
}

void FcFabric::FreeRetired() {
    std::erase_if(m_retired, [this](FcInitiator* initiator) {
        for (const FcTargetPort* target : m_targets) {
            if (target->Holds(*initiator)) return false;
        }
        std::erase_if(m_initiators, [initiator](const auto& i) { return i.get() == initiator; });
        return true;
    });
}

void FcFabric::Attach(FcTargetPort& target) {
    if (std::find(m_targets.begin(), m_targets.end(), &target) != m_targets.end()) return;
    m_targets.push_back(&target);
    m_links[&target] = true;
    target.LinkChanged(true);
}

void FcFabric::Detach(FcTargetPort& target) {
    m_targets.erase(std::remove(m_targets.begin(), m_targets.end(), &target), m_targets.end());
    m_links.erase(&target);
}

void FcFabric::TargetOnline(FcTargetPort& target) {
    for (auto& initiator : m_initiators) {
        if (initiator->present() && initiator->autoLogin) initiator->LogIn(target);
    }
}

void FcFabric::MembershipChanged(FcInitiator& initiator, bool present) {
    for (FcTargetPort* target : m_targets) target->MembershipChanged(initiator, present);
}

void FcFabric::SetLink(FcTargetPort& target, bool up) {
    auto it = m_links.find(&target);
    if (it == m_links.end() || it->second == up) return;
    it->second = up;
    if (!up) {
        for (auto& initiator : m_initiators) {
            if (initiator->LoginState(target) != FcInitiator::Login::None) initiator->LoggedOut(target);
        }
    }
    target.LinkChanged(up);
}

bool FcFabric::LinkUp(const FcTargetPort& target) const {
    auto it = m_links.find(&target);
    return it != m_links.end() && it->second;
}

}  // namespace sim

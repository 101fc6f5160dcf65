#include "sim/drive.h"
#include "sim/image_crc.h"

#include "sim/clock.h"
#include "sim/drive_impl.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cstdlib>

namespace sim {

using namespace drive;

Drive::Impl::Impl(const DriveConfig& c, Drive& d) : cfg(c), owner(d), revision(c.revision) {
    for (size_t i = 0; i < kPageCount; ++i) {
        defaults[i] = kModePages[i].defaults;
        changeable[i] = kModePages[i].changeable;
    }
    defaults[size_t(FindPage(kCachingPage))][2] = c.writeCacheEnabled ? kWce : 0;
    if (!c.writeCacheChangeable) changeable[size_t(FindPage(kCachingPage))][2] &= uint8_t(~kWce);
    current = saved = defaults;
    stopped = c.powerOnStopped;
    unitAttention = c.unitAttentionAtPowerOn;
    if (c.blocks > drive::kConfigCopyBlocksBeforeEnd) {
        keptBegin = c.blocks - 1 - drive::kConfigCopyBlocksBeforeEnd;
        keptEnd = keptBegin + drive::kConfigCopyBlocks;
    }
    if (!c.imagePath.empty()) OpenImage();
}

Drive::Impl::~Impl() {
    UnmapImage();
    UnlockImage();
    if (fd >= 0) close(fd);
}

const Drive::Impl::Sense* Drive::Impl::Readiness() const {
    if (notReady) return &kNotReadyCauseUnknown;
    if (stopped) return &kStartRequired;
    if (becomingReady || (clock && clock->Now() < readyAtNs)) return &kBecomingReady;
    return nullptr;
}

const Drive::Impl::Sense* Drive::Impl::Admit(bool needsMedium) {
    admitted = Readiness();
    if (becomingReady) --becomingReady;
    return needsMedium ? admitted : nullptr;
}

uint64_t Drive::Impl::Now() const { return clock ? clock->Now() : 0; }

void Drive::Impl::Park(bool hard) {
    if (!Parked()) parkedSinceNs = Now();
    ++stops;
    if (hard) {
        stopped = true;
        standby = false;
    } else if (!stopped) {
        standby = true;
    }
}

uint64_t Drive::Impl::SpinUp() {
    const uint64_t now = Now();
    if (Parked()) parkedNs += now - parkedSinceNs;
    stopped = standby = false;
    ++starts;
    readyAtNs = now + cfg.spinUpNs;
    if (owner.onSpinUp) owner.onSpinUp(now, readyAtNs);
    return readyAtNs;
}

// A parked drive wakes for the command; one waking already is waited out.
uint64_t Drive::Impl::WakeWait() {
    const uint64_t now = Now();
    if (standby) {
        SpinUp();
        readyAtNs = now;   // the command itself waits: nothing is refused meanwhile
        wakeUntilNs = now + cfg.spinUpNs;
        return cfg.spinUpNs;
    }
    return wakeUntilNs > now ? wakeUntilNs - now : 0;
}

Drive::Drive(const DriveConfig& config) : m_config(config), m_impl(std::make_unique<Impl>(m_config, *this)) {}
Drive::~Drive() = default;

DriveResult Drive::Execute(std::span<const uint8_t> cdb, std::span<const uint8_t> dataOut, std::span<uint8_t> dataIn) {
    DriveResult r;
    if (onCommand) onCommand(cdb);
    r.noResponse = m_impl->dead;
    if (!r.noResponse) m_impl->Scsi(cdb, dataOut, dataIn, r);
    return r;
}

DriveResult Drive::ExecuteAta(const AtaCommand& command, std::span<const uint8_t> dataOut, std::span<uint8_t> dataIn) {
    DriveResult r;
    r.noResponse = m_impl->dead;
    if (!r.noResponse) m_impl->Ata(command, dataOut, dataIn, r);
    return r;
}

void Drive::ReadBlocks(uint64_t lba, uint32_t count, uint8_t* out) const {
    if (!m_impl->InRange(lba, count) || !m_impl->Read(lba, count, out)) {
        std::fprintf(stderr, "drive: cannot read %u blocks at %llu\n", count, (unsigned long long)lba);
        std::abort();
    }
}

void Drive::WriteBlocks(uint64_t lba, uint32_t count, const uint8_t* in) {
    if (!m_impl->InRange(lba, count) || m_impl->Write(lba, count, in) != Impl::Stored::Written) {
        std::fprintf(stderr, "drive: cannot write %u blocks at %llu\n", count, (unsigned long long)lba);
        std::abort();
    }
}

void Drive::InjectMediaError(uint64_t lba, uint64_t count) {
    if (count) m_impl->MarkBad(lba, count);
}
void Drive::ClearMediaErrors() { m_impl->bad.clear(); }
void Drive::SetNotReady(bool notReady) { m_impl->notReady = notReady; }
void Drive::BecomeReadyAfter(uint32_t commands) { m_impl->becomingReady = commands; }
void Drive::SetNoResponse(bool dead) { m_impl->dead = dead; }
void Drive::SetExtraLatencyNs(uint64_t ns) { m_impl->extraNs = ns; }
void Drive::FailCommand(uint8_t opcode, uint32_t times) { m_impl->failures[opcode] = times; }
void Drive::AnswerBusy(uint8_t opcode, uint32_t times) { m_impl->busy[opcode] = times; }
void Drive::FailWithoutSense(uint8_t opcode, uint32_t times) { m_impl->senseless[opcode] = times; }
void Drive::FailTransfer(uint8_t opcode, uint32_t times) { m_impl->brokenTransfers[opcode] = times; }
void Drive::SetQueueDepth(uint32_t depth) { m_impl->queueDepth = depth; }
uint32_t Drive::QueueDepth() const { return m_impl->queueDepth; }
void Drive::NoteTaskSetFull() { ++m_impl->taskSetFull; }
uint64_t Drive::TaskSetFullCount() const { return m_impl->taskSetFull; }
void Drive::FailAtaCommand(uint8_t command, uint8_t error, uint32_t times) {
    m_impl->ataFailures[command] = times;
    m_impl->ataFailureError[command] = error;
}
void Drive::ReportBlockLength(uint32_t bytes) { m_impl->reportedBlockLength = bytes; }
void Drive::CutPowerDuringNextWrite(uint32_t blocks) {
    m_impl->cutPower = true;
    m_impl->cutAfterBlocks = blocks;
}
void Drive::RefuseWritesAfter(uint64_t bytes, Refusal how) {
    m_impl->writeRoom = bytes;
    m_impl->refusal = how;
}
void Drive::Reset() {
    m_impl->unitAttention = true;
    ++m_impl->linkResets;
    if (!m_config.sata) m_impl->ActivateMicrocode();
}
void Drive::PowerOn() {
    Impl& d = *m_impl;
    d.ActivateMicrocode();
    d.unitAttention = m_config.unitAttentionAtPowerOn;
    d.stopped = m_config.powerOnStopped;
    d.standby = false;
    const uint64_t spin = d.stopped ? 0 : m_config.spinUpNs;
    if (d.clock) {
        d.readyAtNs = d.clock->Now() + spin;
    } else {
        d.spinLeftNs = spin;
    }
}
void Drive::AttachClock(const Clock* clock) {
    Impl& d = *m_impl;
    // What is left of a spin-up carries from one clock to the next; the
    // first clock is the moment of power-on.
    uint64_t left = d.spinLeftNs;
    if (d.clock) {
        left = d.readyAtNs > d.clock->Now() ? d.readyAtNs - d.clock->Now() : 0;
    } else if (!d.clockSeen) {
        left = d.stopped ? 0 : m_config.spinUpNs;
    }
    d.clock = clock;
    d.spinLeftNs = left;
    if (clock) {
        d.clockSeen = true;
        d.readyAtNs = clock->Now() + left;
    }
}
uint64_t Drive::CommandCount(uint8_t opcode) const { return m_impl->commands[opcode]; }
std::string Drive::Revision() const { return m_impl->revision; }

namespace {

uint32_t Crc32(std::span<const uint8_t> bytes) { return ImageCrc32(bytes); }

uint32_t Le32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

}  // namespace

Drive::Microcode Drive::ParseMicrocode(std::span<const uint8_t> image) {
    Microcode m;
    const size_t magic = std::min<size_t>(image.size(), 4);
    if (std::memcmp(image.data(), "UCOD", magic) != 0) {
        m.state = Microcode::BAD;
        return m;
    }
    if (image.size() < kMicrocodeHeader) return m;
    const uint32_t length = Le32(image.data() + 4);
    if (length < kMicrocodeHeader || image.size() > length) {
        m.state = Microcode::BAD;
        return m;
    }
    if (image.size() < length) return m;
    if (Crc32(image.subspan(kMicrocodeHeader)) != Le32(image.data() + 32)) {
        m.state = Microcode::BAD;
        return m;
    }
    m.state = Microcode::WHOLE;
    m.revision.assign(reinterpret_cast<const char*>(image.data() + 8), 8);
    m.product.assign(reinterpret_cast<const char*>(image.data() + 16), 16);
    return m;
}

std::vector<uint8_t> Drive::BuildMicrocode(const std::string& product, const std::string& revision, uint32_t bytes,
                                           uint32_t seed) {
    std::vector<uint8_t> image(std::max<size_t>(bytes, kMicrocodeHeader), 0);
    std::memcpy(image.data(), "UCOD", 4);
    for (int i = 0; i < 4; ++i) image[4 + i] = uint8_t(image.size() >> (8 * i));
    std::string r = revision, p = product;
    r.resize(8, ' ');
    p.resize(16, ' ');
    std::memcpy(image.data() + 8, r.data(), 8);
    std::memcpy(image.data() + 16, p.data(), 16);
    for (size_t i = kMicrocodeHeader; i < image.size(); ++i) image[i] = uint8_t(seed * 17 + i * 29 + (i >> 9));
    const uint32_t crc = Crc32(std::span<const uint8_t>(image).subspan(kMicrocodeHeader));
    for (int i = 0; i < 4; ++i) image[32 + i] = uint8_t(crc >> (8 * i));
    return image;
}
void Drive::FailSelfTests(bool fail) { m_impl->selfTestFails = fail; }
void Drive::PredictFailure(bool predict) { m_impl->predictsFailure = predict; }
Drive::PowerCounts Drive::Power() const {
    const Impl& d = *m_impl;
    PowerCounts p{d.starts, d.stops, d.parkedNs};
    if (d.Parked()) p.parkedNs += d.Now() - d.parkedSinceNs;
    return p;
}
bool Drive::Parked() const { return m_impl->Parked(); }

}  // namespace sim

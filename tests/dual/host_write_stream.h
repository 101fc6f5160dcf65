// Two hosts, one on each controller, each keeping a few writes out at once
// on the blocks of one region, every write on blocks no write out holds: the
// last write answered GOOD on a block is what it must hold, and the model
// keeps that.  Every answer is counted by tag, so one given twice shows.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "../system/road_config.h"
#include "harness/dual_pair.h"
#include "hw/scsi.h"
#include "sim/fc_host.h"

namespace dual {

class HostWriteStream {
public:
    HostWriteStream(unsigned depth, uint32_t maxWriteBlocks, uint32_t seed)
        : m_depth(depth), m_maxWriteBlocks(maxWriteBlocks) {
        rng.seed(seed);
    }

    // The hosts write `blocks` blocks from block 0, which hold zeros now.
    void Start(sim::FcHost& a, sim::FcHost& b, uint64_t blocks) {
        m_hosts[0] = &a;
        m_hosts[1] = &b;
        m_blocks = blocks;
        model.assign(size_t(blocks) * roadtest::kBlock, 0);
        for (unsigned h = 0; h < 2; ++h) {
            m_hosts[h]->initiator().onCompletion = [this, h](uint32_t tag, sim::FcpResult& r) { Answered(h, tag, r); };
        }
    }
    // Each host has its writes out again.
    void TopUp() {
        for (unsigned h = 0; h < 2; ++h) {
            for (int tries = 0; out[h].size() < m_depth && tries < 16; ++tries) {
                const uint32_t blocks = 1 + uint32_t(rng() % m_maxWriteBlocks);
                const uint64_t lba = rng() % (m_blocks - blocks + 1);
                if (Busy(lba, blocks)) continue;
                Out o{lba, blocks, std::vector<uint8_t>(size_t(blocks) * roadtest::kBlock)};
                for (uint8_t& x : o.data) x = static_cast<uint8_t>(rng());
                sim::FcpCommand c;
                c.cdb = Cdb16(fw::SCSI_WRITE16, lba, blocks);
                c.dataOut = o.data;
                const uint32_t tag = m_hosts[h]->initiator().Submit(m_hosts[h]->target(), c);
                out[h].emplace(tag, std::move(o));
                ++sent;
            }
        }
    }
    bool Idle() const { return out[0].empty() && out[1].empty(); }
    std::string Outstanding() const {
        std::string t;
        for (unsigned h = 0; h < 2; ++h) {
            for (const auto& [tag, o] : out[h]) {
                t += " host " + std::to_string(h) + " blocks " + std::to_string(o.lba) + "+" + std::to_string(o.blocks) +
                     ";";
            }
        }
        return t;
    }

    struct Out {
        uint64_t lba;
        uint32_t blocks;
        std::vector<uint8_t> data;
    };
    std::map<uint32_t, Out> out[2];
    std::map<uint32_t, unsigned> answers[2];   // by tag: how often answered
    std::vector<uint8_t> model;
    std::mt19937 rng;
    unsigned sent = 0, answered = 0, acknowledged = 0, failed = 0;

private:
    // A write's blocks are in the model once it is answered GOOD.
    void Answered(unsigned h, uint32_t tag, const sim::FcpResult& r) {
        ++answers[h][tag];
        ++answered;
        auto it = out[h].find(tag);
        if (it == out[h].end()) return;
        if (r.outcome == sim::FcpResult::Outcome::Done && r.status == 0) {
            std::copy(it->second.data.begin(), it->second.data.end(),
                      model.begin() + ptrdiff_t(it->second.lba * roadtest::kBlock));
            ++acknowledged;
        } else {
            ++failed;
        }
        out[h].erase(it);
    }
    bool Busy(uint64_t lba, uint32_t blocks) const {
        for (const auto& m : out) {
            for (const auto& [tag, o] : m) {
                if (lba < o.lba + o.blocks && o.lba < lba + blocks) return true;
            }
        }
        return false;
    }

    sim::FcHost* m_hosts[2] = {nullptr, nullptr};
    uint64_t m_blocks = 0;
    unsigned m_depth;
    uint32_t m_maxWriteBlocks;
};

}  // namespace dual

// The sending side of XMODEM on the console line of a test board, with a
// relay between it and the controller that can damage what passes: a byte
// flipped or dropped in a chosen block, an ACK the sender never sees, a
// sender that stops or cancels.  Runs in board time, so every transfer is
// the same from run to run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "sim/board.h"

namespace consoletest {

constexpr uint8_t X_SOH = 0x01, X_STX = 0x02, X_EOT = 0x04, X_ACK = 0x06, X_NAK = 0x15, X_CAN = 0x18;

// CRC-16/XMODEM as senders compute it (polynomial 0x1021, initial value 0,
// bit by bit): written apart from the controller's table so that a test
// framed with it catches a receiver whose sum is not the standard one.
inline uint16_t XmodemCrc16(const uint8_t* bytes, size_t length) {
    uint16_t crc = 0;
    for (size_t i = 0; i < length; ++i) {
        crc = static_cast<uint16_t>(crc ^ (bytes[i] << 8));
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<uint16_t>((crc & 0x8000) != 0 ? (crc << 1) ^ 0x1021 : crc << 1);
        }
    }
    return crc;
}

struct XmodemFaults {
    std::set<uint32_t> flipInBlock;     // first sending of these blocks has a byte flipped
    std::set<uint32_t> dropInBlock;     // ... a data byte missing
    std::set<uint32_t> ackLostAfter;    // the ACK of these blocks never reaches the sender
    std::set<uint32_t> skipBlock;       // the sender jumps over this block number
    uint32_t stopAfterBlocks = UINT32_MAX;   // the sender falls silent after this many blocks
    uint32_t cancelAfterBlocks = UINT32_MAX; // ... or sends CAN CAN
};

struct XmodemResult {
    uint32_t blocksSent = 0;     // block sendings, repeats included
    uint32_t requests = 0;       // "C" and NAK the controller sent
    bool endAcknowledged = false;
    bool cancelledByReceiver = false;
};

class XmodemSender {
public:
    explicit XmodemSender(sim::Board& board) : m_board(board) {}

    // Sends the file (padded with 0x1A to whole blocks) once the controller
    // asks; returns what happened.  crc: CRC-16 blocks (else the checksum).
    XmodemResult Send(const std::vector<uint8_t>& file, uint16_t blockSize, bool crc,
                      const XmodemFaults& faults = XmodemFaults()) {
        XmodemResult r;
        int first = Next(kAnswerNs * 40);
        while (first == 'C' || first == X_NAK) {
            r.requests++;
            if (first == 'C' && crc) break;
            if (first == X_NAK && !crc) break;
            first = Next(kAnswerNs * 40);
        }
        if (first < 0) return r;
        const uint32_t blocks = static_cast<uint32_t>((file.size() + blockSize - 1) / blockSize);
        uint32_t block = 0;
        std::set<uint32_t> flipped, dropped, lost, skipped;
        while (block < blocks) {
            if (block == faults.stopAfterBlocks) return r;
            if (block == faults.cancelAfterBlocks) {
                Type(std::string{static_cast<char>(X_CAN), static_cast<char>(X_CAN)});
                Next(kAnswerNs * 8);
                return r;
            }
            uint32_t sent = block;
            if (faults.skipBlock.count(block + 1) != 0 && skipped.insert(block + 1).second) sent = block + 1;
            std::string frame = Frame(file, sent, blockSize, crc);
            if (faults.flipInBlock.count(block + 1) != 0 && flipped.insert(block + 1).second) frame[10] ^= 0x40;
            if (faults.dropInBlock.count(block + 1) != 0 && dropped.insert(block + 1).second) frame.erase(20, 1);
            Type(frame);
            r.blocksSent++;
            const int answer = Next(kAnswerNs * 12);
            if (answer == X_ACK) {
                // A lost ACK: the sender times out and sends the block again.
                if (faults.ackLostAfter.count(block + 1) != 0 && lost.insert(block + 1).second) continue;
                ++block;
            } else if (answer == X_NAK) {
                r.requests++;
            } else if (answer == X_CAN) {
                r.cancelledByReceiver = true;
                return r;
            } else {
                return r;
            }
        }
        Type(std::string(1, static_cast<char>(X_EOT)));
        r.endAcknowledged = Next(kAnswerNs * 8) == X_ACK;
        return r;
    }

    // From now on the controller's bytes are answers.
    void Listen() { m_seen = m_board.uart().Transmitted().size(); }

    // The next byte the controller sends within the time, or -1.
    int Next(uint64_t limitNs) {
        m_board.RunUntil([this] { return m_board.uart().Transmitted().size() > m_seen; }, limitNs);
        const std::string& tx = m_board.uart().Transmitted();
        if (tx.size() <= m_seen) return -1;
        return static_cast<uint8_t>(tx[m_seen++]);
    }

    void Type(const std::string& bytes) { m_board.TypeKeys(bytes); }

    // One block as it goes on the line.
    static std::string Frame(const std::vector<uint8_t>& file, uint32_t block, uint16_t blockSize, bool crc) {
        std::string data(blockSize, static_cast<char>(0x1A));
        for (uint32_t i = 0; i < blockSize && block * blockSize + i < file.size(); ++i) {
            data[i] = static_cast<char>(file[block * blockSize + i]);
        }
        const uint8_t number = static_cast<uint8_t>(block + 1);
        std::string frame;
        frame.push_back(static_cast<char>(blockSize == 1024 ? X_STX : X_SOH));
        frame.push_back(static_cast<char>(number));
        frame.push_back(static_cast<char>(~number));
        frame += data;
        if (crc) {
            const uint16_t sum = XmodemCrc16(reinterpret_cast<const uint8_t*>(data.data()), blockSize);
            frame.push_back(static_cast<char>(sum >> 8));
            frame.push_back(static_cast<char>(sum & 0xFF));
        } else {
            uint8_t sum = 0;
            for (char c : data) sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(c));
            frame.push_back(static_cast<char>(sum));
        }
        return frame;
    }

    static constexpr uint64_t kAnswerNs = 500'000'000;   // one coarse tick

private:
    sim::Board& m_board;
    size_t m_seen = 0;
};

}  // namespace consoletest

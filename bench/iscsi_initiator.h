// A host's iSCSI initiator over a blocking TCP connection, for benchmarks
// that drive a target in another process: one session, one connection,
// commands kept outstanding up to a depth, writes with immediate and
// unsolicited data and Data-Out for every R2T, reads reassembled from their
// Data-In PDUs.  Digests off.  The same client for every target it is
// compared against.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/iscsi_pdu.h"

namespace bench {

// A connected TCP socket on the loopback with Nagle off; -1 on failure.
inline int ConnectLoopback(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Sends all of `bytes`; false when the connection broke.
inline bool SendAll(int fd, const uint8_t* bytes, size_t length) {
    while (length != 0) {
        const ssize_t n = send(fd, bytes, length, MSG_NOSIGNAL);
        if (n <= 0) return false;
        bytes += n;
        length -= size_t(n);
    }
    return true;
}

class IscsiInitiator {
public:
    // What a finished command came back with.
    struct Done {
        uint32_t tag = 0;
        uint8_t status = 0xFF;   // SCSI status; 0xFF: the target's response was not "completed"
    };

    ~IscsiInitiator() {
        if (m_fd >= 0) close(m_fd);
    }

    // Connects and logs in to full feature; false with the reason.
    bool LogIn(uint16_t port, const std::string& initiator, const std::string& target, uint8_t lun,
               std::string* why) {
        m_lun = lun;
        if (m_fd >= 0) close(m_fd);   // an earlier attempt's
        m_at = m_end = 0;
        m_fd = ConnectLoopback(port);
        if (m_fd < 0) return *why = "cannot connect", false;
        sim::iscsi::Pdu login = sim::iscsi::MakePdu(sim::iscsi::kLoginRequest | sim::iscsi::kImmediate, false);
        login.bhs[1] = 0x87;   // operational stage straight to full feature
        login.bhs[13] = 1;     // ISID qualifier
        login.SetU32(24, m_cmdSn);   // an immediate login carries the first command's number
        for (auto& [k, v] : std::vector<std::pair<const char*, std::string>>{
                 {"InitiatorName", initiator}, {"TargetName", target}, {"SessionType", "Normal"},
                 {"HeaderDigest", "None"}, {"DataDigest", "None"}, {"InitialR2T", "No"}, {"ImmediateData", "Yes"},
                 {"FirstBurstLength", "262144"}, {"MaxBurstLength", "1048576"},
                 {"MaxRecvDataSegmentLength", std::to_string(kOwnMaxRecv)}, {"MaxOutstandingR2T", "1"}})
            sim::iscsi::AppendTextKey(&login.data, k, v);
        for (int step = 0; step < 4; ++step) {
            if (!Send(login)) return *why = "the connection broke during login", false;
            sim::iscsi::Pdu answer;
            if (!Receive(&answer)) return *why = "the connection broke during login", false;
            if (answer.opcode() != sim::iscsi::kLoginResponse || answer.bhs[36] != 0) {
                return *why = "login refused, status " + std::to_string(answer.U16(36)), false;
            }
            std::vector<sim::iscsi::TextKey> keys;
            sim::iscsi::ParseTextKeys(answer.data, &keys);
            for (const sim::iscsi::TextKey& k : keys) Negotiated(k);
            m_statSn = answer.U32(24) + 1;
            m_maxCmdSn = answer.U32(32);
            if ((answer.bhs[1] & 0x83) == 0x83) return true;   // transit to full feature
            login.data.clear();                                // nothing more to say: ask to move on
            login.SetU32(28, m_statSn);
            login.bhs[14] = answer.bhs[14];
            login.bhs[15] = answer.bhs[15];
        }
        return *why = "the target would not move to full feature", false;
    }

    // A receive that waits longer than this fails, as a broken connection
    // does: for a target that may not answer at all.
    void SetReceiveTimeout(uint32_t ms) {
        const timeval t{time_t(ms / 1000), suseconds_t(ms % 1000 * 1000)};
        setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
    }

    // A command that may be sent now: the target's command window has room.
    bool WindowOpen() const { return int32_t(m_maxCmdSn - m_cmdSn) >= 0; }
    // For a client of many sessions: the socket to wait on, and whether
    // bytes read already wait to be decoded.
    int Fd() const { return m_fd; }
    bool InputBuffered() const { return m_at < m_end; }

    // Sends a READ(10) or WRITE(10) of `bytes` at `lba` (writes send `data`).
    bool Submit(uint32_t tag, bool write, uint32_t lba, uint32_t bytes, const uint8_t* data) {
        const uint16_t blocks = uint16_t(bytes / 512);
        sim::iscsi::Pdu c = sim::iscsi::MakePdu(sim::iscsi::kScsiCommand);
        c.bhs[1] |= uint8_t((write ? 0x20 : 0x40) | 1);
        c.bhs[9] = m_lun;
        c.SetU32(16, tag);
        c.SetU32(20, bytes);
        c.SetU32(24, m_cmdSn++);
        c.SetU32(28, m_statSn);
        const uint8_t cdb[10] = {uint8_t(write ? 0x2A : 0x28), 0, uint8_t(lba >> 24), uint8_t(lba >> 16),
                                 uint8_t(lba >> 8), uint8_t(lba), 0, uint8_t(blocks >> 8), uint8_t(blocks), 0};
        std::copy(cdb, cdb + sizeof cdb, c.bhs.begin() + 32);
        uint32_t sent = 0;
        if (write && m_immediateData) {
            sent = std::min({bytes, m_firstBurst, m_sendLimit});
            c.data.assign(data, data + sent);
        }
        if (!Send(c)) return false;
        if (write && !m_initialR2T) {
            // The rest of the first burst goes unsolicited.
            const uint32_t burst = std::min(bytes, m_firstBurst);
            if (sent < burst && !SendData(tag, kNoTransfer, data, sent, burst - sent)) return false;
            sent = burst;
        }
        if (write) m_writes.push_back({tag, data});
        return true;
    }

    // Waits for the next command to finish, answering R2Ts and NOP-Ins on
    // the way; false when the connection broke.
    bool Reap(Done* done) {
        for (;;) {
            sim::iscsi::Pdu p;
            if (!Receive(&p)) return false;
            switch (p.opcode()) {
            case sim::iscsi::kScsiResponse:
                Sequence(p);
                Forget(p.U32(16));
                *done = {p.U32(16), p.bhs[2] == 0 ? p.bhs[3] : uint8_t(0xFF)};
                return true;
            case sim::iscsi::kDataIn:
                if (p.bhs[1] & 0x01) {   // status rides on the last Data-In
                    Sequence(p);
                    *done = {p.U32(16), p.bhs[3]};
                    return true;
                }
                break;
            case sim::iscsi::kReadyToTransfer: {
                const auto it = std::find_if(m_writes.begin(), m_writes.end(),
                                             [&](const Write& w) { return w.tag == p.U32(16); });
                if (it == m_writes.end()) return false;
                Sequence(p);
                if (!SendData(it->tag, p.U32(20), it->data, p.U32(40), p.U32(44))) return false;
                break;
            }
            case sim::iscsi::kNopIn:
                if (!AnswerPing(p)) return false;
                break;
            case sim::iscsi::kAsyncMessage:
                Sequence(p);
                break;
            default:
                return false;
            }
        }
    }

    // For a session with no command out: answers, without waiting, the
    // pings its target sent while it idled (a target ends a session whose
    // pings go unanswered); false when the connection broke.
    bool AnswerPings() {
        for (;;) {
            pollfd ready{m_fd, POLLIN, 0};
            if (!InputBuffered() && poll(&ready, 1, 0) == 0) return true;
            sim::iscsi::Pdu p;
            if (!Receive(&p)) return false;
            if (p.opcode() == sim::iscsi::kAsyncMessage) {
                Sequence(p);
            } else if (p.opcode() != sim::iscsi::kNopIn || !AnswerPing(p)) {
                return false;
            }
        }
    }

private:
    static constexpr uint32_t kOwnMaxRecv = 262144;

    bool AnswerPing(const sim::iscsi::Pdu& p) {
        if (p.U32(20) == sim::iscsi::kReservedTag) return true;   // no answer asked
        sim::iscsi::Pdu o = sim::iscsi::MakePdu(sim::iscsi::kNopOut | sim::iscsi::kImmediate);
        o.SetU32(16, sim::iscsi::kReservedTag);
        o.SetU32(20, p.U32(20));
        o.SetU32(24, m_cmdSn);
        o.SetU32(28, m_statSn);
        return Send(o);
    }
    static constexpr uint32_t kNoTransfer = sim::iscsi::kReservedTag;
    struct Write {
        uint32_t tag;
        const uint8_t* data;
    };

    void Negotiated(const sim::iscsi::TextKey& k) {
        uint64_t n = 0;
        if (k.key == "MaxRecvDataSegmentLength" && sim::iscsi::ParseNumber(k.value, &n)) m_sendLimit = uint32_t(n);
        if (k.key == "FirstBurstLength" && sim::iscsi::ParseNumber(k.value, &n)) m_firstBurst = uint32_t(n);
        if (k.key == "InitialR2T") m_initialR2T = k.value == "Yes";
        if (k.key == "ImmediateData") m_immediateData = k.value == "Yes";
    }
    // A PDU that carries the target's status and command numbers.
    void Sequence(const sim::iscsi::Pdu& p) {
        if (p.opcode() == sim::iscsi::kScsiResponse || (p.opcode() == sim::iscsi::kDataIn && (p.bhs[1] & 0x01)) ||
            p.opcode() == sim::iscsi::kAsyncMessage) {
            m_statSn = p.U32(24) + 1;
        }
        if (int32_t(p.U32(32) - m_maxCmdSn) > 0) m_maxCmdSn = p.U32(32);
    }
    void Forget(uint32_t tag) {
        const auto it =
            std::find_if(m_writes.begin(), m_writes.end(), [&](const Write& w) { return w.tag == tag; });
        if (it != m_writes.end()) m_writes.erase(it);
    }
    // Data-Out PDUs for `length` bytes from `offset`, each within what the
    // target receives.
    bool SendData(uint32_t tag, uint32_t ttt, const uint8_t* data, uint32_t offset, uint32_t length) {
        for (uint32_t dataSn = 0; length != 0; ++dataSn) {
            const uint32_t n = std::min(length, m_sendLimit);
            sim::iscsi::Pdu d = sim::iscsi::MakePdu(sim::iscsi::kDataOut, n == length);
            d.bhs[9] = m_lun;
            d.SetU32(16, tag);
            d.SetU32(20, ttt);
            d.SetU32(28, m_statSn);
            d.SetU32(36, dataSn);
            d.SetU32(40, offset);
            d.data.assign(data + offset, data + offset + n);
            if (!Send(d)) return false;
            offset += n;
            length -= n;
        }
        return true;
    }
    bool Send(const sim::iscsi::Pdu& p) {
        m_out.clear();
        sim::iscsi::EncodeFrame(p, {}, &m_out);
        return SendAll(m_fd, m_out.data(), m_out.size());
    }
    // The bytes read wait in m_in from m_at to m_end.  The buffer only
    // grows (a resize at every read cleared 256 KiB each time, which at
    // many answers a second made the client, not the target, the limit).
    bool Receive(sim::iscsi::Pdu* p) {
        sim::iscsi::FrameLimits limits;
        limits.maxDataSegment = kOwnMaxRecv;
        for (;;) {
            size_t used = 0;
            const auto status = sim::iscsi::DecodeFrame(m_in.data() + m_at, m_end - m_at, limits, p, &used);
            if (status == sim::iscsi::FrameStatus::Ok) {
                m_at += used;
                if (m_at == m_end) m_at = m_end = 0;
                return true;
            }
            if (status != sim::iscsi::FrameStatus::NeedMore) return false;
            if (m_at != 0) {
                std::copy(m_in.begin() + long(m_at), m_in.begin() + long(m_end), m_in.begin());
                m_end -= m_at;
                m_at = 0;
            }
            constexpr size_t kRead = 1 << 18;
            if (m_in.size() < m_end + kRead) m_in.resize(m_end + kRead);
            const ssize_t n = recv(m_fd, m_in.data() + m_end, m_in.size() - m_end, 0);
            if (n <= 0) return false;
            m_end += size_t(n);
        }
    }

    int m_fd = -1;
    uint8_t m_lun = 0;
    uint32_t m_cmdSn = 1;
    uint32_t m_statSn = 0;
    uint32_t m_maxCmdSn = 1;
    uint32_t m_sendLimit = 8192;     // the target's MaxRecvDataSegmentLength
    uint32_t m_firstBurst = 65536;
    bool m_initialR2T = true;
    bool m_immediateData = true;
    std::vector<Write> m_writes;     // writes that may still be asked for data
    std::vector<uint8_t> m_out;
    std::vector<uint8_t> m_in;
    size_t m_at = 0;
    size_t m_end = 0;
};

// A logged-in session whose unit answers: a controller that has just
// started may refuse sessions until its host ports are up (tried again for
// five seconds), and a new initiator meets a unit attention first.  False
// with the reason in `why`.
inline bool OpenReadySession(IscsiInitiator& session, uint16_t port, const std::string& initiator,
                             const std::string& target, uint8_t lun, std::string* why) {
    bool in = false;
    for (int attempt = 0; attempt < 50 && !in; ++attempt) {
        if (attempt != 0) usleep(100000);
        in = session.LogIn(port, initiator, target, lun, why);
    }
    if (!in) return false;
    for (uint32_t i = 0; i < 4; ++i) {
        IscsiInitiator::Done d;
        if (!session.Submit(i, false, 0, 4096, nullptr) || !session.Reap(&d)) return *why = "connection lost", false;
        if (d.status == 0) return true;
    }
    return *why = "the unit does not answer", false;
}

}  // namespace bench

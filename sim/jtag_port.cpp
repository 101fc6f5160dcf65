#include "sim/jtag_port.h"

#include "sim/fpga.h"

namespace sim {

uint32_t JtagPort::Read(uint32_t address, unsigned) { return address - kBase == kStatus ? m_status : 0; }

void JtagPort::Write(uint32_t address, uint32_t value, unsigned) {
    switch (address - kBase) {
    case kControl:
        if (value & kControlStart) {
            m_words.clear();
            m_loading = true;
            m_status = 0;
        }
        if ((value & kControlFinish) && m_loading) {
            // A bitstream is accepted when its header word and its XOR over
            // all words (which includes the trailing check word) are right.
            uint32_t x = 0;
            for (uint32_t w : m_words) x ^= w;
            bool ok = m_words.size() >= 3 && m_words[0] == 0xB175F00Du && x == 0;
            m_status = ok ? kStatusDone : kStatusError;
            m_loading = false;
            if (ok) m_fpga.SetProgrammed(true);
        }
        break;
    case kData:
        if (m_loading) m_words.push_back(value);
        break;
    default: break;
    }
}

}  // namespace sim

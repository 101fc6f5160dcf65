#include "sim/interrupt_controller.h"

namespace sim {

void InterruptController::SetLine(unsigned reg, unsigned bit, bool level) {
    const uint32_t lines = level ? m_lines[reg] | 1u << bit : m_lines[reg] & ~(1u << bit);
    if (lines == m_lines[reg]) return;
    m_lines[reg] = lines;
    Update();
}

uint32_t InterruptController::Read(uint32_t crn, uint32_t crm) const {
    if (crn >= kRegisters) return 0;
    switch (crm) {
    case 4: return m_enable[crn];
    case 5: return m_steer[crn];
    case 6: return Irq(crn);
    case 7: return Fiq(crn);
    default: return 0;
    }
}

void InterruptController::Write(uint32_t crn, uint32_t crm, uint32_t value) {
    if (crn >= kRegisters) return;
    if (crm == 4) m_enable[crn] = value;
    if (crm == 5) m_steer[crn] = value;
    Update();
}

void InterruptController::Update() {
    uint32_t fiq = 0, irq = 0;
    for (unsigned r = 0; r < kRegisters; ++r) {
        fiq |= Fiq(r);
        irq |= Irq(r);
    }
    m_pending = (fiq ? kFiq : 0) | (irq ? kIrq : 0);
}

}  // namespace sim

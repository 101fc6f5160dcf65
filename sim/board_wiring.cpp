// How the board is wired: which devices it carries, the bus addresses each
// answers at, the interrupt source each raises and the PCI slot each chip
// sits in.  A device model is added to the board here and nowhere else.
#include "hw/pci_ids.h"
#include "sim/board.h"
#include "sim/i2c_units.h"
#include "sim/processor_errors.h"
#include "sim/rtc.h"
#include "sim/sas_controller.h"
#include "sim/xor_accelerator.h"

namespace sim {

namespace {

// Interrupt sources (register, bit) of the interrupt controller.
struct Source {
    unsigned reg, bit;
};
constexpr Source kTimer0{0, 8}, kTimer1{0, 9};
constexpr Source kI2c0{0, 10}, kI2c1{0, 11}, kI2c2{3, 0};
constexpr Source kUart{1, 19};
constexpr Source kInternalBusError{1, 21}, kAtuError{1, 23}, kMemoryError{1, 24};
constexpr Source kMessages{3, 17};

// The drive-side controller's message: bit 3 of inbound message status 0,
// the message data the firmware programs.
constexpr unsigned kDriveIocMessageRegister = 0;
constexpr uint32_t kDriveIocMessageBit = 1u << 3;
constexpr uint8_t kDriveIocRevision = 8;

// Memory controller: a 128 MB SDRAM bank (size code 1, not doubled).
constexpr uint32_t kSbsr = 0xFFD81814;
constexpr uint32_t kSbsrValue = (1u << 27) | 0x4;

}  // namespace

void Board::WireDevices() {
    auto line = [this](Source s) { return InterruptLine(m_intc, s.reg, s.bit); };

    // The processor's own units.
    m_timers = std::make_unique<Timers>(m_clock, line(kTimer0), line(kTimer1));
    m_cpu = std::make_unique<Cpu>(m_intc, *m_timers, m_memory);
    m_uart = std::make_unique<Uart>(line(kUart));
    m_bus.Map(Uart::kBase, Uart::kSize, m_uart.get());
    m_gpio = std::make_unique<Gpio>(*this);
    m_bus.Map(Gpio::kBase, Gpio::kSize, m_gpio.get());
    m_i2c = std::make_unique<I2cUnits>(m_clock, std::array<InterruptLine, I2cUnits::kUnits>{
                                                    line(kI2c0), line(kI2c1), line(kI2c2)});
    m_bus.Map(I2cUnits::kBase, I2cUnits::kStride * I2cUnits::kUnits, m_i2c.get());
    for (unsigned u = 0; u < I2cUnits::kUnits; ++u) m_i2c->SetStuck(u, m_config.i2cFault[u]);
    m_errors = std::make_unique<ProcessorErrors>(*this, line(kMemoryError), line(kInternalBusError), line(kAtuError));
    m_bus.Latch(kSbsr, kSbsrValue);
    m_xor = std::make_unique<XorAccelerator>(*this, line({fw::AAU_INTERRUPT_REGISTER, fw::AAU_INTERRUPT_BIT}));
    m_bus.Map(XorAccelerator::kBase, fw::AAU_REGISTER_WINDOW, m_xor.get());

    // The board around the processor.
    m_nvram = std::make_unique<Nvram>(*this, m_config.dataDir.empty() ? "" : m_config.dataDir + "/nvram.bin");
    m_fpga = std::make_unique<Fpga>(*this, m_config.fpgaProgrammed, m_config.slot1);
    m_bus.Map(Fpga::kBase, Fpga::kSize, m_fpga.get());
    m_jtag = std::make_unique<JtagPort>(*m_fpga);
    m_bus.Map(JtagPort::kBase, JtagPort::kSize, m_jtag.get());
    m_rtc = std::make_unique<Rtc>(*this);
    m_i2c->Attach(Rtc::kUnit, Rtc::kAddress, m_rtc.get());

    // PCI and the chips on it.
    m_pci = std::make_unique<Pci>(*this);
    m_bus.Map(Pci::kAtuxBase, Pci::kAtuxSize, m_pci.get());
    m_bus.Map(Pci::kAtueLinkStatus, 4, m_pci.get());
    m_pci->busDead = m_config.pciFault;
    m_pci->linkDown = m_config.pciExpressFault;

    // Host-port chips on the primary bus, by host interface.
    uint16_t vendor = fw::PCI_VENDOR_HOST_FC, device = fw::PCI_DEVICE_HOST_FC;
    if (m_config.hostInterface == HostInterface::Sas) {
        vendor = fw::PCI_VENDOR_SAS;
        device = fw::PCI_DEVICE_SAS_HOST;
    } else if (m_config.hostInterface == HostInterface::SasTarget) {
        vendor = fw::PCI_VENDOR_SAS;
        device = fw::PCI_DEVICE_SAS_TARGET;
    }
    if (m_config.hostChip1) {
        m_pci->AddFunction(fw::PCI_BUS_PRIMARY, fw::PCI_DEVICE_HOST_CHIP1, 0,
                           std::make_unique<PciFunction>(vendor, device, 2, 0x0C0400, 0));
    }
    if (m_config.hostChip2) {
        m_pci->AddFunction(fw::PCI_BUS_PRIMARY, fw::PCI_DEVICE_HOST_CHIP2, 0,
                           std::make_unique<PciFunction>(vendor, device, 2, 0x0C0400, 0));
    }

    // The drive-side SAS controller behind the PCI Express link; enumeration
    // leaves its register window where the firmware expects it.
    m_sasController = &m_pci->AddFunction(
        SasController::kBus, SasController::kSlot, SasController::kFunction,
        std::make_unique<SasController>(
            kDriveIocRevision,
            MessageInterrupt(m_intc, kDriveIocMessageRegister, kDriveIocMessageBit, line(kMessages))));
    m_sasController->ConfigWrite(0x14, SasController::kRegisterBase);
}

}  // namespace sim

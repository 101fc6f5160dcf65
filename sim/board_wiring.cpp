// How the board is wired: which devices it carries, the bus addresses each
// answers at, the interrupt source each raises and the PCI slot each chip
// sits in.  A device model is added to the board here and nowhere else.
#include "hw/chassis_microcontroller.h"
#include "hw/host_interface.h"
#include "hw/interrupt_controller.h"
#include "hw/memory_controller.h"
#include "hw/pci_ids.h"
#include "sim/board.h"
#include "sim/i2c_units.h"
#include "sim/isp_chip.h"
#include "sim/isp_loop_chip.h"
#include "sim/processor_errors.h"
#include "sim/rtc.h"
#include "sim/vsc7156.h"
#include "sim/sas_controller.h"
#include "sim/sas_target_ioc.h"
#include "sim/scsi_host_ioc.h"
#include "sim/bus_monitor.h"
#include "sim/xor_accelerator.h"

namespace sim {

namespace {

constexpr uint8_t kHostChipRevision = 2;

// The drive-side controller's message: a bit of inbound message status 0,
// the message data the firmware programs.
constexpr unsigned kDriveIocMessageRegister = 0;
constexpr uint32_t kDriveIocMessageBit = fw::INTC_MSI_DRIVE_IOC;
constexpr uint8_t kDriveIocRevision = 8;

constexpr uint32_t kSbsr = fw::MCU_SBSR;

}  // namespace

void Board::WireDevices() {
    auto line = [this](fw::INT_LINE s) { return InterruptLine(m_intc, s.bBank, s.bBit); };

    // The processor's own units.
    m_timers = std::make_unique<Timers>(m_clock, line(fw::INT_LINE_TIMER0), line(fw::INT_LINE_TIMER1));
    m_cpu = std::make_unique<Cpu>(m_intc, *m_timers, m_memory, m_clock);
    m_uart = std::make_unique<Uart>(line(fw::INT_LINE_UART));
    m_bus.Map(Uart::kBase, Uart::kSize, m_uart.get());
    m_gpio = std::make_unique<Gpio>(*this);
    m_bus.Map(Gpio::kBase, Gpio::kSize, m_gpio.get());
    m_i2c = std::make_unique<I2cUnits>(m_clock, std::array<InterruptLine, I2cUnits::kUnits>{
                                                    line(fw::INT_LINE_I2C0), line(fw::INT_LINE_I2C1), line(fw::INT_LINE_I2C2)});
    m_bus.Map(I2cUnits::kBase, I2cUnits::kStride * I2cUnits::kUnits, m_i2c.get());
    for (unsigned u = 0; u < I2cUnits::kUnits; ++u) m_i2c->SetStuck(u, m_config.i2cFault[u]);
    m_errors = std::make_unique<ProcessorErrors>(*this, line(fw::INT_LINE_MEMORY), line(fw::INT_LINE_INTERNAL_BUS),
                                                 line(fw::INT_LINE_ATU));
    m_bus.Latch(kSbsr, MemoryWindows::SbsrValue(m_config.sdramBytes));
    m_xor = std::make_unique<XorAccelerator>(*this, line({fw::AAU_INTERRUPT_REGISTER, fw::AAU_INTERRUPT_BIT}));
    m_bus.Map(XorAccelerator::kBase, fw::AAU_REGISTER_WINDOW, m_xor.get());
    m_busMonitor = std::make_unique<BusMonitor>(*this);
    m_bus.Map(BusMonitor::kBase, BusMonitor::kSize, m_busMonitor.get());
    m_timers->Watch(m_busMonitor.get());

    // The board around the processor.
    m_nvram = std::make_unique<Nvram>(*this, m_config.dataDir.empty() ? "" : m_config.dataDir + "/nvram.bin",
                                      m_config.wwn);
    m_flash = std::make_unique<Flash>(*this, m_config.dataDir.empty() ? "" : m_config.dataDir + "/flash.bin",
                                      m_nvram->Fresh());
    m_bus.Map(Flash::kCtrlBase, fw::FLASH_CTRL_SIZE, m_flash.get());
    m_bus.Map(Flash::kWindowBase, fw::FLASH_SIZE, m_flash.get());
    m_fpga = std::make_unique<Fpga>(*this, m_config.fpgaProgrammed, m_config.slot1, line(fw::INT_LINE_PARTNER_LINK));
    m_bus.Map(Fpga::kBase, Fpga::kSize, m_fpga.get());
    m_i2c->Attach(0, fw::CHASSIS_SENSOR0_ADDRESS, &m_fpga->environment().sensors[0]);
    m_i2c->Attach(0, fw::CHASSIS_SENSOR1_ADDRESS, &m_fpga->environment().sensors[1]);
    m_i2c->Attach(0, fw::MICRO_ADDRESS, &m_fpga->microcontroller());
    for (uint8_t i = 0; i < 3; ++i)
        m_i2c->Attach(1, static_cast<uint8_t>(fw::BOARD_SENSOR0_ADDRESS + 2 * i), &m_fpga->environment().boardSensors[i]);
    m_jtag = std::make_unique<JtagPort>(*m_fpga);
    m_bus.Map(JtagPort::kBase, JtagPort::kSize, m_jtag.get());
    m_rtc = std::make_unique<Rtc>(*this);
    m_i2c->Attach(Rtc::kUnit, Rtc::kAddress, m_rtc.get());
    // The onboard expander's flash (behind the CPLD) and SEEPROM (unit 2).
    Vsc7156::AttachTo(*this);

    // PCI and the chips on it.
    m_pci = std::make_unique<Pci>(*this);
    m_bus.Map(Pci::kAtuxBase, Pci::kAtuxSize, m_pci.get());
    m_bus.Map(Pci::kAtueLinkStatus, 4, m_pci.get());
    m_bus.Map(Pci::kAtueConfigBase, Pci::kAtueConfigSize, m_pci.get());
    m_pci->busDead = m_config.pciFault;
    m_pci->linkDown = m_config.pciExpressFault;

    // Host-port chips on the primary bus (or behind the PCI Express link),
    // by host interface.
    const bool fitted[2] = {m_config.hostChip1, m_config.hostChip2};
    const uint8_t slots[2] = {fw::PCI_DEVICE_HOST_CHIP1, fw::PCI_DEVICE_HOST_CHIP2};
    const fw::INT_LINE lines[2] = {fw::INT_LINE_HOST_CHIP1, fw::INT_LINE_HOST_CHIP2};
    if (m_config.hostInterface == HostInterface::Fc) {
        for (uint8_t n = 0; n < 2; ++n) {
            if (!fitted[n]) continue;
            m_ispChips[n] = &m_pci->AddFunction(
                fw::PCI_BUS_PRIMARY, slots[n], 0,
                std::make_unique<IspChip>(static_cast<uint8_t>(n + 1), m_config.hostChipId, kHostChipRevision,
                                          m_config.hostChipsPcie, line(lines[n])),
                m_config.hostChipsPcie);
        }
    } else if (m_config.hostInterface == HostInterface::SasTarget && m_config.hostChip1) {
        // One IOC serves both SAS host ports, in the first host chip's slot.
        m_sasTargetIoc = &m_pci->AddFunction(
            fw::PCI_BUS_PRIMARY, slots[0], 0,
            std::make_unique<SasTargetIoc>(m_config.sasTargetRevision, line(fw::INT_LINE_HOST_CHIP1)));
        m_sasTargetIoc->ConfigWrite(0x10, 0);
    } else if (m_config.hostInterface == HostInterface::Scsi) {
        // The dual-channel chip: host ports 1 and 2 are its two functions,
        // each on its host chip's interrupt line.
        ScsiHostIoc* functions[2] = {nullptr, nullptr};
        for (uint8_t n = 0; n < 2; ++n) {
            if (!fitted[n]) continue;
            functions[n] = &m_pci->AddFunction(fw::PCI_BUS_PRIMARY, slots[0], n,
                                               std::make_unique<ScsiHostIoc>(n, kHostChipRevision, line(lines[n])));
        }
        if (functions[0] != nullptr) functions[0]->SetSibling(functions[1]);
    }

    // A test board's drive-loop chips sit on the second outbound window; the
    // board register tells the firmware they are there.
    if (m_config.driveLoopChips) {
        m_loopChips[0] = std::make_unique<IspLoopChip>(*this, 3, line(fw::INT_LINE_DRIVE_CHIP3));
        m_loopChips[1] = std::make_unique<IspLoopChip>(*this, 4, line(fw::INT_LINE_DRIVE_CHIP4));
        m_fpga->SetBoardStraps(fw::FPGA_BOARD_DRIVE_LOOPS);
    }

    // The drive-side SAS controller behind the PCI Express link; enumeration
    // leaves its register window where the firmware expects it.
    m_sasController = &m_pci->AddFunction(
        SasController::kBus, SasController::kSlot, SasController::kFunction,
        std::make_unique<SasController>(
            kDriveIocRevision,
            MessageInterrupt(m_intc, kDriveIocMessageRegister, kDriveIocMessageBit, line(fw::INT_LINE_MSI))));
    m_sasController->ConfigWrite(0x14, SasController::kRegisterBase);
}

}  // namespace sim

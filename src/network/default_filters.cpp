#include "network/default_filters.h"

#include <mutex>

#include "interfaces/host.h"
#include "network/packet_object.h"
#include "platform/apartment.h"
#include "platform/bstr.h"
#include "platform/comptr.h"
#include "runtime/current_global.h"

namespace {

// Logical opcode that sets the join mask of the area in byte 1 to byte 2.
constexpr BYTE kSetJoinMaskOpcode = 0x14;

// Physical device commands.
constexpr BYTE kArmOpcode = 0x01;  // byte 4 kRestartCommand, byte 5 1 arms and 0 disarms
constexpr BYTE kRestartCommand = 0x3E;
constexpr BYTE kResetOpcode = 0x02;  // byte 4 kShutDownCommand: shut down when armed
constexpr BYTE kShutDownCommand = 0x21;
constexpr BYTE kEnableSchedulesOpcode = 0x14;
constexpr BYTE kDisableSchedulesOpcode = 0x15;
constexpr BYTE kTriggerSchedulesOpcode = 0x16;
constexpr BYTE kPortSetupOpcode = 0xE8;  // with bytes 1, 2 and 4 as in kPortSetupSignature
constexpr BYTE kPortCommandOpcode = 0xE9;
constexpr BYTE kPortSetupSignature[3] = {0xAA, 0x55, 0xCF};
// The port mask of the port that the device frames above concern.
constexpr DWORD kOwnPortMask = 1;

// A long frame names the box it is for after this byte.
constexpr BYTE kLongFrameAddress = 0xCF;
// Long frames carry commands (not addresses) from byte 2 on when it is below this.
constexpr BYTE kLongFrameCommandFloor = 0x80;

constexpr const char16_t* kScheduledEvent = u"ScheduledEvent";
constexpr const char16_t* kEventNumber = u"EventNumber";

// Plain bytes read without a lock by both default filters (relaxed atomics, so the sanitizer
// sees no race and each byte reads whole).
std::array<std::atomic<BYTE>, 256>& Masks() {
    static std::array<std::atomic<BYTE>, 256> masks{};
    return masks;
}

// The Global's box number, when there is a Global.
bool PanelBox(LONG* box) {
    auto hold = CurrentGlobal::Get();
    auto* network = hold ? hold.As<NetworkServices>() : nullptr;
    if (!network) return false;
    *box = network->BoxNumber();
    return true;
}

bool ForThisPanel(BYTE box_byte) {
    LONG box = 0;
    return PanelBox(&box) && box == box_byte;
}

// Raises `name` with the packet's script object as the parameters; nothing without a Global.
void Announce(const char16_t* name, PacketBase& packet) {
    auto hold = CurrentGlobal::Get();
    if (!hold) return;
    ComPtr<IDispatch> object;
    if (FAILED(GetPacketScriptObject(&packet, object.put())) || !object) return;
    ComPtr<IDispatchEx> parameters = object.As<IDispatchEx>();
    CComBSTR event(name);
    hold->RaiseEvent(event, parameters.get());
}

void PostRegisteredMessage(const OLECHAR* name) {
    BroadcastRegisteredMessage(RegisterWindowMessageW(name), 0, 0);
}

ScheduleThread* CurrentTimerThread() {
    auto hold = CurrentGlobal::Get();
    return hold ? hold->TimerThread() : nullptr;
}

}  // namespace

// ---- Join masks ----

BYTE JoinMasks::Get(BYTE area) {
    return Masks()[area].load(std::memory_order_relaxed);
}

void JoinMasks::Set(BYTE area, BYTE mask) {
    Masks()[area].store(mask, std::memory_order_relaxed);
}

void JoinMasks::ClearAll() {
    for (auto& mask : Masks())
        mask.store(0, std::memory_order_relaxed);
}

BYTE JoinMasks::Widen(BYTE area, BYTE join) {
    const BYTE mask = Get(area);
    return (join & mask) ? static_cast<BYTE>(join | mask) : join;
}

bool JoinMasks::Rewrite(PacketBase& packet, bool checksum) {
    CScopedLock lock(packet.Lock);
    const LONG count = packet.ByteCount();
    if (count < 7 || packet.ByteAt(0) != kLogicalPacket) return false;
    const BYTE join = packet.ByteAt(6);
    const BYTE widened = Widen(packet.ByteAt(1), join);
    if (widened != join) packet.SetByteAt(6, widened);
    if (checksum && count >= 8) packet.SetByteAt(7, packet.Checksum());
    return true;
}

// ---- The incoming default filter ----

DefaultPacketFilters::DefaultPacketFilters() {
    static std::once_flag first;
    std::call_once(first, [] { JoinMasks::ClearAll(); });
}

DefaultPacketFilters::Pass DefaultPacketFilters::Choose(PacketBase& packet) const {
    Pass pass;
    if (JoinMasks::Rewrite(packet, /*checksum=*/false)) packet.DecodeHeader();
    pass.count = packet.CopyBytes(pass.bytes.data(), kPassBytes);
    if (pass.count < 7) return pass;
    const auto& b = pass.bytes;
    const BYTE opcode = b[3];

    if (b[0] == kBlockPacket) {
        pass.action = DefaultAction::kNothing;
    } else if (b[0] == kLogicalPacket) {
        if (opcode == kSetJoinMaskOpcode) {
            pass.action = DefaultAction::kSetJoinMask;
        } else if ((pass.row = FindOpcodeRow(b.data(), static_cast<std::size_t>(pass.count)))) {
            pass.action = DefaultAction::kAnnounce;
        }
    } else if (b[0] == kPhysicalPacket) {
        switch (opcode) {
            case kArmOpcode:
                if (b[4] == kRestartCommand && (b[5] == 0 || b[5] == 1) && ForThisPanel(b[2]))
                    pass.action = b[5] == 1 ? DefaultAction::kArm : DefaultAction::kDisarm;
                break;
            case kEnableSchedulesOpcode:
                pass.action = DefaultAction::kEnableSchedules;
                break;
            case kDisableSchedulesOpcode:
                pass.action = DefaultAction::kDisableSchedules;
                break;
            case kTriggerSchedulesOpcode:
                pass.action = DefaultAction::kTriggerSchedules;
                break;
            case kPortSetupOpcode:
                if (b[1] == kPortSetupSignature[0] && b[2] == kPortSetupSignature[1] &&
                    b[4] == kPortSetupSignature[2] && packet.PortNumber == kOwnPortMask)
                    pass.action = DefaultAction::kConsume;
                break;
            case kPortCommandOpcode:
                if (packet.PortNumber == kOwnPortMask) pass.action = DefaultAction::kConsume;
                break;
            default:
                break;
        }
        if (opcode == kResetOpcode && b[4] == kShutDownCommand && b[5] == 0 && b[6] == 0 &&
            Armed() && ForThisPanel(b[2]))
            pass.action = DefaultAction::kShutDown;
        if (pass.action == DefaultAction::kNoMatch &&
            (pass.row = FindOpcodeRow(b.data(), static_cast<std::size_t>(pass.count))))
            pass.action = DefaultAction::kAnnounce;
    }
    return pass;
}

LONG DefaultPacketFilters::Act(const Pass& pass, const ref<PacketBase>& packet) {
    const BYTE number = pass.bytes[4];
    switch (pass.action) {
        case DefaultAction::kNoMatch:
        case DefaultAction::kNothing:
            return 0;
        case DefaultAction::kAnnounce:
            ApplyOpcodeRow(*pass.row, *packet, pass.bytes.data());
            if (pass.row->event) Announce(pass.row->event, *packet);
            return 0;
        case DefaultAction::kSetJoinMask:
            JoinMasks::Set(pass.bytes[1], pass.bytes[2]);
            return 0;
        case DefaultAction::kArm:
            Arm();
            return 0;
        case DefaultAction::kDisarm:
            Disarm();
            return 0;
        case DefaultAction::kShutDown:
            CancelRestart();
            PostRegisteredMessage(kShutdownNicelyMessageName);
            return 0;
        case DefaultAction::kEnableSchedules:
        case DefaultAction::kDisableSchedules:
        case DefaultAction::kTriggerSchedules: {
            auto hold = CurrentGlobal::Get();
            auto* network = hold ? hold.As<NetworkServices>() : nullptr;
            if (!network) return 0;
            if (pass.action != DefaultAction::kTriggerSchedules) {
                network->EnableSchedules(number, pass.action == DefaultAction::kEnableSchedules);
            } else if (network->TriggerSchedules(number) == 0) {
                // Nobody's schedule: the pages hear of it.
                packet->Decoded.SetValue(kEventNumber, CComVariant(static_cast<LONG>(number)));
                Announce(kScheduledEvent, *packet);
            }
            return 0;
        }
        case DefaultAction::kConsume:
            return 1;
    }
    return 0;
}

void DefaultPacketFilters::ProcessPacket(ref<PacketBase> packet, LONG* consumed) {
    *consumed = 0;
    if (Enable == 0 || !packet) return;
    const Pass pass = Choose(*packet);
    if (pass.action == DefaultAction::kNoMatch) return;  // OnNoMatch does nothing
    *consumed = Act(pass, packet);
}

void DefaultPacketFilters::Matches(ref<PacketBase> packet, LONG* match) {
    *match = packet && Choose(*packet).action != DefaultAction::kNoMatch ? 1 : 0;
}

void DefaultPacketFilters::OnMatch(ref<PacketBase> packet, LONG* consumed) {
    *consumed = 0;
    if (packet) *consumed = Act(Choose(*packet), packet);
}

void DefaultPacketFilters::Arm() {
    armed_.store(1, std::memory_order_relaxed);
    ref<TimerBase> timer;
    {
        CScopedLock lock(restart_lock_);
        if (!restart_timer_) {
            restart_timer_ = new TimerBase;
            restart_timer_->Initialise();
        }
        timer = restart_timer_;
    }
    ScheduleThread* thread = CurrentTimerThread();
    timer->Cancel(thread);
    timer->set_period(kRestartDelayMs);
    timer->set_one_shot(1);
    timer->set_enabled(1);
    timer->set_handler(this);
    timer->Start(thread);
}

void DefaultPacketFilters::Disarm() {
    armed_.store(0, std::memory_order_relaxed);
    CancelRestart();
}

void DefaultPacketFilters::CancelRestart() {
    ref<TimerBase> timer;
    {
        CScopedLock lock(restart_lock_);
        timer = restart_timer_;
    }
    if (!timer) return;
    timer->Cancel(CurrentTimerThread());
    timer->Detach();  // the timer holds this filter only while it runs
}

void DefaultPacketFilters::TimedOut(TimerBase*) {
    PostRegisteredMessage(kRestartAppMessageName);
}

void DefaultPacketFilters::Cleanup() {
    FilterBase::Cleanup();
    ref<TimerBase> timer;
    {
        CScopedLock lock(restart_lock_);
        timer = std::move(restart_timer_);
        restart_timer_ = nullptr;
    }
    if (timer) {
        timer->Cancel(CurrentTimerThread());
        timer->Detach();
    }
}

// ---- The outgoing default filter ----

void DefaultOutgoingFilters::Matches(ref<PacketBase> packet, LONG* match) {
    *match = 0;
    if (packet && JoinMasks::Rewrite(*packet, /*checksum=*/true)) packet->DecodeHeader();
}

// ---- Long frames ----

void BlockLongFramesExceptMe::Matches(ref<PacketBase> packet, LONG* match) {
    *match = packet && packet->ByteCount() > 0 && packet->ByteAt(0) == kLongFrame ? 1 : 0;
}

void BlockLongFramesExceptMe::OnMatch(ref<PacketBase> packet, LONG* consumed) {
    *consumed = 1;
    BYTE b[9] = {};
    const LONG count = packet ? packet->CopyBytes(b, 9) : 0;
    LONG box = 0;
    if (count < 8 || b[2] < kLongFrameCommandFloor || !PanelBox(&box)) return;
    const bool at_3 = b[3] == kLongFrameAddress && b[4] * 256 + b[5] == box;
    const bool at_6 = count >= 9 && b[6] == kLongFrameAddress && b[7] * 256 + b[8] == box;
    if (at_3 || at_6) *consumed = 0;
}

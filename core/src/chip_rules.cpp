#include "chip_rules.h"

namespace zelta {
namespace {

// ---------------------------------------------------------------------------
// OPN family: YM2203 (type 2), YM2612 (type 3), YM2608 (type 4).
//
//   reg        port  key-on when                      sound
//   ---------  ----  -------------------------------  ---------------------------
//   0x28       0     value & 0xF0 != 0                FM key-on, one slot or more
//   0x08-0x0A  0     value != 0                       SSG channel A/B/C level
//   0x10       0     bit 7 clear, value & 0x3F != 0   rhythm key-on (bit 7 set is
//                                                     a dump: it silences)
//   0x00       1     value & 0xC9 == 0x80             ADPCM start: bit 7 start
//                                                     set; 6 record, 3 speaker
//                                                     off, 0 reset clear
//   0x27       0     bits 7-6 == 10                   CSM: timer A keys channel 3
//   0x2A       0     type 3, DAC enabled, != 0x80     DAC level away from silence
//   0x2B       0     type 3, bit 7 set, last 0x2A     DAC enabled while its level
//                    value != 0x80                    is away from silence
//
// Register 0x27, port 0, bits 7-6: channel-3 mode (00 normal, 01 separate
// operator frequencies, 10 CSM); the other bits are timer controls.
// ---------------------------------------------------------------------------
constexpr std::uint8_t kOpnKeyOnReg = 0x28;
constexpr std::uint8_t kOpnSlotBits = 0xF0;
constexpr std::uint8_t kOpnSsgLevelFirst = 0x08;
constexpr std::uint8_t kOpnSsgLevelLast = 0x0A;
constexpr std::uint8_t kOpnRhythmReg = 0x10;
constexpr std::uint8_t kOpnRhythmDump = 0x80;
constexpr std::uint8_t kOpnRhythmInstruments = 0x3F;
constexpr std::uint8_t kOpnAdpcmControlReg = 0x00;  // port 1
constexpr std::uint8_t kOpnAdpcmTestMask = 0xC9;    // start, record, speaker off, reset
constexpr std::uint8_t kOpnAdpcmStartOnly = 0x80;   // start set, the other three clear
constexpr std::uint8_t kOpnCh3ModeCsm = 0x2;
constexpr std::uint8_t kOpn2DacValueReg = 0x2A;
constexpr std::uint8_t kOpn2DacEnableReg = 0x2B;
constexpr std::uint8_t kOpn2DacEnableBit = 0x80;
constexpr std::uint8_t kOpn2DacSilence = 0x80;

// ---------------------------------------------------------------------------
// OPM: YM2151 (type 5), one port.
//
//   reg   key-on when                  sound
//   ----  ---------------------------  --------------------------------------
//   0x08  value & 0x78 != 0            key-on, slot bits 6-3 (bits 2-0 channel)
//   0x14  bit 7 set                    CSM: timer A keys all channels
// ---------------------------------------------------------------------------
constexpr std::uint8_t kOpmKeyOnReg = 0x08;
constexpr std::uint8_t kOpmSlotBits = 0x78;
constexpr std::uint8_t kOpmTimerReg = 0x14;
constexpr std::uint8_t kOpmCsmBit = 0x80;

// ---------------------------------------------------------------------------
// OPLL: YM2413 (type 6), one port.
//
//   reg        key-on when                       sound
//   ---------  --------------------------------  ------------------------------
//   0x20-0x28  bit 4 set                         channel key (bit 5 sustain)
//   0x0E       bit 5 set, value & 0x1F != 0      rhythm mode, an instrument on
// ---------------------------------------------------------------------------
constexpr std::uint8_t kOpllKeyFirst = 0x20;
constexpr std::uint8_t kOpllKeyLast = 0x28;
constexpr std::uint8_t kOpllKeyBit = 0x10;
constexpr std::uint8_t kOpllRhythmReg = 0x0E;

// ---------------------------------------------------------------------------
// OPL: YM3526 (type 7), OPL2: YM3812 (type 8), one port; OPL3: YMF262
// (type 9), the same rules on both ports.
//
//   reg        key-on when                       sound
//   ---------  --------------------------------  ------------------------------
//   0xB0-0xB8  bit 5 set                         channel key-on
//   0xBD       bit 5 set, value & 0x1F != 0      rhythm mode, an instrument on
// ---------------------------------------------------------------------------
constexpr std::uint8_t kOplKeyFirst = 0xB0;
constexpr std::uint8_t kOplKeyLast = 0xB8;
constexpr std::uint8_t kOplKeyBit = 0x20;
constexpr std::uint8_t kOplRhythmReg = 0xBD;

// OPLL and OPL share the rhythm layout: bit 5 rhythm mode, bits 4-0 the five
// instruments.
constexpr std::uint8_t kRhythmModeBit = 0x20;
constexpr std::uint8_t kRhythmInstrumentBits = 0x1F;

// ---------------------------------------------------------------------------
// PSG: YM2149 (type 1) and AY-3-8910 (type 15), one port.
//
//   reg        key-on when   sound
//   ---------  ------------  ----------------------------------------------
//   0x08-0x0A  value != 0    channel A/B/C level (sounds even with tone and
//                            noise off)
// ---------------------------------------------------------------------------
constexpr std::uint8_t kPsgLevelFirst = 0x08;
constexpr std::uint8_t kPsgLevelLast = 0x0A;

// ---------------------------------------------------------------------------
// DCSG: SN76489 (type 16), one port. The chip takes the command's value byte;
// a register byte of 1 writes the stereo register instead.
//
//   value byte                    key-on when
//   ----------------------------  -------------------------------------------
//   1 r r t d d d d  (latch)      t = 1 (volume) and dddd < 0xF
//   0 - d d d d d d  (data)       last latch named a volume, dddd < 0xF
//
// dddd is an attenuation: 0xF is silence.
// ---------------------------------------------------------------------------
constexpr std::uint8_t kDcsgStereoReg = 0x01;
constexpr std::uint8_t kDcsgLatchBit = 0x80;
constexpr std::uint8_t kDcsgVolumeBit = 0x10;
constexpr std::uint8_t kDcsgAttenuationBits = 0x0F;
constexpr std::uint8_t kDcsgSilent = 0x0F;

constexpr bool InRange(std::uint8_t v, std::uint8_t first, std::uint8_t last) {
    return v >= first && v <= last;
}

bool RhythmSounds(std::uint8_t value) {
    return (value & kRhythmModeBit) != 0 && (value & kRhythmInstrumentBits) != 0;
}

bool OpmSounds(const RegisterWrite& w) {
    return (w.reg == kOpmKeyOnReg && (w.value & kOpmSlotBits) != 0) ||
           (w.reg == kOpmTimerReg && (w.value & kOpmCsmBit) != 0);
}

bool OpllSounds(const RegisterWrite& w) {
    return (InRange(w.reg, kOpllKeyFirst, kOpllKeyLast) && (w.value & kOpllKeyBit) != 0) ||
           (w.reg == kOpllRhythmReg && RhythmSounds(w.value));
}

bool OplSounds(const RegisterWrite& w) {
    return (InRange(w.reg, kOplKeyFirst, kOplKeyLast) && (w.value & kOplKeyBit) != 0) ||
           (w.reg == kOplRhythmReg && RhythmSounds(w.value));
}

bool PsgSounds(const RegisterWrite& w) {
    return InRange(w.reg, kPsgLevelFirst, kPsgLevelLast) && w.value != 0;
}

// ---------------------------------------------------------------------------
// Writes the loop search leaves out of its comparison, or compares by their
// mode bits alone (only a change of mode counts, 0 before any write).
//
//   chip                 port  reg        treatment
//   -------------------  ----  ---------  -----------------------------------
//   OPN family (2,3,4)   0     0x24-0x26  left out: timer A and B values
//                        0     0x0E-0x0F  left out: SSG I/O ports
//                        0, 1  0x27       bits 7-6 (channel-3 mode); the timer
//                                         controls, bits 5-0, are not compared
//   OPM (5)              0     0x10-0x13  left out: timer values
//                        0     0x14       bit 7 (CSM); timer controls not
//   PSG (1), AY (15)     0     0x0E-0x0F  left out: I/O ports
//   OPL, OPL2, OPL3      0     0x02-0x04  left out: timer values and control
//   (7, 8, 9)
//
// Every other write, the OPN2's DAC data (0x2A) included, is compared whole.
// ---------------------------------------------------------------------------
constexpr std::uint8_t kOpnTimerValueFirst = 0x24;
constexpr std::uint8_t kOpnTimerValueLast = 0x26;
constexpr std::uint8_t kOpnCh3ModeBits = 0xC0;
constexpr std::uint8_t kSsgIoFirst = 0x0E;
constexpr std::uint8_t kSsgIoLast = 0x0F;
constexpr std::uint8_t kOpmTimerValueFirst = 0x10;
constexpr std::uint8_t kOpmTimerValueLast = 0x13;
constexpr std::uint8_t kOplTimerFirst = 0x02;
constexpr std::uint8_t kOplTimerLast = 0x04;

}  // namespace

CompareRule CompareRuleFor(std::int32_t type, int port, std::uint8_t reg) {
    constexpr CompareRule kLeftOut{Compare::kLeftOut, 0};
    const bool port0 = port == 0;
    switch (type) {
    case kTypeOpn:
    case kTypeOpn2:
    case kTypeOpna:
        if (reg == kOpnTimerReg) return {Compare::kModeBits, kOpnCh3ModeBits};
        if (port0 && (InRange(reg, kOpnTimerValueFirst, kOpnTimerValueLast) ||
                      InRange(reg, kSsgIoFirst, kSsgIoLast))) {
            return kLeftOut;
        }
        break;
    case kTypeOpm:
        if (port0 && reg == kOpmTimerReg) return {Compare::kModeBits, kOpmCsmBit};
        if (port0 && InRange(reg, kOpmTimerValueFirst, kOpmTimerValueLast)) return kLeftOut;
        break;
    case kTypePsg:
    case kTypeAy:
        if (port0 && InRange(reg, kSsgIoFirst, kSsgIoLast)) return kLeftOut;
        break;
    case kTypeOpl:
    case kTypeOpl2:
    case kTypeOpl3:
        if (port0 && InRange(reg, kOplTimerFirst, kOplTimerLast)) return kLeftOut;
        break;
    default:
        break;
    }
    return {};
}

// The registers the key-on rules above name, and every write of the DCSG,
// whose latch is followed.
bool KeyOnWatched(std::int32_t type, int port, std::uint8_t reg) {
    switch (type) {
    case kTypeOpn:
    case kTypeOpn2:
    case kTypeOpna:
        if (port == 1) return reg == kOpnAdpcmControlReg;
        return reg == kOpnKeyOnReg || reg == kOpnRhythmReg || reg == kOpnTimerReg ||
               InRange(reg, kOpnSsgLevelFirst, kOpnSsgLevelLast) ||
               (type == kTypeOpn2 && (reg == kOpn2DacValueReg || reg == kOpn2DacEnableReg));
    case kTypeOpm:
        return reg == kOpmKeyOnReg || reg == kOpmTimerReg;
    case kTypeOpll:
        return InRange(reg, kOpllKeyFirst, kOpllKeyLast) || reg == kOpllRhythmReg;
    case kTypeOpl:
    case kTypeOpl2:
    case kTypeOpl3:
        return InRange(reg, kOplKeyFirst, kOplKeyLast) || reg == kOplRhythmReg;
    case kTypePsg:
    case kTypeAy:
        return InRange(reg, kPsgLevelFirst, kPsgLevelLast);
    case kTypeDcsg:
        return true;
    default:
        return false;
    }
}

Sound KeyOnWatch::Observe(const RegisterWrite& w) {
    DeviceState& state = devices_[static_cast<std::size_t>(w.device)];
    if (IsOpnFamily(w.type)) {
        return OpnFamilySounds(w, state) ? Sound::kOpnFamily : Sound::kNone;
    }
    return OtherChipSounds(w, state) ? Sound::kOtherChip : Sound::kNone;
}

bool KeyOnWatch::OpnFamilySounds(const RegisterWrite& w, DeviceState& state) const {
    const std::uint8_t v = w.value;
    if (w.port == 1) {
        return w.reg == kOpnAdpcmControlReg && (v & kOpnAdpcmTestMask) == kOpnAdpcmStartOnly;
    }
    switch (w.reg) {
    case kOpnKeyOnReg:
        return (v & kOpnSlotBits) != 0;
    case kOpnRhythmReg:
        return (v & kOpnRhythmDump) == 0 && (v & kOpnRhythmInstruments) != 0;
    case kOpnTimerReg:
        return (v >> kOpnCh3ModeShift) == kOpnCh3ModeCsm;
    default:
        break;
    }
    if (InRange(w.reg, kOpnSsgLevelFirst, kOpnSsgLevelLast)) {
        return v != 0;
    }
    if (w.type == kTypeOpn2 && w.reg == kOpn2DacValueReg) {
        state.dacValue = v;
        return state.dacEnabled && v != kOpn2DacSilence;
    }
    if (w.type == kTypeOpn2 && w.reg == kOpn2DacEnableReg) {
        state.dacEnabled = (v & kOpn2DacEnableBit) != 0;
        return state.dacEnabled && state.dacValue != kOpn2DacSilence;
    }
    return false;
}

bool KeyOnWatch::OtherChipSounds(const RegisterWrite& w, DeviceState& state) const {
    switch (w.type) {
    case kTypeOpm:
        return OpmSounds(w);
    case kTypeOpll:
        return OpllSounds(w);
    case kTypeOpl:
    case kTypeOpl2:
    case kTypeOpl3:
        return OplSounds(w);
    case kTypePsg:
    case kTypeAy:
        return PsgSounds(w);
    case kTypeDcsg: {
        if (w.reg == kDcsgStereoReg) return false;
        const std::uint8_t v = w.value;
        const bool audible = (v & kDcsgAttenuationBits) < kDcsgSilent;
        if ((v & kDcsgLatchBit) != 0) {
            state.dcsgVolumeLatched = (v & kDcsgVolumeBit) != 0;
            return state.dcsgVolumeLatched && audible;
        }
        return state.dcsgVolumeLatched && audible;
    }
    default:
        return false;
    }
}

void LeadInFilter::FillLeftOutModes(const std::array<std::int32_t, kMaxDevices>& types,
                                    std::uint8_t (&byCommand)[kLeftOutTableSize]) const {
    for (int command = 0; command < kLeftOutTableSize; ++command) {
        const int device = command >> kDeviceIndexShift;
        const auto d = static_cast<std::size_t>(device);
        std::uint8_t& entry = byCommand[command];
        if (device >= kMaxDevices || !IsOpnFamily(types[d])) {
            entry = kNoMode;
        } else {
            entry = (command & kPortBit) != 0 ? kAnyMode : ch3Mode_[d];
        }
    }
}

}  // namespace zelta

// Which register writes make a sound (key-ons), and which writes of the
// silent lead-in may be left out.
#pragma once

#include <array>
#include <cstdint>

#include "s98_image.h"

namespace zelta {

// One register write of the stream, decoded.
struct RegisterWrite {
    int device = 0;  // command byte >> 1
    int port = 0;    // command byte & 1
    std::uint8_t reg = 0;
    std::uint8_t value = 0;
    std::int32_t type = 0;  // the device's type
};

enum class Sound {
    kNone,       // the write starts no sound
    kOpnFamily,  // a key-on of a type 2, 3 or 4 device
    kOtherChip,  // a key-on of any other device
};

// Decides whether each write sounds. Some rules depend on earlier writes to
// the same device (the DAC's enable and level, the DCSG's latched register),
// so every write up to the start must be shown, in stream order.
class KeyOnWatch {
public:
    Sound Observe(const RegisterWrite& w);

private:
    struct DeviceState {
        bool dacEnabled = false;        // OPN2 0x2B bit 7
        std::uint8_t dacValue = 0x80;   // OPN2 0x2A, silent mid-level at first
        bool dcsgVolumeLatched = false; // DCSG: last latch named a volume
    };
    bool OpnFamilySounds(const RegisterWrite& w, DeviceState& state) const;
    bool OtherChipSounds(const RegisterWrite& w, DeviceState& state) const;

    std::array<DeviceState, kMaxDevices> devices_{};
};

// Register 0x27 of the OPN family (port 0) and where its channel-3 mode bits
// begin; the OPN family's table in chip_rules.cpp.
inline constexpr std::uint8_t kOpnTimerReg = 0x27;
inline constexpr int kOpnCh3ModeShift = 6;

// What happens to a command of the lead-in (the stretch before the start).
enum class Fate {
    kKeep,        // goes to the output
    kDropLogged,  // left out, and listed by the detail log
    kDropQuiet,   // left out, never listed (port-1 timer writes)
};

// Decides the fate of the lead-in's register writes. Waits are always left
// out and need no filter. Register 0x27 of the OPN family holds the timer
// controls and, in bits 7-6, the channel-3 mode; a write that changes the
// mode must reach the output, one that repeats the mode in effect need not.
class LeadInFilter {
public:
    // Inline: the scan asks for every write of the lead-in.
    Fate Classify(const RegisterWrite& w) {
        if (!IsOpnFamily(w.type) || w.reg != kOpnTimerReg) return Fate::kKeep;
        if (w.port == 1) return Fate::kDropQuiet;
        std::uint8_t& mode = ch3Mode_[static_cast<std::size_t>(w.device)];
        const auto written = static_cast<std::uint8_t>(w.value >> kOpnCh3ModeShift);
        if (written == mode) return Fate::kDropLogged;
        mode = written;
        ++modeChanges_;
        return Fate::kKeep;
    }

    // The same rule as a table for many writes at once: for each command
    // byte below kLeftOutTableSize, the bits 7-6 a write to register 0x27
    // must hold to be left out as things stand, kAnyMode (port 1 of the OPN
    // family: always) or kNoMode (never).
    static constexpr int kLeftOutTableSize = 128;
    static constexpr std::uint8_t kAnyMode = 0xFF;
    static constexpr std::uint8_t kNoMode = 0xFE;
    void FillLeftOutModes(const std::array<std::int32_t, kMaxDevices>& types,
                          std::uint8_t (&byCommand)[kLeftOutTableSize]) const;
    // How many times a write changed a mode: the table is to be filled again.
    std::uint64_t modeChanges() const { return modeChanges_; }

private:
    std::array<std::uint8_t, kMaxDevices> ch3Mode_{};  // mode bits in effect
    std::uint64_t modeChanges_ = 0;
};

// How the loop search compares a write. A write that cannot change the sound
// (a timer value, an I/O port) is left out of the comparison; a mode
// register, whose other bits are timer controls, counts only when its mode
// bits change, and is then compared by them; every other write is compared
// by its three bytes. The table is in chip_rules.cpp.
enum class Compare : std::uint8_t {
    kWhole,
    kLeftOut,
    kModeBits,
};
struct CompareRule {
    Compare how = Compare::kWhole;
    std::uint8_t modeBits = 0;  // for kModeBits
};
CompareRule CompareRuleFor(std::int32_t type, int port, std::uint8_t reg);

// Whether KeyOnWatch::Observe may find a sound in, or keep state from, a
// write to this register (every other write it passes over as silent).
bool KeyOnWatched(std::int32_t type, int port, std::uint8_t reg);

}  // namespace zelta

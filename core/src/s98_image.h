// The S98 file as this tool reads it: the image, its header, its commands.
#pragma once

#include <cstdint>
#include <array>
#include <span>

namespace zelta {

// ---------------------------------------------------------------------------
// Header. All multi-byte fields are 32-bit little-endian, read and compared as
// signed 32-bit integers (a field of 0x80000000 or more is negative).
//
//   offset  width  field        use
//   ------  -----  -----------  ---------------------------------------------
//   0x00    3      magic        not examined, copied
//   0x03    1      version      ASCII digit; '2' and anything above '3' refused
//   0x04    4      tickNumer    a tick lasts tickNumer/tickDenom seconds; 0
//   0x08    4      tickDenom    means 10 and 1000 (read by the loop search
//                               only, as unsigned), otherwise copied
//   0x0C    4      (reserved)   not examined, copied
//   0x10    4      tagOffset    0 = no tag; rewritten in the output
//   0x14    4      dumpOffset   first byte of the command stream
//   0x18    4      loopOffset   0 = no loop; rewritten in the output
//   0x1C    4      deviceCount  0 = one implicit device of type 4 (OPNA)
//   0x20    16*n   devices      entry i at 0x20 + 16*i: +0 the device type,
//                               +4 its clock in Hz (read by the sound model
//                               only; 0 = the type's usual clock), the other
//                               8 bytes not examined
// ---------------------------------------------------------------------------
inline constexpr std::int64_t kHeaderSize = 0x20;
inline constexpr std::int64_t kVersionAt = 0x03;
inline constexpr std::int64_t kTickNumerAt = 0x04;
inline constexpr std::int64_t kTickDenomAt = 0x08;
inline constexpr std::uint32_t kDefaultTickNumer = 10;
inline constexpr std::uint32_t kDefaultTickDenom = 1000;
inline constexpr std::int64_t kTagOffsetAt = 0x10;
inline constexpr std::int64_t kDumpOffsetAt = 0x14;
inline constexpr std::int64_t kLoopOffsetAt = 0x18;
inline constexpr std::int64_t kDeviceCountAt = 0x1C;
inline constexpr std::int64_t kDeviceEntriesAt = 0x20;
inline constexpr std::int64_t kDeviceEntrySize = 16;
inline constexpr std::int64_t kDeviceTypeSize = 4;
inline constexpr std::int64_t kDeviceClockAt = 4;  // within an entry

inline constexpr int kVersionDigitZero = 0x30;
inline constexpr int kRefusedVersion = 2;
inline constexpr int kNewestVersion = 3;

// The largest image: sizes and offsets are signed 32-bit.
inline constexpr std::int64_t kMaxImageSize = 0x7FFFFFFF;

// ---------------------------------------------------------------------------
// Command stream, by first byte.
//
//   byte       length  meaning
//   ---------  ------  ------------------------------------------------------
//   0x00-0xFC  3       register write: byte 0 = device index * 2 + port,
//                      byte 1 = register, byte 2 = value
//   0xFD       1       end of data; nothing after it is read
//   0xFE       1 + n   n-sync: wait; n >= 1 count bytes, each with bit 7 set
//                      is followed by another, the first with bit 7 clear ends
//   0xFF       1       1-sync: wait one tick
//
// An n-sync waits its count + 2 ticks; the count is little-endian in the low
// 7 bits of its bytes (FE 00: 2 ticks, FE 7F: 129, FE 80 01: 130). Only the
// loop search evaluates it.
// ---------------------------------------------------------------------------
inline constexpr std::uint8_t kEndOfData = 0xFD;
inline constexpr std::uint8_t kNSync = 0xFE;
inline constexpr std::uint8_t kOneSync = 0xFF;
inline constexpr std::uint8_t kCountContinues = 0x80;
inline constexpr std::uint8_t kCountBits = 0x7F;
inline constexpr int kCountBitsPerByte = 7;
inline constexpr std::uint64_t kNSyncExtraTicks = 2;
inline constexpr std::int64_t kRegisterWriteSize = 3;
inline constexpr std::uint8_t kPortBit = 0x01;
inline constexpr int kDeviceIndexShift = 1;
// Command bytes 0x00-0xFC address devices 0-126.
inline constexpr int kMaxDevices = 127;

// Device types, numbered as in the format.
enum DeviceType : std::int32_t {
    kTypeNone = 0,
    kTypePsg = 1,      // YM2149
    kTypeOpn = 2,      // YM2203
    kTypeOpn2 = 3,     // YM2612
    kTypeOpna = 4,     // YM2608
    kTypeOpm = 5,      // YM2151
    kTypeOpll = 6,     // YM2413
    kTypeOpl = 7,      // YM3526
    kTypeOpl2 = 8,     // YM3812
    kTypeOpl3 = 9,     // YMF262
    kTypeAy = 15,      // AY-3-8910
    kTypeDcsg = 16,    // SN76489
};
inline constexpr std::int32_t kImplicitDeviceType = kTypeOpna;

// Types 2, 3 and 4: the family whose timer writes are left out.
constexpr bool IsOpnFamily(std::int32_t type) {
    return type == kTypeOpn || type == kTypeOpn2 || type == kTypeOpna;
}

// ---------------------------------------------------------------------------
// Byte helpers.
// ---------------------------------------------------------------------------
inline std::int32_t ReadLe32(const std::uint8_t* p) {
    const std::uint32_t v = std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 |
                            std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
    return static_cast<std::int32_t>(v);
}

inline void StoreLe32(std::uint8_t* p, std::int32_t value) {
    const auto v = static_cast<std::uint32_t>(value);
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

// The input, or its first bytes while the rest is still being read. Offsets
// are byte offsets into the file and into `bytes`.
struct S98Image {
    std::span<const std::uint8_t> bytes;
    std::int64_t size() const { return static_cast<std::int64_t>(bytes.size()); }
    std::uint8_t at(std::int64_t offset) const { return bytes[static_cast<std::size_t>(offset)]; }
    const std::uint8_t* ptr(std::int64_t offset) const { return bytes.data() + offset; }
};

// The fields this tool reads. Only valid for an image of kHeaderSize bytes or
// more.
struct S98Header {
    std::int64_t fileSize = 0;  // the whole file's, which the image may not all hold yet
    int version = 0;  // byte 3 - '0'
    std::int32_t tagOffset = 0;
    std::int32_t dumpOffset = 0;
    std::int32_t loopOffset = 0;
    std::int32_t deviceCount = 0;
    std::uint32_t tickNumer = 0;  // as the file holds them, 0 for the defaults
    std::uint32_t tickDenom = 0;
    std::int64_t streamEnd = 0;  // exclusive end of the command stream
};

// `image` holds at least the first kHeaderSize bytes of a file of
// `fileSize` bytes.
S98Header ReadHeader(const S98Image& image, std::int64_t fileSize);

// The device types a register write may address. An index is valid when it
// is below the device count and its entry's type word lies inside the file;
// with a device count of 0 only index 0 is valid, of type 4.
struct DeviceTable {
    int validCount = 0;  // indexes 0 .. validCount-1 are valid
    std::array<std::int32_t, kMaxDevices> types{};
    // Each valid device's clock word, 0 where it is 0 or lies beyond the image.
    std::array<std::uint32_t, kMaxDevices> clocks{};
};

// `image` holds the file's first min(fileSize, DeviceTableEnd(header)) bytes
// at least.
DeviceTable ReadDeviceTable(const S98Image& image, const S98Header& header);

// Just past the entries the device table may read.
constexpr std::int64_t DeviceTableEnd(const S98Header& header) {
    const std::int64_t count = header.deviceCount < 0            ? 0
                               : header.deviceCount > kMaxDevices ? kMaxDevices
                                                                  : header.deviceCount;
    return kDeviceEntriesAt + kDeviceEntrySize * count;
}

// Whether an entry ReadDeviceTable reads has a byte of its type or clock word
// at or after the data offset (only a header whose device count runs past
// the bytes before the data does). Its devices are then stream (or tag)
// bytes: an output that leaves commands out or cuts the stream moves other
// bytes there, and a second run reads other devices. The loop search declines
// such a file, as should anything else that cuts the stream; the ordinary
// conversion converts it as read.
bool DeviceTableReachesStream(const S98Header& header);

}  // namespace zelta

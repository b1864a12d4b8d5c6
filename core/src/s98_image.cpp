#include "s98_image.h"

#include <algorithm>

namespace zelta {

S98Header ReadHeader(const S98Image& image, std::int64_t fileSize) {
    S98Header h;
    h.fileSize = fileSize;
    h.version = int{image.at(kVersionAt)} - kVersionDigitZero;
    h.tagOffset = ReadLe32(image.ptr(kTagOffsetAt));
    h.dumpOffset = ReadLe32(image.ptr(kDumpOffsetAt));
    h.loopOffset = ReadLe32(image.ptr(kLoopOffsetAt));
    h.deviceCount = ReadLe32(image.ptr(kDeviceCountAt));
    h.tickNumer = static_cast<std::uint32_t>(ReadLe32(image.ptr(kTickNumerAt)));
    h.tickDenom = static_cast<std::uint32_t>(ReadLe32(image.ptr(kTickDenomAt)));
    // The tag ends the stream only when it follows the data.
    h.streamEnd = h.tagOffset > h.dumpOffset ? std::int64_t{h.tagOffset} : fileSize;
    return h;
}

namespace {

// The entries read from the file: those below the device count whose type
// word lies inside the file (none with a device count of 0).
int EntriesRead(const S98Header& header) {
    if (header.deviceCount == 0) return 0;
    const std::int64_t room = header.fileSize - kDeviceEntriesAt - kDeviceTypeSize;
    const std::int64_t inImage = room < 0 ? 0 : room / kDeviceEntrySize + 1;
    const std::int64_t count =
        std::min({std::int64_t{header.deviceCount}, inImage, std::int64_t{kMaxDevices}});
    return count < 0 ? 0 : static_cast<int>(count);
}

}  // namespace

DeviceTable ReadDeviceTable(const S98Image& image, const S98Header& header) {
    DeviceTable table;
    if (header.deviceCount == 0) {
        table.validCount = 1;
        table.types[0] = kImplicitDeviceType;
        return table;
    }
    table.validCount = EntriesRead(header);
    for (int i = 0; i < table.validCount; ++i) {
        const std::int64_t entry = kDeviceEntriesAt + kDeviceEntrySize * i;
        table.types[static_cast<std::size_t>(i)] = ReadLe32(image.ptr(entry));
        if (entry + kDeviceClockAt + 4 <= std::min(header.fileSize, image.size())) {
            table.clocks[static_cast<std::size_t>(i)] =
                static_cast<std::uint32_t>(ReadLe32(image.ptr(entry + kDeviceClockAt)));
        }
    }
    return table;
}

bool DeviceTableReachesStream(const S98Header& header) {
    const int read = EntriesRead(header);
    if (read == 0) return false;
    const std::int64_t lastClockEnd =
        kDeviceEntriesAt + kDeviceEntrySize * (read - 1) + kDeviceClockAt + 4;
    return lastClockEnd > header.dumpOffset;
}

}  // namespace zelta

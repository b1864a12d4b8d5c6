#include "reference_model.h"

#include <algorithm>
#include <cstdio>

namespace zelta::model {
namespace {

std::string Format(const char* format, unsigned a, unsigned b = 0, unsigned c = 0, unsigned d = 0) {
    char text[96];
    std::snprintf(text, sizeof text, format, a, b, c, d);
    return text;
}

std::int32_t Word(std::span<const std::uint8_t> image, std::int64_t at) {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= std::uint32_t{image[static_cast<std::size_t>(at + i)]} << (8 * i);
    return static_cast<std::int32_t>(v);
}

enum class Kind { OneSync, NSync, Count, Write, End };

struct Command {
    Kind kind;
    std::int64_t offset;
    std::uint8_t bytes[3] = {0, 0, 0};
    std::int32_t deviceType = 0;
    bool keyOn = false;
    bool opnFamily = false;
    bool timer = false;          // register 0x27 of an OPN-family device
    bool keepsMode = false;      // a port-0 timer write that leaves the channel-3 mode as it is
    std::int64_t Size() const { return kind == Kind::Write ? 3 : 1; }
};

// Per device index: what the key-on rules need to remember.
struct DeviceState {
    int channel3Mode = 0;        // bits 7-6 of the last port-0 0x27 value
    bool dacEnabled = false;     // last 0x2B had bit 7 set
    int dacValue = 0x80;         // last 0x2A value
    bool volumeLatched = false;  // DCSG: last latch byte named a volume register
};

bool IsOpnFamily(std::int32_t type) { return type == 2 || type == 3 || type == 4; }

// Decides whether a write starts a sound, updating the device's state.
void Judge(Command& w, DeviceState& d) {
    const int port = w.bytes[0] & 1;
    const int reg = w.bytes[1];
    const int val = w.bytes[2];
    bool on = false;
    switch (w.deviceType) {
    case 2: case 3: case 4:
        if (port == 0) {
            if (reg == 0x28) on = (val & 0xF0) != 0;
            else if (reg >= 0x08 && reg <= 0x0A) on = val != 0;
            else if (reg == 0x10) on = (val & 0x80) == 0 && (val & 0x3F) != 0;
            else if (reg == 0x27) {
                const int mode = val & 0xC0;
                w.keepsMode = mode == d.channel3Mode;
                on = mode == 0x80 && !w.keepsMode;
                d.channel3Mode = mode;
            } else if (w.deviceType == 3 && reg == 0x2A) {
                on = val != 0x80 && d.dacEnabled;
                d.dacValue = val;
            } else if (w.deviceType == 3 && reg == 0x2B) {
                on = (val & 0x80) != 0 && d.dacValue != 0x80;
                d.dacEnabled = (val & 0x80) != 0;
            }
        } else if (reg == 0x00) {
            on = (val & 0xC9) == 0x80;
        }
        break;
    case 5:
        on = (reg == 0x08 && (val & 0x78) != 0) || (reg == 0x14 && (val & 0x80) != 0);
        break;
    case 6:
        on = (reg >= 0x20 && reg <= 0x28 && (val & 0x10) != 0) ||
             (reg == 0x0E && (val & 0x20) != 0 && (val & 0x1F) != 0);
        break;
    case 7: case 8: case 9:
        on = (reg >= 0xB0 && reg <= 0xB8 && (val & 0x20) != 0) ||
             (reg == 0xBD && (val & 0x20) != 0 && (val & 0x1F) != 0);
        break;
    case 1: case 15:
        on = reg >= 0x08 && reg <= 0x0A && val != 0;
        break;
    case 16:
        if (reg == 1) break;
        if (val & 0x80) d.volumeLatched = (val & 0x10) != 0;
        on = d.volumeLatched && (val & 0x0F) < 0x0F;
        break;
    default:
        break;
    }
    w.keyOn = on;
}

}  // namespace

std::string OutputNameFor(const std::string& inputPath) {
    const auto slash = inputPath.rfind('/');
    std::string name = slash == std::string::npos ? inputPath : inputPath.substr(slash + 1);
    const auto dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) name.resize(dot);
    return name + "_new.s98";
}

ModelResult Convert(std::span<const std::uint8_t> image, ModelOptions options, const std::string& inputPath) {
    ModelResult r;
    const auto size = static_cast<std::int64_t>(image.size());
    if (size < 32) { r.message = "S98 header error."; return r; }
    const int version = int{image[3]} - 0x30;
    if (version == 2 || version > 3) { r.message = "S98 version error."; return r; }
    const std::int64_t tag = Word(image, 0x10);
    const std::int64_t dump = Word(image, 0x14);
    const std::int64_t loop = Word(image, 0x18);
    const std::int64_t count = Word(image, 0x1C);
    if (dump < 32 || dump > size) {
        r.message = Format("data offset error. %08x", static_cast<unsigned>(dump));
        return r;
    }
    if (tag != 0 && (tag < 32 || tag > size)) {
        r.message = Format("tag offset error. %08x", static_cast<unsigned>(tag));
        return r;
    }
    const std::int64_t end = tag > dump ? tag : size;

    // Pass 1: read every command up to the end-of-data command.
    std::vector<Command> commands;
    std::int64_t at = dump;
    while (at < end) {
        const std::uint8_t c = image[at];
        if (c == 0xFF) {
            commands.push_back({Kind::OneSync, at});
            ++at;
        } else if (c == 0xFD) {
            commands.push_back({Kind::End, at});
            ++at;
            break;
        } else if (c == 0xFE) {
            commands.push_back({Kind::NSync, at});
            ++at;
            std::uint8_t b = 0;
            do {
                if (at >= end) {
                    r.message = Format("found unexpected EOF.  ofs=%08x", static_cast<unsigned>(at));
                    return r;
                }
                b = image[at];
                commands.push_back({Kind::Count, at});
                ++at;
            } while (b & 0x80);
        } else {
            if (at + 3 > end) {
                r.message = Format("found unexpected EOF.  ofs=%08x", static_cast<unsigned>(at));
                return r;
            }
            Command w{Kind::Write, at, {c, image[at + 1], image[at + 2]}};
            const std::int64_t index = c >> 1;
            const bool valid = count == 0 ? index == 0 : index < count;
            const std::int64_t entry = 0x20 + 16 * index;
            if (!valid || (count != 0 && entry + 4 > size)) {
                r.message = Format("found corrupted data.  ofs=%08x: %02x %02x %02x",
                                   static_cast<unsigned>(at), c, w.bytes[1], w.bytes[2]);
                return r;
            }
            w.deviceType = count == 0 ? 4 : Word(image, entry);
            w.opnFamily = IsOpnFamily(w.deviceType);
            w.timer = w.opnFamily && w.bytes[1] == 0x27;
            commands.push_back(w);
            at += 3;
        }
    }
    const std::int64_t walkEnd = at;

    // Pass 2: key-ons, device by device state.
    DeviceState states[128];
    std::int64_t firstOpn = 0, firstOther = 0;
    for (auto& w : commands) {
        if (w.kind != Kind::Write) continue;
        Judge(w, states[w.bytes[0] >> 1]);
        if (!w.keyOn) continue;
        if (w.opnFamily) { if (firstOpn == 0) firstOpn = w.offset; }
        else if (firstOther == 0) firstOther = w.offset;
    }
    std::int64_t start = 0;
    if (firstOpn != 0 || (options.allChips && firstOther != 0)) {
        start = firstOpn;
        if (firstOther != 0 && (start == 0 || firstOther < start)) start = firstOther;
    }
    r.startOffset = start;

    // Pass 3: what is left out in front of the start.
    std::vector<bool> drop(commands.size(), false);
    if (start != 0) {
        for (std::size_t i = 0; i < commands.size(); ++i) {
            const auto& k = commands[i];
            if (k.offset >= start) break;
            bool out = false, logged = true;
            if (k.kind == Kind::OneSync || k.kind == Kind::NSync || k.kind == Kind::Count) out = true;
            else if (k.kind == Kind::Write && k.timer) {
                if (k.bytes[0] & 1) { out = true; logged = false; }
                else out = k.keepsMode;
            }
            if (out) {
                drop[i] = true;
                r.leftOut.push_back({k.offset, k.Size(), logged});
            }
        }
    }
    auto adjusted = [&](std::int64_t x) {
        if (x == 0) return x;
        std::int64_t below = 0;
        for (const auto& u : r.leftOut) {
            if (u.offset < x) below += std::min(u.size, x - u.offset);
        }
        return x - below;
    };

    r.lines.push_back(Format("start offset(1st key-on)=%08x\n", static_cast<unsigned>(start)));
    if (options.showStartOnly) return r;
    r.lines.push_back("output file:" + OutputNameFor(inputPath) + "\n");

    r.output.assign(image.begin(), image.begin() + dump);
    const auto put = [&](std::size_t where, std::int64_t value) {
        const auto v = static_cast<std::uint32_t>(value);
        for (int i = 0; i < 4; ++i) r.output[where + i] = static_cast<std::uint8_t>(v >> (8 * i));
    };
    put(0x10, adjusted(tag));
    put(0x18, adjusted(loop));
    for (std::size_t i = 0; i < commands.size(); ++i) {
        const auto& k = commands[i];
        if (!drop[i]) {
            r.output.insert(r.output.end(), image.begin() + k.offset, image.begin() + k.offset + k.Size());
            continue;
        }
        if (!options.detailLog) continue;
        const unsigned o = static_cast<unsigned>(k.offset);
        switch (k.kind) {
        case Kind::OneSync: r.lines.push_back(Format("%08x : %02x       [1sync]", o, 0xFF)); break;
        case Kind::NSync: r.lines.push_back(Format("%08x : %02x       [nSync]", o, 0xFE)); break;
        case Kind::Count: r.lines.push_back(Format("%08x : %02x", o, image[k.offset])); break;
        case Kind::Write:
            if (!(k.bytes[0] & 1)) {
                r.lines.push_back(Format("%08x : %02x %02x %02x [Timer]", o, k.bytes[0], k.bytes[1], k.bytes[2]));
            }
            break;
        case Kind::End: break;
        }
    }
    if (tag > dump) r.output.insert(r.output.end(), image.begin() + walkEnd, image.end());
    r.written = true;
    return r;
}

}  // namespace zelta::model

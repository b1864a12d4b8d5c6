#include "file_walk.h"

#include <algorithm>
#include <cctype>
#include <system_error>
#include <type_traits>

#include "command_line.h"
#include "platform.h"
#include "zelta/convert.h"

namespace zelta::cli {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kInputSuffix = ".s98";

bool EndsWithIgnoringCase(std::string_view text, std::string_view suffix) {
    if (text.size() < suffix.size()) return false;
    return std::equal(suffix.begin(), suffix.end(), text.end() - suffix.size(),
                      [](char a, char b) {
                          return std::tolower(static_cast<unsigned char>(a)) ==
                                 std::tolower(static_cast<unsigned char>(b));
                      });
}

// Paths element by element, each compared as UTF-8 bytes, so that the
// order is the same on every system (Windows compares UTF-16 units, which
// put U+E000-U+FFFF after the characters beyond U+FFFF).
bool InByteOrder(const fs::path& a, const fs::path& b) {
    return std::lexicographical_compare(
        a.begin(), a.end(), b.begin(), b.end(),
        [](const fs::path& x, const fs::path& y) {
            if constexpr (std::is_same_v<fs::path::value_type, char>) {
                return x.native() < y.native();  // already UTF-8 bytes
            } else {
                return PathText(x) < PathText(y);
            }
        });
}

// The walk is written out by hand rather than with
// recursive_directory_iterator: after a subfolder fails to open, that
// iterator cannot be relied on to carry on with the subfolder's siblings.
class Walk {
public:
    void Folder(const fs::path& folder) {
        std::error_code ec;
        fs::directory_iterator it(folder, ec);
        if (ec) return Failed(folder, ec);
        for (const fs::directory_iterator end; it != end; it.increment(ec)) {
            Entry(*it);
        }
        // An error while listing ends the iterator; keep what was seen.
        if (ec) Failed(folder, ec);
    }

    FolderContents Take() {
        std::sort(contents_.files.begin(), contents_.files.end(), InByteOrder);
        return std::move(contents_);
    }

private:
    void Entry(const fs::directory_entry& entry) {
        std::error_code ec;
        const fs::file_status own = entry.symlink_status(ec);
        if (ec) return;  // vanished since it was listed
        if (fs::is_directory(own)) {
            // On Windows the status is a link's target's: a link to a
            // folder (or a junction) is recognised by itself.
            if (!IsLinkToElsewhere(entry)) Folder(entry.path());
            return;
        }
        if (!IsS98InputName(PathText(entry.path().filename()))) return;
        // A link counts as what it points to, unless that is a folder;
        // a dangling link is nothing.
        const fs::file_status target = fs::is_symlink(own) ? entry.status(ec) : own;
        if (!ec && fs::is_regular_file(target)) contents_.files.push_back(entry.path());
    }

    void Failed(const fs::path& folder, const std::error_code& ec) {
        contents_.errors.push_back({folder, ec.message()});
    }

    FolderContents contents_;
};

}  // namespace

bool IsS98InputName(std::string_view fileName) {
    return EndsWithIgnoringCase(fileName, kInputSuffix) &&
           !EndsWithIgnoringCase(fileName, kOutputSuffix);
}

FolderContents FindS98Files(const fs::path& folder) {
    Walk walk;
    walk.Folder(folder);
    return walk.Take();
}

}  // namespace zelta::cli

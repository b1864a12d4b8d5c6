// A fresh folder under the system's temporary folder, removed with all it
// holds when the test is done (also when an assertion ends it early).
#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

namespace zelta::test {

class TempFolder {
public:
    explicit TempFolder(const std::string& prefix = "zelta-test") {
#ifdef _WIN32
        // No mkdtemp: a random name, taken by the one that creates it.
        std::random_device random;
        for (int attempt = 0; path_.empty(); ++attempt) {
            if (attempt == 100) std::abort();
            const auto candidate = std::filesystem::temp_directory_path() /
                                   (prefix + "-" + std::to_string(random()));
            std::error_code ec;
            if (std::filesystem::create_directory(candidate, ec)) path_ = candidate;
        }
#else
        std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        path_ = pattern;
#endif
    }
    ~TempFolder() {
        namespace fs = std::filesystem;
        std::error_code ec;
        // A test may have taken its own permissions away.
        fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(path_, ec);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

}  // namespace zelta::test

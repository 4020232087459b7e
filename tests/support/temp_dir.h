#pragma once
// The tests' temporary folder: a new, empty folder of this user's alone
// under the system's temporary folder, removed with everything in it when
// the object goes. Files a test made read-only are made writable first, so
// that the removal succeeds on Windows too (links are left as they are:
// what they lead to is not the test's). With WorkIn::TheFolder it is also
// the working directory while the object lives.
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>

namespace pelk::test {

enum class WorkIn : bool { Elsewhere, TheFolder };

class TempDir {
public:
    explicit TempDir(WorkIn work = WorkIn::Elsewhere) {
        namespace fs = std::filesystem;
        std::random_device seed;
        std::mt19937_64 random((uint64_t(seed()) << 32) ^ seed());
        for (int attempt = 0; attempt < 100 && Root.empty(); ++attempt) {
            const fs::path candidate = fs::temp_directory_path() / ("pelk-test-" + std::to_string(random() % 1000000000));
            std::error_code ec;
            if (fs::create_directory(candidate, ec)) Root = candidate;
        }
        if (Root.empty()) throw std::runtime_error("no temporary folder could be made");
        fs::permissions(Root, fs::perms::owner_all);
        if (work == WorkIn::TheFolder) {
            OldWorkDir = fs::current_path();
            fs::current_path(Root);
        }
    }
    ~TempDir() {
        namespace fs = std::filesystem;
        std::error_code ec;
        if (!OldWorkDir.empty()) fs::current_path(OldWorkDir, ec);
        for (auto e = fs::recursive_directory_iterator(Root, fs::directory_options::skip_permission_denied, ec);
             !ec && e != fs::recursive_directory_iterator(); e.increment(ec)) {
            std::error_code kind;
            if (!e->is_symlink(kind)) fs::permissions(e->path(), fs::perms::owner_write, fs::perm_options::add, kind);
        }
        fs::remove_all(Root, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& Path() const { return Root; }
    std::filesystem::path operator/(const std::string& name) const { return Root / name; }
    // Publishes `target` as a link named `name` ("COM1") in the folder.
    void Link(const std::string& name, const std::string& target) const {
        std::filesystem::create_symlink(target, Root / name);
    }

private:
    std::filesystem::path Root;
    std::filesystem::path OldWorkDir;
};

}  // namespace pelk::test

// A private folder for the targets that touch the file system, resolved (no
// links above it) and removed with everything in it when the run ends (a
// finding, which stops the process at once, leaves it behind). In
// memory when /dev/shm exists: the resolution target builds and removes a
// small tree for every input.
#pragma once

#include <cstdlib>
#include <fcntl.h>
#include <ftw.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "check.h"

namespace tw::fuzz {

inline int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
    ::remove(path);
    return 0;
}

// Removes `path` and what it holds, never following a link.
inline void remove_all(const std::string& path) {
    ::nftw(path.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

inline std::string& scratch_folder_path() {
    static std::string path;
    return path;
}

inline const std::string& make_scratch_folder(const char* target) {
    struct stat st;
    std::string pattern = ::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm" : "/tmp";
    pattern += std::string("/tw-fuzz-") + target + "-XXXXXX";
    TW_FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr);
    char* resolved = ::realpath(pattern.c_str(), nullptr);
    TW_FUZZ_CHECK(resolved != nullptr);
    scratch_folder_path() = resolved;
    std::free(resolved);
    std::atexit([] { remove_all(scratch_folder_path()); });
    return scratch_folder_path();
}

// A finding stops the run in the middle of an input, possibly inside the
// scratch folder: unless the command line says where, its input goes to the
// directory the run started in. libFuzzer reads its flags after this.
inline void keep_findings_here(int* argc, char*** argv) {
    for (int k = 1; k < *argc; ++k)
        if (std::string_view((*argv)[k]).substr(0, 17) == "-artifact_prefix=") return;
    char* here = ::getcwd(nullptr, 0);
    TW_FUZZ_CHECK(here != nullptr);
    static std::string flag = std::string("-artifact_prefix=") + here + "/";
    std::free(here);
    static std::vector<char*> arguments(*argv, *argv + *argc);
    arguments.push_back(flag.data());
    arguments.push_back(nullptr);
    *argc += 1;
    *argv = arguments.data();
}

// The current directory changed for one input and restored afterwards, so
// that the fuzzer's own relative paths (corpus, artifacts) keep their meaning.
class WorkingDirectory {
  public:
    explicit WorkingDirectory(const std::string& path)
        : saved_(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        TW_FUZZ_CHECK(saved_ >= 0 && ::chdir(path.c_str()) == 0);
    }
    ~WorkingDirectory() {
        TW_FUZZ_CHECK(::fchdir(saved_) == 0);
        ::close(saved_);
    }
    WorkingDirectory(const WorkingDirectory&) = delete;
    WorkingDirectory& operator=(const WorkingDirectory&) = delete;

  private:
    int saved_;
};

} // namespace tw::fuzz

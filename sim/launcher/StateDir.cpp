// SPDX-License-Identifier: GPL-2.0-or-later
// State directory helpers of the launcher.
#include "StateDir.h"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "SimConfig.h"

namespace tmsim {

namespace {
constexpr mode_t kStateDirMode = 0700;
}

std::string DefaultStateDir() {
    const char *tmp = std::getenv("TMPDIR");
    std::string base = (tmp && tmp[0]) ? tmp : "/tmp";
    return base + "/tmsim-" + std::to_string(static_cast<unsigned long>(getuid()));
}

std::string Absolute(const std::string &path) {
    if (path.empty() || path[0] == '/')
        return path;
    std::array<char, TMSIM_PATH_MAX> cwd{};
    if (getcwd(cwd.data(), cwd.size()) == nullptr)
        return path;
    std::string base = cwd.data();
    if (path == ".")
        return base;
    return base + (base == "/" ? "" : "/") + path;
}

int EnsureDir(const std::string &dir, std::string &err) {
    struct stat st;
    if (stat(dir.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return 1;
        err = "state directory " + dir + " is not a directory";
        return 0;
    }
    size_t slash = dir.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !EnsureDir(dir.substr(0, slash), err))
        return 0;
    if (mkdir(dir.c_str(), kStateDirMode) != 0 && errno != EEXIST) {
        err = "cannot create state directory " + dir + " [" + std::strerror(errno) + "]";
        return 0;
    }
    return 1;
}

int RegularOrMissing(const std::string &path, std::string &err) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode))
        return 1;
    err = path + " is not a regular file";
    return 0;
}

std::string InState(const std::string &dir, const char *name) {
    return dir + "/" + name;
}

} // namespace tmsim

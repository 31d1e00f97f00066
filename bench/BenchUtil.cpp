// SPDX-License-Identifier: GPL-2.0-or-later
#include "BenchUtil.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <ftw.h>
#include <unistd.h>

namespace {

constexpr int kMaxOpenDirs = 8;

int RemoveEntry(const char *path, const struct stat *, int, struct FTW *) {
    remove(path);
    return 0;
}

} // namespace

CScratchDir::CScratchDir() {
    const char *tmp = getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/vorn-bench.XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr)
        m_path = pattern;
}

CScratchDir::~CScratchDir() {
    if (!m_path.empty())
        nftw(m_path.c_str(), RemoveEntry, kMaxOpenDirs, FTW_DEPTH | FTW_PHYS);
}

CMuteFd::CMuteFd(int fd) : m_fd(fd), m_saved(dup(fd)) {
    fflush(stdout);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        dup2(null, fd);
        close(null);
    }
}

CMuteFd::~CMuteFd() {
    fflush(stdout);
    if (m_saved >= 0) {
        dup2(m_saved, m_fd);
        close(m_saved);
    }
}

std::string ReadFile(const std::string &path) {
    std::string text;
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr)
        return text;
    char buf[4096];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    fclose(f);
    return text;
}

std::string LastLine(const std::string &text) {
    if (text.empty())
        return text;
    const std::size_t end = text.size() - 1; // the last line's own line end
    const std::size_t start = text.rfind('\n', end == 0 ? 0 : end - 1);
    return start == std::string::npos || end == 0 ? text : text.substr(start + 1);
}

// SPDX-License-Identifier: GPL-2.0-or-later
#include "LogTestUtil.h"

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <sstream>
#include <unistd.h>

namespace logtest {

namespace {

std::string TempRoot() {
    const char *dir = getenv("TMPDIR");
    return dir != nullptr && *dir != '\0' ? dir : "/tmp";
}

int RemoveEntry(const char *path, const struct stat *, int, struct FTW *) {
    return remove(path);
}

} // namespace

TempDir::TempDir() {
    std::string templ = TempRoot() + "/vornlog.XXXXXX";
    if (mkdtemp(templ.data()) != nullptr)
        m_path = templ;
}

TempDir::~TempDir() {
    if (!m_path.empty())
        nftw(m_path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::string &path, const std::string &content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

CaptureFd::CaptureFd(int fd) : m_fd(fd) {
    fflush(stdout);
    fflush(stderr);
    std::string templ = TempRoot() + "/vorncap.XXXXXX";
    int file = mkstemp(templ.data());
    if (file < 0)
        return;
    m_path = templ;
    m_saved = dup(m_fd);
    dup2(file, m_fd);
    close(file);
}

CaptureFd::~CaptureFd() {
    Stop();
}

std::string CaptureFd::Stop() {
    if (m_saved < 0)
        return "";
    fflush(stdout);
    fflush(stderr);
    dup2(m_saved, m_fd);
    close(m_saved);
    m_saved = -1;
    std::string text = ReadFile(m_path);
    unlink(m_path.c_str());
    return text;
}

int OpenDescriptorCount() {
    int count = 0;
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return -1;
    while (struct dirent *entry = readdir(dir))
        if (entry->d_name[0] != '.')
            ++count;
    closedir(dir);
    return count - 1; // the directory's own descriptor
}

} // namespace logtest

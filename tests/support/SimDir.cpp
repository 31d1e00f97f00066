// SPDX-License-Identifier: GPL-2.0-or-later
// Temporary state directories.
#include "SimDir.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <ftw.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace vorn_test {

namespace {

constexpr int kOpenDirsForRemoval = 16;

int RemoveEntry(const char *path, const struct stat *, int, struct FTW *) {
    return std::remove(path);
}

} // namespace

SimDir::SimDir() {
    const char *tmp = std::getenv("TMPDIR");
    std::string tmpl = std::string(tmp && tmp[0] ? tmp : "/tmp") + "/vorn-sim-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) {
        std::perror(("mkdtemp " + tmpl).c_str());
        std::abort();
    }
    m_dir = tmpl;
}

SimDir::~SimDir() {
    nftw(m_dir.c_str(), RemoveEntry, kOpenDirsForRemoval, FTW_DEPTH | FTW_PHYS);
}

std::string SimDir::Path(const std::string &name) const {
    return m_dir + "/" + name;
}

bool SimDir::Exists(const std::string &name) const {
    return access(Path(name).c_str(), F_OK) == 0;
}

std::string SimDir::Read(const std::string &name) const {
    std::ifstream in(Path(name), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool SimDir::Write(const std::string &name, const std::string &content) const {
    std::ofstream out(Path(name), std::ios::binary | std::ios::trunc);
    out << content;
    return static_cast<bool>(out.flush());
}

std::string SimDir::Memory() const {
    return Read("memory.bin");
}

bool SimDir::WriteMemory(const std::string &bytes, size_t size) const {
    std::string image = bytes;
    if (image.size() < size)
        image.resize(size, '\0');
    return Write("memory.bin", image);
}

std::string SimDir::Log() const {
    return Read("tmdrv.log");
}

std::string SimDir::Trace() const {
    return Read("trace");
}

} // namespace vorn_test

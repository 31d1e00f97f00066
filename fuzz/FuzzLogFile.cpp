// SPDX-License-Identifier: GPL-2.0-or-later
#include "FuzzLogFile.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

CFuzzLogFile::~CFuzzLogFile() {
    if (!m_path.empty())
        unlink(m_path.c_str());
}

void CFuzzLogFile::Open(CLog &log, unsigned long flags, unsigned long level, unsigned long mask) {
    const char *tmp = getenv("TMPDIR");
    std::string path =
        std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/vorn-fuzz-log-XXXXXX";
    const int fd = mkstemp(path.data());
    if (fd < 0) {
        perror("mkstemp");
        abort();
    }
    close(fd);
    m_path = path;
    m_log = &log;
    if (log.Init(m_path.c_str(), flags, level, mask) != 1) {
        fprintf(stderr, "cannot open the log %s\n", m_path.c_str());
        abort();
    }
}

void CFuzzLogFile::Clear() {
    const int fd = m_log->Descriptor();
    if (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0)
        abort();
}

std::string CFuzzLogFile::Contents() const {
    std::string text;
    FILE *in = fopen(m_path.c_str(), "rb");
    if (in == nullptr)
        abort();
    char chunk[4096];
    std::size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, in)) > 0)
        text.append(chunk, n);
    fclose(in);
    return text;
}

// SPDX-License-Identifier: GPL-2.0-or-later
// Helpers of the end-to-end tests of the memory commands: key images with
// known contents, the expected listing of a range, timed outcomes.
#pragma once

#include "E2eUtil.h"
#include "HexListing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace vorn_test {

// A key memory where every byte value appears and neighbouring lines differ:
// byte i is (i * 7 + i / 256) mod 256.
inline std::string PatternImage(size_t size) {
    std::string image(size, '\0');
    for (size_t i = 0; i < size; ++i)
        image[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
    return image;
}

// The listing of bytes as memrd writes it to standard error, line by line
// through the formatter (whose exact strings the unit tests pin down).
inline std::string ListingOf(const std::string &bytes) {
    std::string listing;
    const auto *data = reinterpret_cast<const unsigned char *>(bytes.data());
    for (size_t pos = 0; pos < bytes.size(); pos += kHexBytesPerLine) {
        const size_t n = std::min(kHexBytesPerLine, bytes.size() - pos);
        char line[kHexLineBufferSize];
        const size_t len = FormatHexLine(line, sizeof line, pos / kHexBytesPerLine, data + pos, n);
        EXPECT_GT(len, 0u);
        listing.append(line, len);
    }
    return listing;
}

// out must be prefix, then "ok\ntime diff <n>\n", then the closing line.
inline void ExpectOkWithTime(const std::string &out, const std::string &prefix) {
    const std::string tail = "ok\ntime diff ";
    ASSERT_GE(out.size(), prefix.size()) << out;
    EXPECT_EQ(out.substr(0, prefix.size() + tail.size()), prefix + tail) << out;
    static const std::regex kTimed("ok\ntime diff [0-9]+\nlibvorn closed\n");
    EXPECT_TRUE(std::regex_match(out.substr(prefix.size()), kTimed)) << out;
}

// Calls of one kind in a trace (open, ioctl, lseek, read, write, close).
inline std::vector<TraceRecord> CallsOf(const std::vector<TraceRecord> &records,
                                        const std::string &call) {
    std::vector<TraceRecord> found;
    for (const TraceRecord &r : records)
        if (r.call == call)
            found.push_back(r);
    return found;
}

// Trace of a run that only opened and closed the device: no request, no
// memory access.
inline bool OnlyOpenedAndClosed(const SimDir &dir) {
    for (const TraceRecord &r : TraceLines(dir))
        if (r.call != "open" && r.call != "close")
            return false;
    return true;
}

inline std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool FileExists(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

// The usual failure texts of the stand-in's faults and missing files.
inline const std::string kEio = "Input/output error";
inline const std::string kNoEnt = "No such file or directory";

} // namespace vorn_test

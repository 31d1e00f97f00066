// SPDX-License-Identifier: GPL-2.0-or-later
// Running devprobe under the stand-in in the stand-in's own tests.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestSupport.h"

namespace vorn_test {

// devprobe's output for a script; its status must be 0 and stderr empty.
inline std::string Probe(const SimDir &dir, const SimKey &key, std::vector<std::string> steps) {
    steps.insert(steps.begin(), "devprobe");
    RunResult r = vorn_test::Run(dir, key, steps);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(r.timedOut);
    return r.out;
}

inline std::string Hex(const std::string &bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 0xF];
    }
    return out;
}

} // namespace vorn_test

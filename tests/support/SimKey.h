// SPDX-License-Identifier: GPL-2.0-or-later
// SimKey: a builder for the stand-in's key and device options, turned into
// the tmsim option list:
//   SimKey().Rom("0102030405060708").Memory(512).Fault("read")
// The trace is on by default (STATE/trace), so TraceLines() works after any
// run; NoTrace() or TraceTo() change that. With VORN_TEST_BACKEND=line in
// the environment every key is served over the line-level backend (--line).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace vorn_test {

class SimKey {
  public:
    SimKey &Rom(const std::string &hex16);               // --rom
    SimKey &Family(const std::string &hex2);             // --family
    SimKey &Serial(const std::string &hex12);            // --serial
    SimKey &Memory(size_t bytes);                        // --memory-size
    SimKey &Absent();                                    // --absent
    SimKey &NoDevice(const std::string &errnoName = ""); // --no-device[=ERRNO]
    SimKey &Fault(const std::string &text);              // --fault NAME[=ARG]
    SimKey &Log(const std::string &path);                // --log
    SimKey &TraceTo(const std::string &path);            // --trace=FILE
    SimKey &NoTrace();
    SimKey &Clock(const std::string &mode); // --clock=allow|deny
    SimKey &Rtc(const std::string &mode);   // --rtc=absent|present|refuse
    SimKey &Line();                         // --line
    SimKey &Option(const std::string &raw); // anything else, verbatim

    std::vector<std::string> Options() const;

  private:
    std::vector<std::string> m_opts;
    bool m_trace = true;
    bool m_traceGiven = false;
};

// VORN_TEST_BACKEND=line: Options() adds "--line" unless it is there already.
// Cases that cannot hold over the line skip themselves when this is true.
bool LineBackendByDefault();

// Shorthand: Key().Rom(...).Absent().
inline SimKey Key() {
    return SimKey();
}

} // namespace vorn_test

// SPDX-License-Identifier: GPL-2.0-or-later
// The key builder.
#include "SimKey.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace vorn_test {

namespace {

constexpr const char *kBackendEnv = "VORN_TEST_BACKEND";
constexpr const char *kLineOption = "--line";

} // namespace

bool LineBackendByDefault() {
    const char *backend = std::getenv(kBackendEnv);
    return backend != nullptr && std::strcmp(backend, "line") == 0;
}

SimKey &SimKey::Rom(const std::string &hex16) {
    m_opts.insert(m_opts.end(), {"--rom", hex16});
    return *this;
}

SimKey &SimKey::Family(const std::string &hex2) {
    m_opts.insert(m_opts.end(), {"--family", hex2});
    return *this;
}

SimKey &SimKey::Serial(const std::string &hex12) {
    m_opts.insert(m_opts.end(), {"--serial", hex12});
    return *this;
}

SimKey &SimKey::Memory(size_t bytes) {
    m_opts.insert(m_opts.end(), {"--memory-size", std::to_string(bytes)});
    return *this;
}

SimKey &SimKey::Absent() {
    m_opts.push_back("--absent");
    return *this;
}

SimKey &SimKey::NoDevice(const std::string &errnoName) {
    m_opts.push_back(errnoName.empty() ? "--no-device" : "--no-device=" + errnoName);
    return *this;
}

SimKey &SimKey::Fault(const std::string &text) {
    m_opts.insert(m_opts.end(), {"--fault", text});
    return *this;
}

SimKey &SimKey::Log(const std::string &path) {
    m_opts.insert(m_opts.end(), {"--log", path});
    return *this;
}

SimKey &SimKey::TraceTo(const std::string &path) {
    m_opts.push_back("--trace=" + path);
    m_traceGiven = true;
    return *this;
}

SimKey &SimKey::NoTrace() {
    m_trace = false;
    return *this;
}

SimKey &SimKey::Clock(const std::string &mode) {
    m_opts.push_back("--clock=" + mode);
    return *this;
}

SimKey &SimKey::Rtc(const std::string &mode) {
    m_opts.push_back("--rtc=" + mode);
    return *this;
}

SimKey &SimKey::Line() {
    m_opts.push_back(kLineOption);
    return *this;
}

SimKey &SimKey::Option(const std::string &raw) {
    m_opts.push_back(raw);
    return *this;
}

std::vector<std::string> SimKey::Options() const {
    std::vector<std::string> opts = m_opts;
    if (m_trace && !m_traceGiven)
        opts.push_back("--trace");
    if (LineBackendByDefault() && std::find(opts.begin(), opts.end(), kLineOption) == opts.end())
        opts.push_back(kLineOption);
    return opts;
}

} // namespace vorn_test

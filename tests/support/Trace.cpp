// SPDX-License-Identifier: GPL-2.0-or-later
// Trace parsing.
#include "Trace.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace vorn_test {

namespace {

long long ToNumber(const std::string &text) {
    return std::strtoll(text.c_str(), nullptr, 0);
}

} // namespace

std::string TraceRecord::Field(const std::string &name) const {
    auto it = fields.find(name);
    return it == fields.end() ? std::string() : it->second;
}

std::string TraceRecord::Summary() const {
    std::string s = call;
    for (const char *name : {"path", "flags", "req", "off", "whence", "size", "sec", "min", "hour",
                             "mday", "mon", "year"}) {
        if (Has(name))
            s += std::string(" ") + name + "=" + Field(name);
    }
    bool opened = (call == "open" || call == "rtc_open") && result >= 0;
    s += " result=" + (opened ? std::string("fd") : std::to_string(result));
    s += " errno=" + std::to_string(err);
    return s;
}

bool ParseTraceLine(const std::string &line, TraceRecord &rec) {
    rec = TraceRecord();
    std::istringstream words(line);
    std::string word;
    while (words >> word) {
        size_t eq = word.find('=');
        if (eq == std::string::npos || eq == 0)
            return false;
        rec.fields[word.substr(0, eq)] = word.substr(eq + 1);
    }
    if (!rec.Has("call") || !rec.Has("result"))
        return false;
    rec.call = rec.Field("call");
    rec.t = std::strtoull(rec.Field("t").c_str(), nullptr, 10);
    rec.path = rec.Field("path");
    if (rec.Has("flags"))
        rec.flags = static_cast<unsigned long>(ToNumber(rec.Field("flags")));
    if (rec.Has("req"))
        rec.req = static_cast<unsigned long>(ToNumber(rec.Field("req")));
    if (rec.Has("off"))
        rec.off = ToNumber(rec.Field("off"));
    if (rec.Has("whence"))
        rec.whence = static_cast<int>(ToNumber(rec.Field("whence")));
    if (rec.Has("size"))
        rec.size = ToNumber(rec.Field("size"));
    rec.result = ToNumber(rec.Field("result"));
    rec.err = static_cast<int>(ToNumber(rec.Field("errno")));
    return true;
}

std::vector<TraceRecord> TraceLinesFrom(const std::string &path) {
    std::vector<TraceRecord> records;
    std::ifstream in(path);
    std::string line;
    TraceRecord rec;
    while (std::getline(in, line)) {
        if (ParseTraceLine(line, rec))
            records.push_back(rec);
    }
    return records;
}

std::vector<TraceRecord> TraceLines(const SimDir &dir) {
    return TraceLinesFrom(dir.Path("trace"));
}

std::vector<std::string> TraceSummaries(const std::vector<TraceRecord> &records) {
    std::vector<std::string> out;
    for (const TraceRecord &r : records)
        out.push_back(r.Summary());
    return out;
}

bool WaitForIoctl(const SimDir &dir, unsigned long req, std::chrono::milliseconds timeout) {
    constexpr auto kPollPause = std::chrono::milliseconds(10);
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        for (const TraceRecord &r : TraceLines(dir)) {
            if (r.call == "ioctl" && r.req == req && r.Has("result"))
                return true;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(kPollPause);
    }
}

} // namespace vorn_test

// SPDX-License-Identifier: GPL-2.0-or-later
// Key events of the stand-in (driver/touchm_uapi.h): device descriptors that
// poll, select and epoll wait on, POLLPRI after a change until KEY_STATE,
// event descriptors with their records, queue limit, non-blocking reads and
// hang-up when the device vanishes. Changes come from "tmsim ctl" while
// devprobe waits; each case runs over both backends.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "Probe.h"
#include "TestSupport.h"

using namespace vorn_test;

namespace {

constexpr const char *kDefaultRom = "04efbeadde0000cd";
constexpr const char *kOtherRom = "0102030405060708";
constexpr const char *kThirdRom = "021cb801000000a2";
// TOUCHM_EVENT_QUEUE_LEN: what an event descriptor holds.
constexpr int kQueueLen = 64;

// devprobe with a script whose "wait" steps are released one by one, each
// after its ctl command ran. Returns devprobe's whole output.
std::string Scripted(const SimDir &dir, const SimKey &key, const std::vector<std::string> &steps,
                     const std::vector<std::vector<std::string>> &ctls) {
    std::vector<std::string> argv = {"devprobe"};
    argv.insert(argv.end(), steps.begin(), steps.end());
    Spawned p;
    EXPECT_TRUE(p.Start(dir, key, argv));
    for (const std::vector<std::string> &ctl : ctls) {
        EXPECT_TRUE(p.WaitForLine("wait"));
        RunResult c = Ctl(dir, ctl);
        EXPECT_EQ(c.status, 0) << c.err;
        EXPECT_EQ(c.err, "");
        p.Write("go\n");
    }
    RunResult r = p.Wait(20s);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(r.timedOut);
    return r.out;
}

std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

class TmSimEvents : public ::testing::TestWithParam<bool> {
  protected:
    SimKey KeyFor() const {
        SimKey key = Key();
        if (GetParam())
            key.Line();
        return key;
    }
};

// Nothing is reported before a change (no POLLIN, no POLLOUT at once, as the
// memory file used to give); a change made while the program only waits
// raises POLLPRI for poll, select (exceptional condition) and epoll alike,
// and KEY_STATE clears it. POLLIN comes with POLLPRI: the socket behind the
// descriptor counts the out-of-band mark as data.
TEST_P(TmSimEvents, DeviceDescriptorIsQuietUntilTheKeyChanges) {
    SimDir dir;
    std::string out =
        Scripted(dir, KeyFor(),
                 {"open", "poll:0", "select:0", "epoll:0", "wait", "poll:5000", "select:0",
                  "epoll:0", "keystate", "poll:0", "select:0", "epoll:0", "keystate", "presence"},
                 {{"remove"}});
    EXPECT_EQ(out, "open ok\npoll 0\nselect 0\nepoll 0\nwait\npoll 1 in pri\nselect 2 in pri\n"
                   "epoll 1 in pri\nkeystate 0 removed seq=1 rom=0000000000000000 time=fresh\n"
                   "poll 0\nselect 0\nepoll 0\n"
                   "keystate 0 removed seq=1 rom=0000000000000000 time=fresh\n"
                   "presence -1 ENXIO\n");
}

// A change made before the program first waits, with no request since, is
// reported by that wait: the watch looks at the state when it starts.
TEST_P(TmSimEvents, ChangeBeforeTheFirstWaitIsReported) {
    SimDir dir;
    std::string out =
        Scripted(dir, KeyFor(), {"open", "wait", "epoll:5000", "keystate"}, {{"remove"}});
    EXPECT_EQ(out, "open ok\nwait\nepoll 1 in pri\n"
                   "keystate 0 removed seq=1 rom=0000000000000000 time=fresh\n");
}

// Every descriptor of the device has POLLPRI of its own: KEY_STATE on one
// leaves the other's. Copies share it, as they share the open file. (The
// watch raises it on one open file after the other, so each poll may wait.)
TEST_P(TmSimEvents, PriorityIsPerOpenFile) {
    SimDir dir;
    std::string out = Scripted(dir, KeyFor(),
                               {"open", "open", "dup", "keystate", "wait", "use:0", "poll:5000",
                                "use:1", "poll:5000", "use:2", "poll:5000", "keystate", "use:1",
                                "poll:0", "use:0", "poll:0"},
                               {{"swap", "--rom", kOtherRom}});
    EXPECT_EQ(out, std::string("open ok\nopen ok\ndup ok\n") +
                       "keystate 0 attached seq=0 rom=" + kDefaultRom +
                       " time=none\nwait\npoll 1 in pri\npoll 1 in pri\npoll 1 in pri\n"
                       "keystate 0 attached seq=2 rom=" +
                       kOtherRom + " time=fresh\npoll 0\npoll 1 in pri\n");
}

// Records for a removal, an attachment and a swap (a removal and an
// attachment, each with its ROM), in order, to each of two event
// descriptors; one made after the first change sees only what came after.
// The descriptor is readable exactly while records wait.
TEST_P(TmSimEvents, EventDescriptorsSeeEveryChangeInOrder) {
    SimDir dir;
    std::string out = Scripted(
        dir, KeyFor(),
        {"open",    "eventfd", "use:0",    "eventfd",  "poll:0", "wait",      "events:1", "use:0",
         "eventfd", "use:2",   "wait",     "events:1", "wait",   "poll:5000", "events:4", "poll:0",
         "use:1",   "poll:0",  "events:8", "poll:0",   "use:3",  "events:8"},
        {{"remove"}, {"attach"}, {"swap", "--rom", kOtherRom}});
    std::string removedDefault = std::string("rom=") + kDefaultRom;
    EXPECT_EQ(out, "open ok\neventfd ok\neventfd ok\npoll 0\nwait\nevents 32\n"
                   "event seq=1 removed lost=0 " +
                       removedDefault +
                       "\neventfd ok\nwait\nevents 32\n"
                       "event seq=2 attached lost=0 " +
                       removedDefault +
                       "\nwait\npoll 1 in\nevents 64\n"
                       "event seq=3 removed lost=0 " +
                       removedDefault + "\nevent seq=4 attached lost=0 rom=" + kOtherRom +
                       "\npoll 0\npoll 1 in\nevents 128\n"
                       "event seq=1 removed lost=0 " +
                       removedDefault + "\nevent seq=2 attached lost=0 " + removedDefault +
                       "\nevent seq=3 removed lost=0 " + removedDefault +
                       "\nevent seq=4 attached lost=0 rom=" + kOtherRom +
                       "\npoll 0\nevents 96\nevent seq=2 attached lost=0 " + removedDefault +
                       "\nevent seq=3 removed lost=0 " + removedDefault +
                       "\nevent seq=4 attached lost=0 rom=" + kOtherRom + "\n");
}

// A reader that falls behind keeps the newest TOUCHM_EVENT_QUEUE_LEN
// records; the first it reads says how many went before it.
TEST_P(TmSimEvents, FullQueueLosesTheOldestAndSaysHowMany) {
    SimDir dir;
    const int swaps = kQueueLen / 2 + 1; // two records each: two lost
    std::vector<std::string> steps = {"open", "eventfd:nonblock", "use:0"};
    std::vector<std::vector<std::string>> ctls;
    for (int i = 0; i < swaps; i++) {
        steps.push_back("wait");
        steps.push_back("presence");
        ctls.push_back({"swap", "--rom", i % 2 == 0 ? kOtherRom : kThirdRom});
    }
    steps.insert(steps.end(), {"use:1", "events:128", "events:1"});
    std::vector<std::string> lines = Lines(Scripted(dir, KeyFor(), steps, ctls));
    std::vector<std::string> events;
    for (const std::string &line : lines) {
        if (line.rfind("event ", 0) == 0 || line.rfind("events ", 0) == 0)
            events.push_back(line);
    }
    ASSERT_EQ(events.size(), static_cast<size_t>(kQueueLen + 2));
    EXPECT_EQ(events[0], "events " + std::to_string(kQueueLen * 32));
    // Records 1 and 2 (the first swap) are lost; 3 is the second swap's
    // removal of the first swap's key.
    EXPECT_EQ(events[1], std::string("event seq=3 removed lost=2 rom=") + kOtherRom);
    EXPECT_EQ(events[2], std::string("event seq=4 attached lost=0 rom=") + kThirdRom);
    EXPECT_EQ(events[kQueueLen],
              "event seq=" + std::to_string(2 * swaps) +
                  " attached lost=0 rom=" + (swaps % 2 == 1 ? kOtherRom : kThirdRom));
    EXPECT_EQ(events[kQueueLen + 1], "events -1 EAGAIN");
}

// The argument of TOUCHM_IOC_EVENT_FD, reads of whole records, and what an
// event descriptor refuses. It is close-on-exec whatever the argument.
TEST_P(TmSimEvents, EventDescriptorCallsAndFlags) {
    SimDir dir;
    std::string out = Probe(dir, KeyFor(),
                            {"open", "eventfd:1", "eventfd:80000", "eventfd:800", "cloexec",
                             "nonblock", "events:1", "eventread:31", "eventread:0", "seek:0",
                             "pread:0:32", "write:x", "ioctl:d701", "use:0", "eventfd", "cloexec",
                             "nonblock", "ioctl:5401", "ioctl:414c544e"});
    EXPECT_EQ(out, "open ok\neventfd -1 EINVAL\neventfd -1 EINVAL\neventfd ok\ncloexec 1\n"
                   "nonblock 1\nevents -1 EAGAIN\neventread -1 EINVAL\neventread -1 EINVAL\n"
                   "seek -1 ESPIPE\npread -1 ESPIPE\nwrite -1 EINVAL\nioctl -1 ENOTTY\n"
                   "eventfd ok\ncloexec 1\nnonblock 0\nioctl -1 ENOTTY\nioctl -1 ENOTTY\n");
}

// When the device vanishes, records already queued are read first, then
// reads fail with ENODEV; device and event descriptors report POLLHUP and
// POLLERR (with POLLIN and POLLOUT: the socket's peer is gone), requests
// fail with ENODEV, and no new event descriptor is made.
TEST_P(TmSimEvents, VanishHangsUpDeviceAndEventDescriptors) {
    SimDir dir;
    // The device descriptor has nothing to report after KEY_STATE, so its
    // poll waits for the hang-up; the event read then finds the watch done.
    std::string out = Scripted(dir, KeyFor(),
                               {"open", "eventfd", "use:0", "wait", "presence", "keystate", "wait",
                                "poll:5000", "use:1", "events:4", "events:4", "poll:0", "use:0",
                                "keystate", "eventfd", "presence"},
                               {{"remove"}, {"vanish"}});
    EXPECT_EQ(out, std::string("open ok\neventfd ok\nwait\npresence -1 ENXIO\n") +
                       "keystate 0 removed seq=1 rom=0000000000000000 time=fresh\nwait\n"
                       "poll 1 in out err hup\nevents 32\nevent seq=1 removed lost=0 rom=" +
                       kDefaultRom +
                       "\nevents -1 ENODEV\npoll 1 in out err hup\n"
                       "keystate -1 ENODEV\neventfd -1 ENODEV\npresence -1 ENODEV\n");
}

// A blocking read waits for the next change, made while it waits, and gets
// both records of a swap at once.
TEST_P(TmSimEvents, BlockingReadWaitsForTheChange) {
    SimDir dir;
    Spawned p;
    ASSERT_TRUE(p.Start(dir, KeyFor(), {"devprobe", "open", "eventfd", "events:2", "events:1"}));
    ASSERT_TRUE(p.WaitForLine("eventfd ok"));
    std::string line;
    EXPECT_FALSE(p.ReadLine(line, 300ms)) << line;
    RunResult c = Ctl(dir, {"swap", "--rom", kOtherRom});
    EXPECT_EQ(c.status, 0) << c.err;
    EXPECT_TRUE(p.WaitForLine("events 64"));
    EXPECT_TRUE(p.WaitForLine(std::string("event seq=2 attached lost=0 rom=") + kOtherRom));
    EXPECT_FALSE(p.ReadLine(line, 300ms)) << line;
    c = Ctl(dir, {"remove"});
    EXPECT_EQ(c.status, 0) << c.err;
    RunResult r = p.Wait();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, std::string("open ok\neventfd ok\nevents 64\n") +
                         "event seq=1 removed lost=0 rom=" + kDefaultRom +
                         "\nevent seq=2 attached lost=0 rom=" + kOtherRom +
                         "\nevents 32\nevent seq=3 removed lost=0 rom=" + kOtherRom + "\n");
}

INSTANTIATE_TEST_SUITE_P(Backends, TmSimEvents, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &param) {
                             return param.param ? "Line" : "Direct";
                         });

} // namespace

// SPDX-License-Identifier: GPL-2.0-or-later
// tmmqtt's payloads: the event JSON, its time in ISO 8601 with the zone,
// JSON escaping, topics and the Home Assistant discovery texts.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "format.h"

namespace {

constexpr long long kNsPerSec = 1000000000LL;

// Sets TZ for one case and puts the old value back.
class Zone {
  public:
    explicit Zone(const char *tz) {
        const char *old = getenv("TZ");
        had_ = old != nullptr;
        if (had_)
            old_ = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~Zone() {
        if (had_)
            setenv("TZ", old_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

  private:
    bool had_ = false;
    std::string old_;
};

std::string Time(long long wall_ns) {
    char buf[TM_TIME_TEXT_SIZE];
    EXPECT_EQ(tm_format_time(wall_ns, buf, sizeof(buf)), 1);
    return buf;
}

tm_record Record(int kind, uint32_t seq, uint32_t lost, long long wall_ns) {
    tm_record r{};
    r.kind = kind;
    const uint8_t rom[VORN_ROM_BYTES] = {0x04, 0xef, 0xbe, 0xad, 0xde, 0x00, 0x00, 0xcd};
    for (int i = 0; i < VORN_ROM_BYTES; i++)
        r.rom[i] = rom[i];
    r.seq = seq;
    r.lost = lost;
    r.wall_ns = wall_ns;
    return r;
}

} // namespace

TEST(MqttFormat, WallTimeIsTheMonotonicInstantMovedByTheClocksDifference) {
    // Read together: monotonic 100 s, wall 1 700 000 000 s. An event seen at
    // monotonic 97.5 s was 2.5 s before that wall time.
    EXPECT_EQ(tm_wall_ns(97500000000ULL, 100 * kNsPerSec, 1700000000LL * kNsPerSec),
              1700000000LL * kNsPerSec - 2500000000LL);
    // An event stamped later than the reading (read out of order) stays exact.
    EXPECT_EQ(tm_wall_ns(101 * kNsPerSec, 100 * kNsPerSec, 50 * kNsPerSec), 51 * kNsPerSec);
}

TEST(MqttFormat, TimeIsIso8601WithMicrosecondsAndTheZonesOffset) {
    // 2026-12-09 03:04:05.123456789 UTC.
    const long long when = 1796785445LL * kNsPerSec + 123456789;
    struct Case {
        const char *tz;
        const char *expected;
    } cases[] = {
        {"UTC0", "2026-12-09T03:04:05.123456+00:00"},
        {"CET-1", "2026-12-09T04:04:05.123456+01:00"},
        {"IST-5:30", "2026-12-09T08:34:05.123456+05:30"},
        {"NST3:30", "2026-12-08T23:34:05.123456-03:30"},
        {"EST5EDT,M3.2.0,M11.1.0", "2026-12-08T22:04:05.123456-05:00"},
    };
    for (const Case &c : cases) {
        Zone z(c.tz);
        EXPECT_EQ(Time(when), c.expected) << c.tz;
    }
    Zone z("EST5EDT,M3.2.0,M11.1.0");
    // Summer time: 2026-07-01 12:00:00 UTC.
    EXPECT_EQ(Time(1782907200LL * kNsPerSec), "2026-07-01T08:00:00.000000-04:00");
}

TEST(MqttFormat, TimeBeforeTheEpochKeepsAPositiveFraction) {
    Zone z("UTC0");
    EXPECT_EQ(Time(-1), "1969-12-31T23:59:59.999999+00:00");
    EXPECT_EQ(Time(-kNsPerSec), "1969-12-31T23:59:59.000000+00:00");
}

TEST(MqttFormat, JsonEscapesQuotesBackslashesAndControlCharacters) {
    struct Case {
        const char *in;
        const char *out;
    } cases[] = {
        {"plain", "plain"},
        {"say \"hi\"", "say \\\"hi\\\""},
        {"back\\slash", "back\\\\slash"},
        {"two\nlines\r\ttab", "two\\nlines\\r\\ttab"},
        {"\x01\x1f", "\\u0001\\u001f"},
        {"K\xc3\xbc"
         "che",
         "K\xc3\xbc"
         "che"},
        {"", ""},
    };
    for (const Case &c : cases) {
        char buf[64];
        ASSERT_EQ(tm_json_escape(c.in, buf, sizeof(buf)), 1) << c.in;
        EXPECT_STREQ(buf, c.out);
    }
    char small[6];
    EXPECT_EQ(tm_json_escape("\"\"\"", small, sizeof(small)), 0);
}

TEST(MqttFormat, EventPayloadIsExactAndNamesLostChangesOnlyWhenThereAreSome) {
    Zone z("UTC0");
    const long long when = 1796785445LL * kNsPerSec + 500000000;
    char buf[TM_PAYLOAD_SIZE];
    tm_record a = Record(VORN_EVENT_ATTACHED, 7, 0, when);
    ASSERT_EQ(tm_format_event(&a, buf, sizeof(buf)), 1);
    EXPECT_STREQ(buf, "{\"event_type\":\"attached\",\"rom\":\"04efbeadde0000cd\",\"seq\":7,"
                      "\"time\":\"2026-12-09T03:04:05.500000+00:00\"}");
    tm_record r = Record(VORN_EVENT_REMOVED, 4294967295u, 3, when);
    ASSERT_EQ(tm_format_event(&r, buf, sizeof(buf)), 1);
    EXPECT_STREQ(buf, "{\"event_type\":\"removed\",\"rom\":\"04efbeadde0000cd\",\"seq\":4294967295,"
                      "\"time\":\"2026-12-09T03:04:05.500000+00:00\",\"lost\":3}");
    // A buffer one short fails rather than sending half a record.
    size_t need = strlen(buf) + 1;
    EXPECT_EQ(tm_format_event(&r, buf, need - 1), 0);
    EXPECT_EQ(tm_format_event(&r, buf, need), 1);
}

TEST(MqttFormat, TopicsAndObjectIds) {
    char buf[TM_TOPIC_SIZE];
    ASSERT_EQ(tm_topic(buf, sizeof(buf), "site/vorn", "door1", "touchm0", TM_LEAF_EVENT), 1);
    EXPECT_STREQ(buf, "site/vorn/door1/touchm0/event");
    ASSERT_EQ(tm_object_id(buf, sizeof(buf), "gate.example", "touch m0"), 1);
    EXPECT_STREQ(buf, "gate_example_touch_m0");
    ASSERT_EQ(tm_object_id(buf, sizeof(buf), "Door-1", "touchm0"), 1);
    EXPECT_STREQ(buf, "Door-1_touchm0");
    EXPECT_EQ(tm_topic(buf, 10, "vorn", "door1", "touchm0", TM_LEAF_KEY), 0);
}

TEST(MqttFormat, DiscoveryTextsNameOneDeviceAndTheDaemonsTopics) {
    tm_names n{"vorn", "homeassistant", "door\"1", "touchm0", "1.0.0"};
    char topic[TM_TOPIC_SIZE];
    char buf[TM_PAYLOAD_SIZE];
    ASSERT_EQ(tm_discovery_topic(topic, sizeof(topic), &n, "tag"), 1);
    EXPECT_STREQ(topic, "homeassistant/tag/door_1_touchm0/config");
    ASSERT_EQ(tm_format_tag_config(&n, buf, sizeof(buf)), 1);
    const std::string device = "\"device\":{\"identifiers\":[\"vorn_door_1_touchm0\"],"
                               "\"name\":\"door\\\"1 touchm0\",\"model\":\"touch-memory reader\","
                               "\"sw_version\":\"1.0.0\"}";
    EXPECT_EQ(std::string(buf), "{\"topic\":\"vorn/door\\\"1/touchm0/tag\"," + device + "}");
    ASSERT_EQ(tm_discovery_topic(topic, sizeof(topic), &n, "event"), 1);
    EXPECT_STREQ(topic, "homeassistant/event/door_1_touchm0/config");
    ASSERT_EQ(tm_format_event_config(&n, buf, sizeof(buf)), 1);
    EXPECT_EQ(std::string(buf), "{\"name\":\"Key\",\"unique_id\":\"vorn_door_1_touchm0_event\","
                                "\"state_topic\":\"vorn/door\\\"1/touchm0/event\","
                                "\"event_types\":[\"attached\",\"removed\"],"
                                "\"availability_topic\":\"vorn/door\\\"1/touchm0/availability\"," +
                                    device + "}");
    EXPECT_EQ(tm_format_event_config(&n, buf, 40), 0);
}

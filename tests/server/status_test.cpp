// The status model: value sets, setting by name, and change detection.
#include "core/status.h"

#include <gtest/gtest.h>

#include <string>

namespace lapid {
namespace {

TEST(StatusModelTest, StartsFromTheDocumentedDefaults) {
    StatusModel m;
    const StatusSnapshot &s = m.Current();
    EXPECT_EQ(s.userStatus, static_cast<int32_t>(UserStatus::kEnabled));
    EXPECT_EQ(s.hwStatus, static_cast<int32_t>(HwStatus::kOff));
    EXPECT_EQ(s.fixStatus, static_cast<int32_t>(FixStatus::kNoFix));
    EXPECT_EQ(s.emergencyStatus, static_cast<int32_t>(EmergencyStatus::kNone));
    EXPECT_EQ(s.fixResultStatus, static_cast<int32_t>(FixResult::kNone));
    EXPECT_EQ(s.fixResultCause, static_cast<int32_t>(FixResultCause::kNone));
    EXPECT_EQ(s.proximityStatus, static_cast<int32_t>(ProximityMonitoring::kInactive));
}

// Each name reaches its own field, and only that field; each range is enforced at both ends.
TEST(StatusModelTest, EachNameSetsItsOwnFieldWithinItsRange) {
    const struct {
        const char *name;
        int32_t StatusSnapshot::*member;
        int32_t max;
    } cases[] = {
        {"userStatus", &StatusSnapshot::userStatus, 1},
        {"hwStatus", &StatusSnapshot::hwStatus, 2},
        {"fixStatus", &StatusSnapshot::fixStatus, 2},
        {"emergencyStatus", &StatusSnapshot::emergencyStatus, 1},
        {"fixResultStatus.status", &StatusSnapshot::fixResultStatus, 2},
        {"fixResultStatus.cause", &StatusSnapshot::fixResultCause, 4},
        {"proximityStatus", &StatusSnapshot::proximityStatus, 1},
    };
    ASSERT_EQ(StatusModel::Fields().size(), std::size(cases));
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        StatusModel m;
        const StatusSnapshot before = m.Current();
        // A value that differs from the default (userStatus starts at its maximum).
        const int32_t value = before.*(c.member) == c.max ? 0 : c.max;
        StatusSetResult r = m.Set(c.name, value);
        EXPECT_EQ(r.error, StatusError::kNone);
        ASSERT_TRUE(r.changed.has_value());
        StatusSnapshot expected = before;
        expected.*(c.member) = value;
        EXPECT_EQ(*r.changed, expected);
        EXPECT_EQ(m.Current(), expected);
        EXPECT_EQ(m.Get(c.name), value);

        EXPECT_EQ(m.Set(c.name, c.max + 1).error, StatusError::kBadValue);
        EXPECT_EQ(m.Set(c.name, -1).error, StatusError::kBadValue);
        EXPECT_EQ(m.Current(), expected) << "a refused value changes nothing";
    }
}

TEST(StatusModelTest, SettingTheSameValueYieldsNoChange) {
    StatusModel m;
    ASSERT_TRUE(m.Set("hwStatus", 1).changed.has_value());
    StatusSetResult same = m.Set("hwStatus", 1);
    EXPECT_EQ(same.error, StatusError::kNone);
    EXPECT_FALSE(same.changed.has_value());
    StatusSetResult back = m.Set("hwStatus", 0);
    ASSERT_TRUE(back.changed.has_value());
    EXPECT_EQ(back.changed->hwStatus, 0);
}

TEST(StatusModelTest, UnknownNamesAreRefused) {
    StatusModel m;
    const StatusSnapshot before = m.Current();
    for (const std::string name :
         {"", "hwstatus", "HwStatus", "fixResultStatus", "cause", "hwStatus ", "proximity"}) {
        StatusSetResult r = m.Set(name, 1);
        EXPECT_EQ(r.error, StatusError::kUnknownField) << "'" << name << "'";
        EXPECT_FALSE(r.changed.has_value());
        EXPECT_FALSE(m.Get(name).has_value());
    }
    EXPECT_EQ(m.Current(), before);
}

TEST(StatusModelTest, ApplyChangesSeveralValuesInOneEvent) {
    StatusModel m;
    StatusSnapshot acquired = m.Current();
    acquired.hwStatus = static_cast<int32_t>(HwStatus::kOn);
    acquired.fixStatus = static_cast<int32_t>(FixStatus::kFix);
    acquired.fixResultStatus = static_cast<int32_t>(FixResult::kSuccess);
    StatusSetResult r = m.Apply(acquired);
    ASSERT_TRUE(r.changed.has_value());
    EXPECT_EQ(*r.changed, acquired);
    EXPECT_FALSE(m.Apply(acquired).changed.has_value());

    StatusSnapshot broken = acquired;
    broken.fixStatus = static_cast<int32_t>(FixStatus::kNoFix);
    broken.fixResultCause = 99;
    StatusSetResult bad = m.Apply(broken);
    EXPECT_EQ(bad.error, StatusError::kBadValue);
    EXPECT_FALSE(bad.changed.has_value());
    EXPECT_EQ(m.Current(), acquired) << "nothing applied when one value is out of its set";
}

}  // namespace
}  // namespace lapid

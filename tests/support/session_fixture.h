// A running session on a fast clock, with every delivered event recorded.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "Vevara_Rovo_dar.h"
#include "session/session.h"
#include "session/clock.h"
#include "support/event_recorder.h"

namespace velkor::testing {

class SessionFixture : public ::testing::Test {
protected:
    // Session milliseconds per real millisecond: a 2 s period lasts 20 ms.
    static constexpr double kSpeedup = 100.0;

    void SetUp() override {
        set_clock(std::make_shared<ScaledClock>(kSpeedup, 1000));
        ASSERT_EQ(_Initialize(&EventRecorder::callback, nullptr, 0), 0);
    }
    void TearDown() override {
        _Close();
        set_clock(nullptr);
    }

    Session &session() { return Session::instance(); }

    EventRecorder events;
};

}  // namespace velkor::testing

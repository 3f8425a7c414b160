// The fault-injection soak as a test: a short run by default, as long as
// VELKOR_SOAK_COMMANDS asks for.
#include <gtest/gtest.h>

#include <iostream>

#include "reliability/soak.h"

namespace velkor::testing {
namespace {

TEST(Soak, EveryCommandEndsOnceAndTheLibraryStaysInStepWithTheDevice) {
    const SoakSettings settings = SoakSettings::from_environment({});
    EventRecorder events;
    Soak soak(settings, events);
    const std::string failure = soak.run();
    std::cout << soak.report() << std::endl;
    EXPECT_EQ(failure, "");
    EXPECT_EQ(soak.figures().steps, settings.commands);
}

}  // namespace
}  // namespace velkor::testing

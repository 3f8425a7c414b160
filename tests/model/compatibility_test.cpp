#include <gtest/gtest.h>

#include <cstdint>

#include "Vevara_Rovo_dar.h"
#include "model/fos_functions.h"
#include "model/test_blocks.h"
#include "support/session_fixture.h"

namespace velkor::testing {
namespace {

TEST(FosInterface, OnlyTheSpokenVersionAndTheWildcardPass) {
    EXPECT_EQ(_GetCompatibleFOSVersions(), 0x01010000u);
    EXPECT_EQ(_IsCompatibleFOSIfcVersion(0x01010000), 1);
    EXPECT_EQ(_IsCompatibleFOSIfcVersion(W), 1);
    for (std::uint32_t refused : {0u, 0x01010001u, 0x01000000u, 0x02010000u, 0x0101FFFFu, 0xFFFFFFFFu}) {
        EXPECT_EQ(_IsCompatibleFOSIfcVersion(refused), 0) << std::hex << refused;
    }
}

class FeatureSet : public ::testing::Test {
protected:
    void TearDown() override { firmware_features().clear(); }
    static void received(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2, std::uint8_t b3) {
        const std::uint8_t bytes[] = {b0, b1, b2, b3};
        firmware_features().assign(bytes);
    }
};

TEST_F(FeatureSet, EveryFeatureReadsZeroBeforeAnyStart) {
    for (int feature = -1; feature <= 32; ++feature) EXPECT_EQ(_IsSupportedFwFeature(feature), 0);
}

TEST_F(FeatureSet, FeatureNIsBitNMod8OfByteNDiv8) {
    received(0x01, 0x80, 0x04, 0x00);
    EXPECT_EQ(_IsSupportedFwFeature(0), 1);
    EXPECT_EQ(_IsSupportedFwFeature(1), 0);
    EXPECT_EQ(_IsSupportedFwFeature(15), 1);
    EXPECT_EQ(_IsSupportedFwFeature(18), 1);  // bit 2 of byte 2
    EXPECT_EQ(_IsSupportedFwFeature(17), 0);
}

TEST_F(FeatureSet, OnlyFeatures0To18CanBeAskedFor) {
    received(0xFF, 0xFF, 0xFF, 0xFF);
    EXPECT_EQ(_IsSupportedFwFeature(18), 1);
    EXPECT_EQ(_IsSupportedFwFeature(19), 0);  // bit 3 of byte 2 is set, yet out of range
    EXPECT_EQ(_IsSupportedFwFeature(31), 0);
    EXPECT_EQ(_IsSupportedFwFeature(-1), 0);
    EXPECT_EQ(_IsSupportedFwFeature(INT32_MIN), 0);
    firmware_features().clear();
    EXPECT_EQ(_IsSupportedFwFeature(0), 0);
}

class FirmwareVersion : public SessionFixture {
protected:
    void SetUp() override {
        SessionFixture::SetUp();
        session().workers()->connection = kConnected;
    }
    void sector(std::uint32_t id, std::uint32_t fw_version) {
        session().workers()->flash_sectors.append(WireBlock(id).fw_version(fw_version));
    }
};

TEST_F(FirmwareVersion, ExactMatchOfIdAndVersion) {
    sector(kEmptySectorId, 0);
    sector(40, 0x01020304);
    EXPECT_EQ(_HasCompatibleFWVersion(0x01020304, 40), 1);
    EXPECT_EQ(_HasCompatibleFWVersion(0x01020305, 40), 0);
    EXPECT_EQ(_HasCompatibleFWVersion(0x01020304, 41), 0);
    EXPECT_EQ(_HasCompatibleFWVersion(W, 40), 0);  // the wildcard is a version like any other here
}

TEST_F(FirmwareVersion, TheWildcardMatchesOnlyAnEntryCarryingIt) {
    sector(40, W);
    EXPECT_EQ(_HasCompatibleFWVersion(W, 40), 1);
    EXPECT_EQ(_HasCompatibleFWVersion(0x01000000, 40), 0);
}

TEST_F(FirmwareVersion, AnyEntryWithTheIdMayMatch) {
    sector(40, 1);
    sector(40, 2);
    EXPECT_EQ(_HasCompatibleFWVersion(1, 40), 1);
    EXPECT_EQ(_HasCompatibleFWVersion(2, 40), 1);
}

TEST_F(FirmwareVersion, NoAnswerUnlessConnectedOrWithoutSectors) {
    EXPECT_EQ(_HasCompatibleFWVersion(0, 0), 0);  // empty list
    sector(40, 1);
    for (int state : {kNotConnected, kConnecting, kDisconnecting}) {
        session().workers()->connection = state;
        EXPECT_EQ(_HasCompatibleFWVersion(1, 40), 0) << state;
    }
    session().workers()->connection = kConnected;
    EXPECT_EQ(_HasCompatibleFWVersion(1, 40), 1);
    _Close();
    EXPECT_EQ(_HasCompatibleFWVersion(1, 40), 0);  // the list and the connection went with the session
}

}  // namespace
}  // namespace velkor::testing

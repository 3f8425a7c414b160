#include <gtest/gtest.h>

#include <set>
#include <string>

#include "Vevara_Rovo_dar.h"
#include "session/error_text.h"
#include "session/session.h"

namespace velkor {
namespace {

TEST(ErrorText, GeneralTexts) {
    const char *expected[] = {
        "Initialisation error. Velkor Control Api hasn't been initialised!",
        "Can't disconnect. Try again!",
        "HW Device already connected to another host!",
        "Invalid serial number format.",
        "Disconnect first.",
        "Not connected. Connect first.",
        "HW Device responded invalid information.",
        "HW Device is not responding.",
        "HW Device responded a data block with invalid size.",
        "HW Device Search Timerout.",
        "Device is busy.",
        "Too long Timer Event delay (msec): ",
        "Can't find the specified HW Device.",
        "The HW Device is in other IP subnet.",
        "The HW Device has unsupported FOS version.",
        "Internal socket error.",
        "The network between the PC and the Device does not support enough long Ethernet Data field.",
    };
    for (int code = 0; code <= 16; ++code) EXPECT_STREQ(_GetErrorString(code), expected[code]) << code;
}

TEST(ErrorText, UnknownCodesNameTheirNumber) {
    EXPECT_STREQ(_GetErrorString(18), "Unknown error #18");
    EXPECT_STREQ(_GetErrorString(250), "Unknown error #250");
    EXPECT_STREQ(_GetErrorString(-3), "Unknown error #-3");
}

// Runs as one test: the text of code 17 is process-wide.
TEST(ErrorText, ApplicationStartRefusalBecomesCode17) {
    EXPECT_STREQ(_GetErrorString(17), "");
    const char *before = _GetErrorString(17);
    set_application_start_error(1);
    EXPECT_STREQ(_GetErrorString(17), "Invalid Application Identifier.");
    EXPECT_STREQ(before, "") << "an earlier pointer stays valid";
    set_application_start_error(8);
    set_application_start_error(-1);
    EXPECT_STREQ(_GetErrorString(17), "Invalid Application Identifier.") << "only statuses 0 to 7 have texts";
    _Close();
    EXPECT_STREQ(_GetErrorString(17), "Invalid Application Identifier.") << "_Close keeps it";
    const char *statuses[] = {"An application is already running.", nullptr, nullptr,
                              "Hardware version is not compatible.", "No compatible Logic found.",
                              "FOS version is not compatible.", "Logic programming error.",
                              "PCI initialization error."};
    std::set<std::string> distinct;
    for (int status = 0; status < 8; ++status) {
        set_application_start_error(status);
        if (statuses[status] != nullptr) {
            EXPECT_STREQ(_GetErrorString(17), statuses[status]);
        }
        EXPECT_GT(std::string(_GetErrorString(17)).size(), 10u);
        distinct.insert(_GetErrorString(17));
    }
    EXPECT_EQ(distinct.size(), 8u) << "each status sets a text of its own";
}

TEST(ErrorText, ConnectErrorRecordKeepsItsAddress) {
    u32 *record = _GetConnectErrorInfo();
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record, _GetConnectErrorInfo());
    EXPECT_EQ(record, Session::instance().connect_error.data());
}

}  // namespace
}  // namespace velkor

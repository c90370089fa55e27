#include "runtime/error.h"

#include <gtest/gtest.h>

namespace varnholt {
namespace {

TEST(ErrorTest, RaisedErrorCarriesNumberSourceAndDescription) {
    try {
        Raise(ErrorNumber(0x8004C342), "MD5Hash.HashFile", "File doesn't exist");
        FAIL() << "Raise returned";
    } catch (const Error& error) {
        EXPECT_EQ(error.number(), -2147171518);
        EXPECT_EQ(error.source(), "MD5Hash.HashFile");
        EXPECT_EQ(error.description(), "File doesn't exist");
        EXPECT_STREQ(error.what(), "File doesn't exist");
    }
}

TEST(ErrorTest, ReportGivesNumberInDecimalAndHexAndTheDescription) {
    EXPECT_EQ(
        FormatErrorReport(Error(ErrorNumber(0x80070005), "WshShell.RegWrite", "Access is denied")),
        "Run-time error '-2147024891 (0x80070005)':\n\nAccess is denied");
    EXPECT_EQ(FormatErrorReport(Error(9, "", "Subscript out of range")),
              "Run-time error '9':\n\nSubscript out of range");
}

}  // namespace
}  // namespace varnholt

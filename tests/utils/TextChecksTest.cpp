// The two text checks the streams apply to configuration and reply fields.
#include <NDIUtils.h>

#include <gtest/gtest.h>

#include <string>

using Velantor::NDIUtils;

TEST(TextChecks, IsValidIpAndIsNumber)
{
    struct Row {
        std::string text;
        bool ip;
        bool number;
    };
    const Row rows[] = {
        {"", false, false},
        {"auto", false, false},
        {"192.168.0.1", true, false},
        {"10.0.0.7", true, false},
        {"300.1.1.1", true, false},                // ranges are not checked
        {"camera at 10.0.0.7:8765", true, false},  // found anywhere in the text
        {"1.2.3", false, false},
        {"1.2.3.", false, false},
        {"1..2.3.4", false, false},
        {"1234.5.6.7", true, false},  // "234.5.6.7" is inside
        {"0123456789", false, true},
        {"999999999", false, true},
        {"7", false, true},
        {"+12", false, false},
        {"-1", false, false},
        {" 12", false, false},
        {"12 ", false, false},
        {"1.5", false, false},
        {std::string("12\0"
                     "3",
                     4),
         false, false},              // an embedded NUL is not a digit
        {"\xd9\xa3", false, false},  // nor is a non-ASCII digit
    };
    for (const auto& row : rows) {
        SCOPED_TRACE("text: \"" + row.text + "\"");
        EXPECT_EQ(NDIUtils::isValidIp(row.text), row.ip);
        EXPECT_EQ(NDIUtils::isNumber(row.text), row.number);
    }
}

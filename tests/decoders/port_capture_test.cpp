// The port-handle replies PHRQ, PHSR and PHINF.
#include "capture_fixture.h"
#include "reply_encoder.h"

#include <cstring>

namespace {

using replies::hex;

class PortCapture : public CaptureTest {};

TEST_F(PortCapture, PhrqGivesTheNewHandle)
{
    capture("PHRQ:*********1****", "0A");
    EXPECT_EQ(ndiGetPHRQHandle(h), 0x0A);
    capture("PHRQ:*********1****", "F");
    EXPECT_EQ(ndiGetPHRQHandle(h), 0xF) << "a cut reply shows nothing of the older one";
}

TEST_F(PortCapture, PhsrListsHandlesAndTheirStatus)
{
    std::string reply = hex(3, 2);
    const int handles[] = {0x01, 0x0A, 0xFF};
    const int states[] = {0x001, 0x31F, 0xFFF};
    for (int i = 0; i < 3; ++i) {
        reply += hex(handles[i], 2) + hex(states[i], 3);
    }
    capture("PHSR:00", reply);

    EXPECT_EQ(ndiGetPHSRNumberOfHandles(h), 3);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(ndiGetPHSRHandle(h, i), handles[i]);
        EXPECT_EQ(ndiGetPHSRInformation(h, i), states[i]);
    }
    for (int index : {3, -1, 4, 1 << 30}) {
        EXPECT_EQ(ndiGetPHSRHandle(h, index), 0) << index;
        EXPECT_EQ(ndiGetPHSRInformation(h, index), 0) << index;
    }

    // A count that promises more than the text or the area holds.
    capture("PHSR:00", "FF" + std::string(3000, '7'));
    EXPECT_EQ(ndiGetPHSRNumberOfHandles(h), 0xFF);
    EXPECT_EQ(ndiGetPHSRHandle(h, 0xFF), 0x77);
    EXPECT_EQ(ndiGetPHSRInformation(h, 0xFF), 0x777);
    capture("PHSR:00", "FF0A");
    EXPECT_EQ(ndiGetPHSRHandle(h, 0), 0x0A);
    EXPECT_EQ(ndiGetPHSRHandle(h, 200), 0);
}

const std::string kToolInfo = "0ROM  TOOL    NAME_567890123456";  // 31 characters
const std::string kPhinfAll =
    kToolInfo + "1F" + "00000031" + "8700339             " + "0F" + "41" + "0A000000000001" + "03";

TEST_F(PortCapture, PhinfFieldsFollowTheOptionWord)
{
    ASSERT_EQ(kToolInfo.size(), 31u);
    capture("PHINF:0A007F", kPhinfAll);

    char info[31], part[20], location[14];
    EXPECT_EQ(ndiGetPHINFToolInfo(h, info), 0);
    EXPECT_EQ(std::string(info, 31), kToolInfo);
    EXPECT_EQ(ndiGetPHINFPortStatus(h), 0x1F);
    EXPECT_EQ(ndiGetPHINFCurrentTest(h), 0x31);
    EXPECT_EQ(ndiGetPHINFPartNumber(h, part), 0);
    EXPECT_EQ(std::string(part, 20), "8700339             ");
    EXPECT_EQ(ndiGetPHINFAccessories(h), 0x0F);
    EXPECT_EQ(ndiGetPHINFMarkerType(h), 0x41);
    EXPECT_EQ(ndiGetPHINFPortLocation(h, location), 0);
    EXPECT_EQ(std::string(location, 14), "0A000000000001");
    EXPECT_EQ(ndiGetPHINFGPIOStatus(h), 0x03);

    // Without an option word only the basic information is taken: the other
    // fields keep what the previous reply left.
    capture("PHINF:0B", "1" + kToolInfo.substr(1) + "02");
    EXPECT_EQ(ndiGetPHINFToolInfo(h, info), 0);
    EXPECT_EQ(info[0], '1');
    EXPECT_EQ(ndiGetPHINFPortStatus(h), 0x02);
    EXPECT_EQ(ndiGetPHINFMarkerType(h), 0x41);

    // Part number and location only: fields follow each other directly.
    capture("PHINF:0A0024",
            "ABCDEFGHIJKLMNOPQRST"
            "12345678901234");
    EXPECT_EQ(ndiGetPHINFPartNumber(h, part), 0);
    EXPECT_EQ(std::string(part, 20), "ABCDEFGHIJKLMNOPQRST");
    ndiGetPHINFPortLocation(h, location);
    EXPECT_EQ(std::string(location, 14), "12345678901234");
}

TEST_F(PortCapture, UnoccupiedPhinfFillsPlaceholders)
{
    capture("PHINF:0A007F", kPhinfAll);
    capture("PHINF:0A0005", "UNOCCUPIED");

    char info[31], part[20], location[14];
    EXPECT_EQ(ndiGetPHINFPartNumber(h, part), 3);
    EXPECT_EQ(std::string(part, 20), std::string(20, ' '));
    EXPECT_EQ(ndiGetPHINFToolInfo(h, info), 3);
    EXPECT_EQ(std::string(info, 31),
              std::string(8, '0') + std::string(12, ' ') + std::string(11, '0'));
    EXPECT_EQ(ndiGetPHINFPortStatus(h), 0);
    EXPECT_EQ(ndiGetPHINFCurrentTest(h), 0x31) << "not asked for, so kept";
    EXPECT_EQ(ndiGetPHINFPortLocation(h, location), 3);
    EXPECT_EQ(std::string(location, 14), "0A000000000001");

    capture("PHINF:0A", kPhinfAll);
    EXPECT_EQ(ndiGetPHINFToolInfo(h, info), 0);
}

TEST_F(PortCapture, PhinfCutShortLeavesNoOlderText)
{
    capture("PHINF:0A007F", kPhinfAll);
    capture("PHINF:0A007F", kToolInfo.substr(0, 10));
    char part[20];
    ndiGetPHINFPartNumber(h, part);
    EXPECT_EQ(part[0], '\0');
    EXPECT_EQ(ndiGetPHINFPortStatus(h), 0);
    EXPECT_EQ(ndiGetPHINFGPIOStatus(h), 0);
    EXPECT_EQ(h->Capture.PhinfBasic[10], '\0');
}

}  // namespace

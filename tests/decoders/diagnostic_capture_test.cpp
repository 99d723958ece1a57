// The older and diagnostic replies: GX, PSTAT, SSTAT and IRCHK.
#include "capture_fixture.h"
#include "reply_encoder.h"

#include <cstring>

namespace {

using replies::coordText;
using replies::encodeGx;
using replies::GxReply;
using replies::hex;
using replies::Pose;
using replies::poseText;

class DiagnosticCapture : public CaptureTest {};

GxReply gxReply()
{
    GxReply r;
    r.transforms = {poseText(Pose{1, 0, 0, 0, 1, 2, 3, 0}), "MISSING", "DISABLED"};
    r.status = "1F030201";
    r.information = {
        "31"
        "0123456789",
        "32"
        "AAAAAAAAAA",
        "33"
        "BBBBBBBBBB"};
    r.singleStrays = {coordText(1, 2, 3), "MISSING", coordText(-4, -5, -6)};
    r.frames = {hex(0x11, 8), hex(0x22, 8), hex(0x33, 8)};
    for (int i = 0; i < 9; ++i) {
        r.passiveTransforms[i] = poseText(Pose{1, 0, 0, 0, 10.0 * i, 0, 0, 0});
        r.passiveInformation[i] = hex(0x40 + i, 2) + std::string(10, '0');
        r.passiveFrames[i] = hex(0x100 + i, 8);
    }
    r.passiveStatus = {"2E0C0B0A", "2E0F0E0D", "2E121110"};
    r.passiveStrays = "+02" + coordText(7, 8, 9) + coordText(-1, -2, -3);
    return r;
}

TEST_F(DiagnosticCapture, GxActiveAndPassivePorts)
{
    const GxReply r = gxReply();
    capture("GX:B00F", encodeGx(0xB00F, r));

    double t[8], c[3];
    EXPECT_EQ(ndiGetGXTransform(h, '1', t), 0);
    EXPECT_DOUBLE_EQ(t[6], 3.0);
    EXPECT_EQ(ndiGetGXTransform(h, '2', t), 2);
    EXPECT_EQ(ndiGetGXTransform(h, '3', t), 1);
    EXPECT_EQ(ndiGetGXTransform(h, 'I', t), 0);
    EXPECT_DOUBLE_EQ(t[4], 80.0);
    EXPECT_EQ(ndiGetGXTransform(h, 'J', t), 1);
    EXPECT_EQ(ndiGetGXTransform(h, '0', t), 1);

    // Statuses are listed in reverse port order within each group.
    const std::pair<int, int> statuses[] = {{'1', 0x01}, {'2', 0x02}, {'3', 0x03}, {'A', 0x0A},
                                            {'C', 0x0C}, {'D', 0x0D}, {'I', 0x12}, {'Z', 0}};
    for (const auto& [port, status] : statuses) {
        EXPECT_EQ(ndiGetGXPortStatus(h, port), status) << char(port);
    }
    EXPECT_EQ(ndiGetGXSystemStatus(h), 0x1F);

    EXPECT_EQ(ndiGetGXToolInfo(h, '1'), 0x31);
    EXPECT_EQ(ndiGetGXToolInfo(h, 'B'), 0x41);
    EXPECT_EQ(ndiGetGXMarkerInfo(h, '1', 'A'), 0x9);
    EXPECT_EQ(ndiGetGXMarkerInfo(h, '1', 'J'), 0x0);
    EXPECT_EQ(ndiGetGXMarkerInfo(h, '2', 'C'), 0xA);
    EXPECT_EQ(ndiGetGXMarkerInfo(h, '1', 'K'), 0) << "no room for markers beyond J";
    EXPECT_EQ(ndiGetGXMarkerInfo(h, '1', 'T'), 0);
    EXPECT_EQ(ndiGetGXMarkerInfo(h, 'X', 'A'), 0);

    EXPECT_EQ(ndiGetGXSingleStray(h, '1', c), 0);
    EXPECT_DOUBLE_EQ(c[1], 2.0);
    EXPECT_EQ(ndiGetGXSingleStray(h, '2', c), 2);
    EXPECT_EQ(ndiGetGXSingleStray(h, '3', c), 0);
    EXPECT_DOUBLE_EQ(c[2], -6.0);
    EXPECT_EQ(ndiGetGXSingleStray(h, 'A', c), 1);

    EXPECT_EQ(ndiGetGXFrame(h, '2'), 0x22u);
    EXPECT_EQ(ndiGetGXFrame(h, 'H'), 0x107u);

    EXPECT_EQ(ndiGetGXNumberOfPassiveStrays(h), 2);
    EXPECT_EQ(ndiGetGXPassiveStray(h, 1, c), 0);
    EXPECT_DOUBLE_EQ(c[0], -1.0);
    EXPECT_EQ(ndiGetGXPassiveStray(h, 2, c), 2);
    EXPECT_EQ(ndiGetGXPassiveStray(h, -1, c), 2);
}

TEST_F(DiagnosticCapture, GxPassiveOnlyAndHostileStrayCounts)
{
    GxReply r = gxReply();
    capture("GX:8000", encodeGx(0x8000, r));
    EXPECT_EQ(ndiGetGXSystemStatus(h), 0x2E)
        << "taken from the passive group without active status";
    double t[8], c[3];
    EXPECT_EQ(ndiGetGXTransform(h, 'B', t), 0);
    EXPECT_DOUBLE_EQ(t[4], 10.0);
    EXPECT_EQ(ndiGetGXTransform(h, 'D', t), 1) << "one group only without 0x2000";

    struct Case {
        std::string text;
        int count;
    } cases[] = {{"+99" + coordText(1, 1, 1), 20}, {"-05", 0}, {"", 0}, {"+0", 0}, {"+01", 1}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.text);
        r.passiveStrays = k.text;
        capture("GX:1000", encodeGx(0x1000, r));
        EXPECT_EQ(ndiGetGXNumberOfPassiveStrays(h), k.count);
        for (int i = -1; i <= 21; ++i) {
            ndiGetGXPassiveStray(h, i, c);
        }
    }
    // A count with nothing behind it is not data.
    EXPECT_EQ(ndiGetGXPassiveStray(h, 0, c), 1);
}

TEST_F(DiagnosticCapture, PstatPortsActiveAndPassive)
{
    const std::string basic =
        std::string("0ROM  TOOL    NAME_56789012345") + "1F";  // 32 characters
    ASSERT_EQ(basic.size(), 32u);
    auto line = [&](const std::string& first) {
        return first + "00000031" + "8700339             " + "0F" + "41" + "\n";
    };
    std::string reply = line(basic) + line("UNOCCUPIED" + std::string(22, ' ')) + line(basic);
    for (int i = 0; i < 9; ++i) {
        reply += line(basic.substr(0, 30) + hex(0x20 + i, 2));
    }
    capture("PSTAT:A01F", reply);

    char info[30], part[20];
    EXPECT_EQ(ndiGetPSTATToolInfo(h, '1', info), 0);
    EXPECT_EQ(std::string(info, 30), basic.substr(0, 30));
    EXPECT_EQ(ndiGetPSTATPortStatus(h, '1'), 0x1F);
    EXPECT_EQ(ndiGetPSTATToolInfo(h, '2', info), 3);
    EXPECT_EQ(ndiGetPSTATPortStatus(h, '2'), 0);
    EXPECT_EQ(ndiGetPSTATToolInfo(h, '4', info), 3);
    EXPECT_EQ(ndiGetPSTATPortStatus(h, 'I'), 0x28);
    EXPECT_EQ(ndiGetPSTATCurrentTest(h, 'E'), 0x31u);
    EXPECT_EQ(ndiGetPSTATPartNumber(h, '3', part), 0);
    EXPECT_EQ(std::string(part, 20), "8700339             ");
    EXPECT_EQ(ndiGetPSTATPartNumber(h, 'Q', part), 3);
    EXPECT_EQ(ndiGetPSTATAccessories(h, 'A'), 0x0F);
    EXPECT_EQ(ndiGetPSTATMarkerType(h, '1'), 0x41);
    EXPECT_EQ(ndiGetPSTATMarkerType(h, '0'), 0);

    // Without 0x2000 only three passive ports are read; an empty text is
    // no tool.
    std::memset(&h->Capture, 0, sizeof h->Capture);
    capture("PSTAT:8001", "A\nB\nC\nD\nE\nF\nG\n");
    EXPECT_EQ(h->Capture.PstatPassiveBasic[2][0], 'F');
    EXPECT_EQ(h->Capture.PstatPassiveBasic[3][0], '\0');
    EXPECT_EQ(ndiGetPSTATPartNumber(h, 'A', part), 3);
    EXPECT_EQ(ndiGetPSTATToolInfo(h, 'D', info), 3);
}

TEST_F(DiagnosticCapture, SstatTakesTheFieldsItsOptionAsksFor)
{
    struct Case {
        const char* command;
        const char* reply;
        int control, sensors, tiu;
    } cases[] = {
        {"SSTAT:0007", "0102FF", 0x01, 0x02, 0xFF},
        {"SSTAT:0004", "3C", 0, 0, 0x3C},
        {"SSTAT:0003", "A", 0xA, 0, 0},
        {"SSTAT", "1234", 0, 0, 0},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.command);
        std::memset(&h->Capture, 0, sizeof h->Capture);
        capture(k.command, k.reply);
        EXPECT_EQ(ndiGetSSTATControl(h), k.control);
        EXPECT_EQ(ndiGetSSTATSensors(h), k.sensors);
        EXPECT_EQ(ndiGetSSTATTIU(h), k.tiu);
    }
}

TEST_F(DiagnosticCapture, IrchkSourcesOfBothSides)
{
    const std::string sources =
        "+02"
        "+10-20"
        "+33+44"
        "+01"
        "-05+06";
    for (const std::string& reply : {"1" + sources, "1\n" + sources}) {
        std::memset(&h->Capture, 0, sizeof h->Capture);
        capture("IRCHK:0003", reply);
        EXPECT_TRUE(ndiGetIRCHKDetected(h));
        EXPECT_EQ(ndiGetIRCHKNumberOfSources(h, 0), 2);
        EXPECT_EQ(ndiGetIRCHKNumberOfSources(h, 1), 1);
        double xy[2];
        EXPECT_EQ(ndiGetIRCHKSourceXY(h, 0, 1, xy), 0);
        EXPECT_DOUBLE_EQ(xy[0], 0.33);
        EXPECT_DOUBLE_EQ(xy[1], 0.44);
        EXPECT_EQ(ndiGetIRCHKSourceXY(h, 1, 0, xy), 0);
        EXPECT_DOUBLE_EQ(xy[0], -0.05);
        EXPECT_EQ(ndiGetIRCHKSourceXY(h, 1, 1, xy), 2);
        EXPECT_EQ(ndiGetIRCHKSourceXY(h, 0, -1, xy), 2);
        EXPECT_EQ(ndiGetIRCHKSourceXY(h, 2, 0, xy), 2);
    }

    capture("IRCHK:0001", "0");
    EXPECT_FALSE(ndiGetIRCHKDetected(h));

    // Counts out of range, and a side 1 list that lies beyond the 126 kept
    // characters.
    struct Case {
        std::string list;
        int side0, side1;
    } cases[] = {
        {"+21", 0, 0},
        {"-01+00", 0, 0},
        {"", 0, 0},
        {"+20" + std::string(120, '0') + "+05" + "+01+01", 20, 5},
        {"+20" + std::string(120, '0') + "+0", 20, 0},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.list);
        capture("IRCHK:0002", k.list);
        EXPECT_EQ(ndiGetIRCHKNumberOfSources(h, 0), k.side0);
        EXPECT_EQ(ndiGetIRCHKNumberOfSources(h, 1), k.side1);
        double xy[2];
        for (int i = -1; i <= 21; ++i) {
            int result = ndiGetIRCHKSourceXY(h, 1, i, xy);
            EXPECT_EQ(result, 2) << "side 1 source " << i << " is not in the kept text";
        }
    }
}

}  // namespace

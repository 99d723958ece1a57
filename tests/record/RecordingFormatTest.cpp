// The recording format on its own: a frame written and read back holds the
// very same bits, and a file that is not a sound recording is refused with
// the line and what is wrong with it, never half read.
#include <ndirecording/Recording.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

using namespace ndi_recording;

namespace {

const std::string kHeader =
    R"({"format":"ndi-track-recording","version":1,"family":"aurora","device":"/dev/ttyUSB0",)"
    R"("start_utc":"2026-12-11T00:00:00.000000000Z","start_ns":"1796774400000000000",)"
    R"("tools":[{"id":"ndi-aurora-4-610065","name":"Probe","model":"610065","port":4}],)"
    R"("files":[]})"
    "\n";

std::string frame(int seq, long long tNs,
                  const std::string& matrix = "1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1",
                  const std::string& extra = "")
{
    return R"({"seq":)" + std::to_string(seq) + R"(,"t_ns":)" + std::to_string(tNs) +
           R"(,"stamp_ms":1796774400000,"main":"","tools":[{"id":"ndi-aurora-4-610065",)"
           R"("name":"Probe","model":"610065","state":"ok","active":true,"status":0,)"
           R"("quality":0.973,"stamp_ms":1796774400000,"matrix":[)" +
           matrix + "]" + extra + R"(}],"markers":[]})" + "\n";
}

// Bit for bit, but for the sign of a zero, which Qt's JSON reader drops and
// no pose or marker position depends on.
bool sameBits(double a, double b)
{
    return std::memcmp(&a, &b, sizeof a) == 0 || (a == 0 && b == 0);
}

}  // namespace

TEST(RecordingFormat, WhatIsWrittenReadsBackBitForBit)
{
    RecordingHeader header;
    header.family = "vega";
    header.device = "10.0.0.7:8765";
    header.startUtc = "2026-12-11T00:00:00.123456789Z";
    header.startNs = 1796774400123456789;  // beyond what a double holds exactly
    header.tools = {{"ndi-polaris-100000", "Left \"hand\"\n\\ tool\x01 \xc3\xa9", "", 0}};
    header.files = {{"marker", "Left", "/tmp/a b/left.rom", 0}};

    RecordedFrame f;
    f.seq = 1;
    f.offsetNs = 9007199254740991;  // 2^53 - 1
    f.stampMs = 1796774400123;
    f.mainId = "ndi-polaris-100000";
    RecordedInstrument i;
    i.id = header.tools[0].id;
    i.name = header.tools[0].name;
    i.state = ToolState::Ok;
    i.active = true;
    i.status = -3;
    i.quality = -0.25;
    i.stampMs = 1796774400122;
    const double tricky[16] = {0.1,
                               1.0 / 3.0,
                               -0.0,
                               5e-324,
                               std::numeric_limits<double>::max(),
                               -std::numeric_limits<double>::min(),
                               std::numeric_limits<double>::quiet_NaN(),
                               std::numeric_limits<double>::infinity(),
                               -std::numeric_limits<double>::infinity(),
                               static_cast<double>(0.70710677f),
                               123456.789012345678,
                               1e22,
                               -1e-7,
                               18446744073709551616.0,
                               -1e19,
                               1.0};
    for (int k = 0; k < 16; ++k) i.matrix[static_cast<std::size_t>(k)] = tricky[k];
    f.instruments.push_back(i);
    f.markers = {{"", {-150.25, 0.1f, -1600.0}}, {"ndi-polaris-100000", {1e-300, 2, 3}}};

    const Recording r = parseRecording(headerLine(header) + frameLine(f));
    EXPECT_EQ(r.header.family, header.family);
    EXPECT_EQ(r.header.device, header.device);
    EXPECT_EQ(r.header.startNs, header.startNs);
    EXPECT_EQ(r.header.startUtc, header.startUtc);
    ASSERT_EQ(r.header.tools.size(), 1u);
    EXPECT_EQ(r.header.tools[0].name, header.tools[0].name);
    ASSERT_EQ(r.header.files.size(), 1u);
    EXPECT_EQ(r.header.files[0].path, "/tmp/a b/left.rom");
    ASSERT_EQ(r.frames.size(), 1u);
    const RecordedFrame& g = r.frames[0];
    EXPECT_EQ(g.offsetNs, f.offsetNs);
    EXPECT_EQ(g.stampMs, f.stampMs);
    EXPECT_EQ(g.mainId, f.mainId);
    ASSERT_EQ(g.instruments.size(), 1u);
    const RecordedInstrument& j = g.instruments[0];
    EXPECT_EQ(j.name, i.name);
    EXPECT_EQ(j.state, ToolState::Ok);
    EXPECT_EQ(j.status, -3);
    EXPECT_TRUE(sameBits(j.quality, i.quality));
    for (std::size_t k = 0; k < 16; ++k)
        EXPECT_TRUE(sameBits(j.matrix[k], i.matrix[k]) ||
                    (std::isnan(j.matrix[k]) && std::isnan(i.matrix[k])))
            << "matrix[" << k << "] " << i.matrix[k] << " came back as " << j.matrix[k];
    ASSERT_EQ(g.markers.size(), 2u);
    EXPECT_EQ(g.markers[0].owner, "");
    EXPECT_EQ(g.markers[1].owner, "ndi-polaris-100000");
    for (std::size_t m = 0; m < 2; ++m)
        for (std::size_t k = 0; k < 3; ++k)
            EXPECT_TRUE(sameBits(g.markers[m].position[k], f.markers[m].position[k]));
}

TEST(RecordingFormat, RefusesWhatIsNoSoundRecordingWithTheLineAndTheFault)
{
    ReadLimits small;
    small.maxLineBytes = 600;
    small.maxFrames = 2;
    const struct {
        const char* what;
        std::string text;
        std::string message;
        ReadLimits limits;
    } cases[] = {
        {"empty file", "", "the recording is empty", {}},
        {"no header", frame(1, 0), "line 1: not a recording", {}},
        {"newer version",
         R"({"format":"ndi-track-recording","version":2})"
         "\n",
         "line 1: recording format version 2 is not known here",
         {}},
        {"unknown family",
         std::string(kHeader).replace(kHeader.find("aurora"), 6, "optotrak"),
         "line 1: unknown family \"optotrak\"",
         {}},
        {"not JSON", kHeader + "{\"seq\":1,\n", "line 2: not JSON", {}},
        {"cut off", kHeader + frame(1, 0).substr(0, 40), "line 2: cut off", {}},
        {"empty line", kHeader + "\n", "line 2: empty line", {}},
        {"frame lost", kHeader + frame(1, 0) + frame(3, 10), "line 3: frame 3 follows frame 1", {}},
        {"time goes back",
         kHeader + frame(1, 50) + frame(2, 10),
         "line 3: \"t_ns\" goes back in time",
         {}},
        {"short matrix",
         kHeader + frame(1, 0, "1,0,0,0,0,1,0,0,0,0,1,0,0,0,0"),
         "line 2: tools[0]: \"matrix\" must hold 16 numbers",
         {}},
        {"text in matrix",
         kHeader + frame(1, 0, "1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,\"one\""),
         "line 2: tools[0]: matrix[15] must be a number",
         {}},
        {"overflowing number",
         kHeader + frame(1, 0, "1,0,0,1e999,0,1,0,0,0,0,1,0,0,0,0,1"),
         "line 2: not JSON",
         {}},
        {"misspelt key",
         kHeader + frame(1, 0, "1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1", ",\"colour\":1"),
         "line 2: tools[0]: unknown key \"colour\"",
         {}},
        {"a key twice",
         kHeader + frame(1, 0).replace(1, 0, "\"markers\":[{}],"),
         "line 2: key \"markers\" twice in one object",
         {}},
        {"fractional seq",
         kHeader + frame(1, 0).replace(7, 1, "1.5"),
         "line 2: \"seq\" must be a whole number",
         {}},
        {"unknown state",
         kHeader + frame(1, 0).replace(frame(1, 0).find("\"ok\""), 4, "\"lost\""),
         "line 2: tools[0]: \"state\" must be ok, missing or disabled",
         {}},
        {"line too long",
         kHeader + frame(1, 0, std::string(700, ' ') + "1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1"),
         "line 2: longer than 600 bytes", small},
        {"too many frames", kHeader + frame(1, 0) + frame(2, 1) + frame(3, 2),
         "line 4: more than 2 frames", small},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        try {
            parseRecording(c.text, c.limits);
            ADD_FAILURE() << "accepted";
        } catch (const RecordingError& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
}

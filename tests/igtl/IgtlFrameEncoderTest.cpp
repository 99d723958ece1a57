// The messages a frame becomes, decoded by the library as a client would:
// which tools send what under which name, and the names a header cannot hold.
#include "IgtlFrameEncoder.h"
#include "IgtlTestClient.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using ndi_track::IgtlFrameEncoder;

namespace {

struct Tool {
    std::string id;
    std::string name;
    enum { Seen, Missing, Disabled } state = Seen;
};

std::unique_ptr<Velantor::TrackingStreamData> frameOf(const std::vector<Tool>& tools)
{
    auto made = std::make_unique<Velantor::TrackingStreamData>();
    auto& frame = *made;
    frame.timestamp = 1700000000123;
    double x = 1;
    for (const Tool& tool : tools) {
        Velantor::TrackingInstrument i(Velantor::TrackerID(tool.id, "", tool.name),
                                       tool.state != Tool::Disabled);
        if (tool.state == Tool::Seen) {
            i.matrix(0, 3) = x;
            i.quality = 0.9;
        }
        x += 1;
        i.timestamp = frame.timestamp;
        frame.instruments.push_back(i);
    }
    return made;
}

}  // namespace

// Device names as clients look them up; what is not in view sends nothing;
// two tools whose names a header cannot tell apart never share one name.
TEST(IgtlFrameEncoder, NamesEachToolInViewOnceAndSaysWhatItCouldNotName)
{
    const struct {
        const char* what;
        std::vector<Tool> tools;
        std::vector<std::string> devices;  // TRANSFORMs, in order
        std::vector<float> xs;             // their translation x, telling whose pose it is
        std::size_t warnings;
    } cases[] = {
        {"spaces become underscores",
         {{"a", "Tool One"}, {"b", "Pointer"}},
         {"Tool_OneToTracker", "PointerToTracker"},
         {1, 2},
         0},
        {"no name: the id", {{"ndi-aurora-1", ""}}, {"ndi-aurora-ToTracker"}, {1}, 1},
        {"missing and disabled send nothing",
         {{"a", "A", Tool::Missing}, {"b", "B"}, {"c", "C", Tool::Disabled}},
         {"BToTracker"},
         {2},
         0},
        {"a name cut to fit the header keeps the ending",
         {{"a", "Long Reference Name"}},
         {"Long_RefereToTracker"},
         {1},
         1},
        {"two names alike in the header: the first only",
         {{"a", "Reference Frame 1"}, {"b", "Reference Frame 2"}, {"c", "Stylus"}},
         {"Reference_FToTracker", "StylusToTracker"},
         {1, 3},
         2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        IgtlFrameEncoder encoder(false);
        std::string bytes;
        const auto made = frameOf(c.tools);
        const auto& frame = *made;
        EXPECT_EQ(encoder.encodeFrame(frame, bytes), static_cast<int>(c.devices.size()));
        const auto messages = igtltest::decodeAll(bytes);
        ASSERT_EQ(messages.size(), c.devices.size());
        for (std::size_t k = 0; k < messages.size(); ++k) {
            EXPECT_EQ(messages[k].type, "TRANSFORM");
            EXPECT_EQ(messages[k].device, c.devices[k]);
            EXPECT_EQ(messages[k].matrix[0][3], c.xs[k]);
            EXPECT_EQ(messages[k].milliseconds, frame.timestamp);
        }
        EXPECT_EQ(encoder.takeWarnings().size(), c.warnings);
        // Said once, not with every frame.
        bytes.clear();
        encoder.encodeFrame(frame, bytes);
        EXPECT_TRUE(encoder.takeWarnings().empty());
    }
}

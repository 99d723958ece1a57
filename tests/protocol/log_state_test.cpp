// The connection state dump: its labels and their order, values that agree
// with the accessors after real replies, and a text that stays within
// NDI_LOG_STATE_SIZE whatever the handle holds.
#include <ndisim/Simulator.h>

#include <ndi/protocol.h>
#include <ndi/state.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

using namespace ndisim;

namespace {

// Into a heap buffer of exactly NDI_LOG_STATE_SIZE bytes, so that the
// address sanitizer sees a single byte too many.
std::string dump(NdiConnection* h)
{
    std::unique_ptr<char[]> out(new char[NDI_LOG_STATE_SIZE]);
    std::memset(out.get(), 0x55, NDI_LOG_STATE_SIZE);
    ndiLogState(h, out.get());
    return std::string(out.get());
}

struct Line {
    std::string label;  // through the first ": "
    std::string value;
};

std::vector<Line> parse(const std::string& text)
{
    std::vector<Line> lines;
    EXPECT_TRUE(text.empty() || text.back() == '\n') << "the last line is not complete";
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        const std::size_t colon = line.find(": ");
        EXPECT_NE(colon, std::string::npos) << line;
        if (colon != std::string::npos)
            lines.push_back({line.substr(0, colon + 2), line.substr(colon + 2)});
        start = end + 1;
    }
    return lines;
}

std::vector<Line> withPrefix(const std::vector<Line>& lines, const std::string& prefix)
{
    std::vector<Line> out;
    for (const Line& l : lines) {
        if (l.label.compare(0, prefix.size(), prefix) == 0) out.push_back(l);
    }
    return out;
}

std::string valueOf(const std::vector<Line>& lines, const std::string& label)
{
    for (const Line& l : lines) {
        if (l.label == label) return l.value;
    }
    ADD_FAILURE() << "no line " << label;
    return {};
}

std::vector<std::string> tokens(const std::string& value)
{
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start < value.size()) {
        std::size_t end = value.find(' ', start);
        if (end == std::string::npos) end = value.size();
        out.push_back(value.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

std::string hex(unsigned value, int digits)
{
    char text[16];
    std::snprintf(text, sizeof text, "%0*X", digits, value);
    return text;
}

// Floats must read back bit for bit.
void expectFloats(const std::string& value, const float* want, int n, const std::string& where)
{
    const std::vector<std::string> t = tokens(value);
    ASSERT_EQ(t.size(), static_cast<std::size_t>(n)) << where << ": " << value;
    for (int i = 0; i < n; ++i) {
        const float got = std::strtof(t[static_cast<std::size_t>(i)].c_str(), nullptr);
        EXPECT_EQ(std::memcmp(&got, &want[i], sizeof got), 0)
            << where << " value " << i << ": " << value;
    }
}

// Labels of the line sequence: a label with a count repeats with "[i" in the
// middle, one without stands alone.
std::vector<std::string> expand(const std::vector<std::tuple<std::string, std::string, int>>& table)
{
    std::vector<std::string> out;
    for (const auto& [head, tail, count] : table) {
        if (count == 0) out.push_back(head);
        for (int i = 0; i < count; ++i) out.push_back(head + std::to_string(i) + tail);
    }
    return out;
}

// A real connection whose handle has seen no reply yet.
struct FreshConnection {
    std::unique_ptr<Simulator> sim = Simulator::tcp(defaultScenario(Family::Vega), "127.0.0.1", 0);
    NdiConnection* h = ndiOpenNetwork("127.0.0.1", sim->tcpPort());
    ~FreshConnection()
    {
        if (h != nullptr) ndiCloseNetwork(h);
    }
};

TEST(LogState, FreshHandleListsEveryLabelInOrderWithEmptyValues)
{
    FreshConnection c;
    ASSERT_NE(c.h, nullptr);
    const std::vector<Line> lines = parse(dump(c.h));

    const std::vector<std::string> want = expand({
        {"GxTransforms[", "][52]: ", 3},
        {"GxStatus[8]: ", "", 0},
        {"GxInformation[", "][12]: ", 3},
        {"GxSingleStray[", "][24]: ", 3},
        {"GxFrame[", "][8]: ", 3},
        {"GxPassiveTransforms[", "][52]: ", 9},
        {"GxPassiveStatus[24]: ", "", 0},
        {"GxPassiveInformation[", "][12]: ", 9},
        {"GxPassiveFrame[", "][8]: ", 9},
        {"GxPassiveStray[424]: ", "", 0},
        {"PstatBasic[", "][32]: ", 3},
        {"PstatTesting[", "][8]: ", 3},
        {"PstatPartNumber[", "][20]: ", 3},
        {"PstatAccessories[", "][2]: ", 3},
        {"PstatMarkerType[", "][2]: ", 3},
        {"PstatPassiveBasic[", "][32]: ", 9},
        {"PstatPassiveTesting[", "][8]: ", 9},
        {"PstatPassivePartNumber[", "][20]: ", 9},
        {"PstatPassiveAccessories[", "][2]: ", 9},
        {"PstatPassiveMarkerType[", "][2]: ", 9},
        {"SstatControl[2]: ", "", 0},
        {"SstatSensor[2]: ", "", 0},
        {"SstatTiu[2]: ", "", 0},
        {"IrchkDetected: ", "", 0},
        {"IrchkSources[128]: ", "", 0},
        {"PhrqReply[2]: ", "", 0},
        {"PhsrReply[1284]: ", "", 0},
        {"PhinfUnoccupied: ", "", 0},
        {"PhinfBasic[34]: ", "", 0},
        {"PhinfTesting[8]: ", "", 0},
        {"PhinfPartNumber[20]: ", "", 0},
        {"PhinfAccessories[2]: ", "", 0},
        {"PhinfMarkerType[2]: ", "", 0},
        {"PhinfPortLocation[14]: ", "", 0},
        {"PhinfGpioStatus[2]: ", "", 0},
        {"TxHandleCount: ", "", 0},
        {"TxHandles[NDI_MAX_HANDLES]: ", "", 0},
        {"TxSystemStatus[4]: ", "", 0},
        {"TxPassiveStrayCount: ", "", 0},
        {"TxPassiveStrayOov[14]: ", "", 0},
        {"TxPassiveStray[1052]: ", "", 0},
        {"BxHandleCount: ", "", 0},
        {"BxHandles[NDI_MAX_HANDLES]: ", "", 0},
        {"BxHandlesStatus[NDI_MAX_HANDLES]: ", "", 0},
        {"BxFrameNumber[NDI_MAX_HANDLES]: ", "", 0},
        {"BxPortStatus[NDI_MAX_HANDLES]: ", "", 0},
        {"BxActiveSingleStrayMarkerStatus[NDI_MAX_HANDLES]: ", "", 0},
        {"Bx3DMarkerCount[NDI_MAX_HANDLES]: ", "", 0},
        {"BxPassiveStrayCount: ", "", 0},
        {"BxPassiveStrayOutOfVolume[30]: ", "", 0},
    });
    std::vector<std::string> got;
    for (const Line& l : lines) got.push_back(l.label);
    EXPECT_EQ(got, want);

    const std::vector<std::string> counts = {
        "IrchkDetected: ",       "PhinfUnoccupied: ", "TxHandleCount: ",
        "TxPassiveStrayCount: ", "BxHandleCount: ",   "BxPassiveStrayCount: "};
    for (const Line& l : lines) {
        const bool isCount = std::find(counts.begin(), counts.end(), l.label) != counts.end();
        EXPECT_EQ(l.value, isCount ? "0" : "") << l.label;
    }

    EXPECT_EQ(dump(nullptr), "");
}

// The older and diagnostic capture fields, which the simulator does not
// answer: each with the label it must be shown under.
struct TextField {
    std::string label;
    char* data;
    std::size_t width;
};

template <std::size_t W>
void add(std::vector<TextField>& v, const char* label, char (&field)[W])
{
    v.push_back({label, field, W});
}

template <std::size_t R, std::size_t W>
void addRows(std::vector<TextField>& v, const char* head, const char* tail, char (&rows)[R][W])
{
    for (std::size_t r = 0; r < R; ++r) v.push_back({head + std::to_string(r) + tail, rows[r], W});
}

std::vector<TextField> diagnosticFields(NdiCaptureAreas& c)
{
    std::vector<TextField> v;
    addRows(v, "GxTransforms[", "][52]: ", c.GxTransforms);
    add(v, "GxStatus[8]: ", c.GxStatus);
    addRows(v, "GxInformation[", "][12]: ", c.GxInformation);
    addRows(v, "GxSingleStray[", "][24]: ", c.GxSingleStray);
    addRows(v, "GxFrame[", "][8]: ", c.GxFrame);
    addRows(v, "GxPassiveTransforms[", "][52]: ", c.GxPassiveTransforms);
    add(v, "GxPassiveStatus[24]: ", c.GxPassiveStatus);
    addRows(v, "GxPassiveInformation[", "][12]: ", c.GxPassiveInformation);
    addRows(v, "GxPassiveFrame[", "][8]: ", c.GxPassiveFrame);
    add(v, "GxPassiveStray[424]: ", c.GxPassiveStray);
    addRows(v, "PstatBasic[", "][32]: ", c.PstatBasic);
    addRows(v, "PstatTesting[", "][8]: ", c.PstatTesting);
    addRows(v, "PstatPartNumber[", "][20]: ", c.PstatPartNumber);
    addRows(v, "PstatAccessories[", "][2]: ", c.PstatAccessories);
    addRows(v, "PstatMarkerType[", "][2]: ", c.PstatMarkerType);
    addRows(v, "PstatPassiveBasic[", "][32]: ", c.PstatPassiveBasic);
    addRows(v, "PstatPassiveTesting[", "][8]: ", c.PstatPassiveTesting);
    addRows(v, "PstatPassivePartNumber[", "][20]: ", c.PstatPassivePartNumber);
    addRows(v, "PstatPassiveAccessories[", "][2]: ", c.PstatPassiveAccessories);
    addRows(v, "PstatPassiveMarkerType[", "][2]: ", c.PstatPassiveMarkerType);
    add(v, "SstatControl[2]: ", c.SstatControl);
    add(v, "SstatSensor[2]: ", c.SstatSensor);
    add(v, "SstatTiu[2]: ", c.SstatTiu);
    add(v, "IrchkSources[128]: ", c.IrchkSources);
    return v;
}

void command(NdiConnection* h, const char* format, int a = 0, int b = 0)
{
    ndiCommand(h, format, a, b);
    ASSERT_EQ(ndiGetError(h), 0) << format << ": " << ndiErrorString(ndiGetError(h));
}

// The simulator recognises a scenario's passive tool by the part number of
// its uploaded image ("NDI" at the start, the part number at byte 592).
int loadTool(NdiConnection* h, const std::string& partNumber)
{
    command(h, "PHRQ:*********1****");
    const int ph = ndiGetPHRQHandle(h);
    unsigned char image[NDI_PVWR_IMAGE_SIZE] = {'N', 'D', 'I', 0};
    std::memcpy(image + 592, partNumber.data(), partNumber.size());
    EXPECT_EQ(ndiPVWRFromImage(h, ph, image), 0);
    command(h, "PINIT:%02X", ph);
    command(h, "PENA:%02X%c", ph, 'D');
    return ph;
}

std::vector<int> handlesOf(const std::string& value)
{
    std::vector<int> out;
    for (const std::string& t : tokens(value))
        out.push_back(static_cast<int>(std::strtoul(t.c_str(), nullptr, 16)));
    return out;
}

TEST(LogState, ShowsCapturedRepliesAsTheAccessorsReadThem)
{
    const Scenario scenario = defaultScenario(Family::Vega);
    auto sim = Simulator::tcp(scenario, "127.0.0.1", 0);
    NdiConnection* h = ndiOpenNetwork("127.0.0.1", sim->tcpPort());
    ASSERT_NE(h, nullptr);
    ndiTimeoutSocket(h, 5000);
    command(h, "INIT:");
    std::vector<int> loaded = {loadTool(h, scenario.tools[0].partNumber),
                               loadTool(h, scenario.tools[1].partNumber)};
    command(h, "TSTART:");
    command(h, "TX:%04X", 0x1007);
    command(h, "BX:%04X", 0x0801 | 0x0008 | 0x1000);
    const std::string phsr = ndiCommand(h, "PHSR:%02X", 0);
    ASSERT_EQ(ndiGetError(h), 0);
    command(h, "PHINF:%02X%04X", loaded[0], 0x0025);

    // Every diagnostic field full to its width (no NUL) with a text of its
    // own, so that a field shown under another's label, or read past its
    // end into its neighbour, shows.
    const std::vector<TextField> fields = diagnosticFields(h->Capture);
    std::vector<std::string> filled;
    for (std::size_t k = 0; k < fields.size(); ++k) {
        const char tag[3] = {static_cast<char>('A' + k / 26), static_cast<char>('a' + k % 26), '-'};
        std::string text;
        for (std::size_t i = 0; i < fields[k].width; ++i) text += tag[i % 3];
        std::memcpy(fields[k].data, text.data(), fields[k].width);
        filled.push_back(text);
    }

    const std::vector<Line> lines = parse(dump(h));
    for (std::size_t k = 0; k < fields.size(); ++k)
        EXPECT_EQ(valueOf(lines, fields[k].label), filled[k]);

    // Port handles.
    char ph[3];
    std::snprintf(ph, sizeof ph, "%02X", loaded[1]);
    EXPECT_EQ(valueOf(lines, "PhrqReply[2]: "), ph);
    EXPECT_EQ(valueOf(lines, "PhsrReply[1284]: "), phsr);
    EXPECT_EQ(valueOf(lines, "PhinfUnoccupied: "), "0");
    const std::string basic = valueOf(lines, "PhinfBasic[34]: ");
    ASSERT_EQ(basic.size(), 33u);
    EXPECT_EQ(basic.substr(31), hex(static_cast<unsigned>(ndiGetPHINFPortStatus(h)), 2));
    EXPECT_EQ(valueOf(lines, "PhinfPartNumber[20]: "),
              scenario.tools[0].partNumber + std::string(13, ' '));

    // Text tracking reply: two tools, two lines of each per-tool label.
    EXPECT_EQ(valueOf(lines, "TxHandleCount: "), "2");
    const std::vector<int> tx = handlesOf(valueOf(lines, "TxHandles[NDI_MAX_HANDLES]: "));
    ASSERT_EQ(tx.size(), 2u);
    EXPECT_TRUE(std::is_permutation(tx.begin(), tx.end(), loaded.begin()));
    const std::vector<std::pair<std::string, std::string>> perTool = {
        {"TxTransforms[", "][52]: "},
        {"TxStatus[", "][8]: "},
        {"TxFrame[", "][8]: "},
        {"TxInformation[", "][12]: "},
        {"TxSingleStray[", "][24]: "}};
    for (const auto& [head, tail] : perTool) {
        const std::vector<Line> got = withPrefix(lines, head);
        ASSERT_EQ(got.size(), 2u) << head;
        for (std::size_t i = 0; i < 2; ++i)
            EXPECT_EQ(got[i].label, head + std::to_string(i) + tail);
    }
    for (std::size_t i = 0; i < 2; ++i) {
        const Line status = withPrefix(lines, "TxStatus[")[i];
        const Line frame = withPrefix(lines, "TxFrame[")[i];
        EXPECT_EQ(std::strtoul(status.value.c_str(), nullptr, 16), ndiGetTXPortStatus(h, tx[i]));
        EXPECT_EQ(std::strtoul(frame.value.c_str(), nullptr, 16), ndiGetTXFrame(h, tx[i]));
        EXPECT_NE(ndiGetTXFrame(h, tx[i]), 0u);
    }
    EXPECT_EQ(valueOf(lines, "TxPassiveStrayCount: "),
              std::to_string(ndiGetTXNumberOfPassiveStrays(h)));

    // Binary tracking reply.
    EXPECT_EQ(valueOf(lines, "BxHandleCount: "), "2");
    const std::vector<int> bx = handlesOf(valueOf(lines, "BxHandles[NDI_MAX_HANDLES]: "));
    ASSERT_EQ(bx.size(), 2u);
    EXPECT_TRUE(std::is_permutation(bx.begin(), bx.end(), loaded.begin()));
    const std::vector<std::string> frames =
        tokens(valueOf(lines, "BxFrameNumber[NDI_MAX_HANDLES]: "));
    const std::vector<std::string> portStatus =
        tokens(valueOf(lines, "BxPortStatus[NDI_MAX_HANDLES]: "));
    const std::vector<std::string> markerCounts =
        tokens(valueOf(lines, "Bx3DMarkerCount[NDI_MAX_HANDLES]: "));
    ASSERT_EQ(frames.size(), 2u);
    ASSERT_EQ(portStatus.size(), 2u);
    ASSERT_EQ(markerCounts.size(), 2u);
    ASSERT_EQ(withPrefix(lines, "BxTransforms[").size(), 2u);
    ASSERT_EQ(withPrefix(lines, "BxToolMarkerInformation[").size(), 2u);
    ASSERT_EQ(withPrefix(lines, "Bx3DMarkerOutOfVolume[").size(), 2u);
    std::size_t markerLines = 0;
    for (std::size_t i = 0; i < 2; ++i) {
        const std::string where = "handle " + std::to_string(bx[i]);
        EXPECT_EQ(frames[i], std::to_string(ndiGetBXFrame(h, bx[i]))) << where;
        EXPECT_EQ(portStatus[i], hex(ndiGetBXPortStatus(h, bx[i]), 8)) << where;
        float t[8];
        ndiGetBXTransform(h, bx[i], t);
        const Line transform = withPrefix(lines, "BxTransforms[")[i];
        EXPECT_EQ(transform.label, "BxTransforms[" + std::to_string(i) + "][8]: ");
        expectFloats(transform.value, t, 8, where);
        EXPECT_EQ(withPrefix(lines, "BxToolMarkerInformation[")[i].value, std::string(22, '0'))
            << where;

        const int n = ndiGetBXMarkerStrayCount(h, bx[i]);
        EXPECT_GT(n, 0) << where;
        EXPECT_EQ(markerCounts[i], std::to_string(n)) << where;
        EXPECT_EQ(withPrefix(lines, "Bx3DMarkerOutOfVolume[")[i].value.size(),
                  static_cast<std::size_t>((n + 7) / 8 * 2));
        const std::vector<Line> markers =
            withPrefix(lines, "Bx3DMarkerPosition[" + std::to_string(i) + "][");
        ASSERT_EQ(markers.size(), static_cast<std::size_t>(n)) << where;
        for (int j = 0; j < n; ++j) {
            float m[3];
            ASSERT_EQ(ndiGetBXMarkerStray(h, bx[i], j, m), 0);
            expectFloats(markers[static_cast<std::size_t>(j)].value, m, 3,
                         where + " marker " + std::to_string(j));
        }
        markerLines += markers.size();
    }
    EXPECT_EQ(withPrefix(lines, "Bx3DMarkerPosition[").size(), markerLines);

    const int strays = ndiGetBXNumberOfPassiveStrays(h);
    EXPECT_GT(strays, 0);
    EXPECT_EQ(valueOf(lines, "BxPassiveStrayCount: "), std::to_string(strays));
    EXPECT_EQ(valueOf(lines, "BxPassiveStrayOutOfVolume[30]: ").size(),
              static_cast<std::size_t>((strays + 7) / 8 * 2));
    const std::vector<Line> strayLines = withPrefix(lines, "BxPassiveStrayPosition[");
    ASSERT_EQ(strayLines.size(), static_cast<std::size_t>(strays));
    for (int i = 0; i < strays; ++i) {
        float p[3];
        ASSERT_EQ(ndiGetBXPassiveStray(h, i, p), 0);
        EXPECT_EQ(strayLines[static_cast<std::size_t>(i)].label,
                  "BxPassiveStrayPosition[" + std::to_string(i) + "][3]: ");
        expectFloats(strayLines[static_cast<std::size_t>(i)].value, p, 3,
                     "stray " + std::to_string(i));
    }

    command(h, "TSTOP:");
    ndiCloseNetwork(h);
}

template <typename T, std::size_t N>
void fillFloats(T (&array)[N], float value)
{
    float* first = reinterpret_cast<float*>(&array);
    std::fill(first, first + sizeof array / sizeof(float), value);
}

// The longest text: every text field full with no NUL, every list and
// indexed label at its array size, every number at its longest. A count
// prints longest at a value that still fills its array (INT_MAX, 255, 127),
// not at INT_MIN, which lists nothing.
void fillWorst(NdiCaptureAreas& c)
{
    std::memset(&c, 'x', sizeof c);
    c.IrchkDetected = INT_MIN;
    c.PhinfUnoccupied = INT_MIN;
    c.TxHandleCount = INT_MAX;
    c.TxPassiveStrayCount = INT_MIN;
    c.BxHandleCount = 255;
    for (signed char& n : c.Bx3DMarkerCount) n = 127;
    for (unsigned& f : c.BxFrameNumber) f = UINT_MAX;
    c.BxPassiveStrayCount = INT_MAX;
    fillFloats(c.BxTransforms, -FLT_MIN);
    fillFloats(c.BxActiveSingleStrayMarkerPosition, -FLT_MIN);
    fillFloats(c.Bx3DMarkerPosition, -FLT_MIN);
    fillFloats(c.BxPassiveStrayPosition, -FLT_MIN);
}

TEST(LogState, TextStaysWithinItsSizeWhateverTheCountsSay)
{
    std::unique_ptr<NdiConnection> h(new NdiConnection{});
    fillWorst(h->Capture);
    const std::string worst = dump(h.get());
    EXPECT_EQ(worst.size() + 1, static_cast<std::size_t>(NDI_LOG_STATE_SIZE));
    const std::vector<Line> lines = parse(worst);
    EXPECT_EQ(valueOf(lines, "TxHandleCount: "), "2147483647");
    EXPECT_EQ(valueOf(lines, "BxTransforms[23][8]: ").size(), 8 * 15 + 7u);
    EXPECT_EQ(withPrefix(lines, "Bx3DMarkerPosition[").size(), 24u * 20u);
    std::string allFlags;
    for (int i = 0; i < 30; ++i) allFlags += "78";
    EXPECT_EQ(valueOf(lines, "BxPassiveStrayOutOfVolume[30]: "), allFlags);

    struct Case {
        const char* what;
        std::function<void(NdiCaptureAreas&)> set;
        const char* prefix;  // an indexed label the count governs
        std::size_t lines;
    };
    const Case cases[] = {
        {"TX count far above the array", [](NdiCaptureAreas& c) { c.TxHandleCount = 1000; },
         "TxTransforms[", 24},
        {"negative TX count", [](NdiCaptureAreas& c) { c.TxHandleCount = -5; }, "TxFrame[", 0},
        {"TX count INT_MIN", [](NdiCaptureAreas& c) { c.TxHandleCount = INT_MIN; },
         "TxSingleStray[", 0},
        {"negative marker counts",
         [](NdiCaptureAreas& c) {
             for (signed char& n : c.Bx3DMarkerCount) n = -128;
         },
         "Bx3DMarkerPosition[", 0},
        {"marker counts just above the array",
         [](NdiCaptureAreas& c) {
             for (signed char& n : c.Bx3DMarkerCount) n = 21;
         },
         "Bx3DMarkerPosition[", 24 * 20},
        {"negative stray count", [](NdiCaptureAreas& c) { c.BxPassiveStrayCount = INT_MIN; },
         "BxPassiveStrayPosition[", 0},
        {"stray count just above the array",
         [](NdiCaptureAreas& c) { c.BxPassiveStrayCount = 241; }, "BxPassiveStrayPosition[", 240},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        fillWorst(h->Capture);
        k.set(h->Capture);
        const std::string text = dump(h.get());
        EXPECT_LT(text.size(), static_cast<std::size_t>(NDI_LOG_STATE_SIZE));
        EXPECT_EQ(withPrefix(parse(text), k.prefix).size(), k.lines);
    }
}

TEST(LogState, TextFieldsKeepToTheirWidthAndCannotForgeLines)
{
    std::unique_ptr<NdiConnection> h(new NdiConnection{});
    NdiCaptureAreas& c = h->Capture;
    const std::size_t cleanLines = parse(dump(h.get())).size();

    // A device's line feed, carriage return, DEL or other control byte
    // becomes '?', one for one; other bytes pass as they are.
    std::memcpy(c.PhinfPartNumber, "ab\ncd\r\x7f\x01\xc3\xa9: x\nTxHandleCount: 9", 20);
    // The tool information slot is wider than its label's "[12]": all of
    // it shows, and not a byte of the neighbouring field.
    c.TxHandleCount = 1;
    std::memset(c.TxInformation[0], 'i', sizeof c.TxInformation[0]);
    std::memset(c.TxSingleStray[0], 's', sizeof c.TxSingleStray[0]);

    const std::vector<Line> lines = parse(dump(h.get()));
    EXPECT_EQ(lines.size(), cleanLines + 5);  // the five per-tool TX labels
    EXPECT_EQ(valueOf(lines, "PhinfPartNumber[20]: "), "ab?cd???\xc3\xa9: x?TxHand");
    EXPECT_EQ(valueOf(lines, "TxHandleCount: "), "1");
    EXPECT_EQ(valueOf(lines, "TxInformation[0][12]: "),
              std::string(sizeof c.TxInformation[0], 'i'));
    EXPECT_EQ(valueOf(lines, "TxSingleStray[0][24]: "),
              std::string(sizeof c.TxSingleStray[0], 's'));
}

}  // namespace

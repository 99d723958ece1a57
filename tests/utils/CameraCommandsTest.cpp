// NDIUtils against the simulated camera over TCP: the operating-volume query
// and selection, the port-handle request and the upload of tool-definition
// images. A relay records each command line on its way to the device.
#include "CommandRecorder.h"
#include "LogLines.h"

#include <NDIUtils.h>
#include <ndi/protocol.h>
#include <ndi/upload.h>
#include <ndisim/Simulator.h>

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

using Velantor::NDIUtils;

namespace {

std::string hex(const std::vector<unsigned char>& bytes, std::size_t from, std::size_t n)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = from; i < from + n; ++i) {
        const unsigned char b = i < bytes.size() ? bytes[i] : 0;
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

std::vector<unsigned char> readFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    const QByteArray bytes = file.readAll();
    return std::vector<unsigned char>(bytes.begin(), bytes.end());
}

// A tool-definition image of the given size: a recognisable byte pattern
// with "NDI" at the start and, when it reaches there, partNumber at 592.
std::vector<unsigned char> image(std::size_t size, const std::string& partNumber = "")
{
    std::vector<unsigned char> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>(1 + i % 251);
    for (std::size_t i = 0; i < 4 && i < size; ++i) bytes[i] = "NDI"[i];
    if (size > 592) {
        for (std::size_t i = 592; i < size && i < 612; ++i) bytes[i] = 0;
        for (std::size_t i = 0; i < partNumber.size() && 592 + i < size; ++i)
            bytes[592 + i] = partNumber[i];
    }
    return bytes;
}

class CameraCommands : public ::testing::Test {
protected:
    void SetUp() override
    {
        ndisim::Scenario scenario = ndisim::defaultScenario(ndisim::Family::Vega);
        scenario.volumes.clear();
        ndisim::OperatingVolume cube;
        cube.shape = '9';
        const double cubeParameters[6] = {123.45, -1.5, 1500, -2400, 0, 0.01};
        std::copy(cubeParameters, cubeParameters + 6, cube.parameters);
        ndisim::OperatingVolume dome;
        dome.shape = '5';
        const double domeParameters[6] = {-1336, -2400, 1566, 1312, 956, 1450};
        std::copy(domeParameters, domeParameters + 6, dome.parameters);
        scenario.volumes = {cube, dome};
        open(scenario);
    }

    void open(const ndisim::Scenario& scenario, bool initialise = true)
    {
        if (connection) ndiCloseNetwork(connection);
        connection = nullptr;
        recorder.reset();
        simulator = ndisim::Simulator::tcp(scenario, "127.0.0.1", 0);
        recorder = std::make_unique<CommandRecorder>("127.0.0.1", simulator->tcpPort());
        connection = ndiOpenNetwork("127.0.0.1", recorder->port());
        ASSERT_NE(connection, nullptr);
        ndiTimeoutSocket(connection, 5000);
        if (initialise) {
            ndiCommand(connection, "INIT:");
            ASSERT_EQ(ndiGetError(connection), 0);
        }
        recorder->clear();
    }

    void TearDown() override
    {
        if (connection) ndiCloseNetwork(connection);
    }

    std::string writeFile(const std::string& name, const std::vector<unsigned char>& bytes)
    {
        const QString path = dir.filePath(QString::fromStdString(name));
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()));
        return path.toStdString();
    }

    // The 16 PVWR commands that upload `bytes` (cut or zero-padded to 1024) to
    // handle, without their CRC digits; also checks that each has four.
    static std::vector<std::string> expectedUpload(int handle,
                                                   const std::vector<unsigned char>& bytes)
    {
        std::vector<std::string> out;
        char head[16];
        for (int address = 0; address < 1024; address += 64) {
            std::snprintf(head, sizeof head, "PVWR:%02X%04X", handle, address);
            out.push_back(head + hex(bytes, static_cast<std::size_t>(address), 64));
        }
        return out;
    }
    std::vector<std::string> sentWithoutCrc() const
    {
        std::vector<std::string> out;
        for (const auto& command : recorder->commands()) {
            EXPECT_GT(command.size(), 4u);
            out.push_back(command.substr(0, command.size() - 4));
        }
        return out;
    }
    int newHandle()
    {
        const int handle = NDIUtils::requestNewPortHandle(connection);
        EXPECT_EQ(ndiGetError(connection), 0);
        recorder->clear();
        return handle;
    }

    QTemporaryDir dir;
    std::unique_ptr<ndisim::Simulator> simulator;
    std::unique_ptr<CommandRecorder> recorder;
    NdiConnection* connection = nullptr;
};

}  // namespace

TEST_F(CameraCommands, OperatingVolumesAreReadAndTheChosenOneSelected)
{
    for (int index : {0, 1}) {
        SCOPED_TRACE(index);
        NdiUtilsLog log;
        recorder->clear();
        const auto volumes = NDIUtils::queryOperatingVolumes(connection, index);
        ASSERT_EQ(volumes.size(), 2u);
        EXPECT_EQ(volumes[0].name, "Cube 123.45/-1.5/1500/-2400/0/0.01");
        EXPECT_TRUE(volumes[0].isCube);
        EXPECT_EQ(volumes[1].name, "Dome -1336/-2400/1566/1312/956/1450");
        EXPECT_FALSE(volumes[1].isCube);
        EXPECT_EQ(sentWithoutCrc(),
                  (std::vector<std::string>{"SFLIST:03", "VSEL:" + std::to_string(index + 1)}));
        EXPECT_EQ(simulator->selectedVolume(), index + 1);
        EXPECT_TRUE(log.errors().empty());
    }
}

TEST_F(CameraCommands, NoSelectionWithoutTheWholeList)
{
    ndisim::Scenario none = simulator->scenario();
    none.volumes.clear();
    struct Case {
        const char* what;
        std::function<void()> arrange;
        std::vector<std::string> errors;
    };
    const std::vector<Case> cases = {
        {"reply with a bad CRC",
         [&] {
             ndisim::Faults f;
             f.corruptCrcEvery = 1;
             simulator->setFaults(f);
         },
         {"Query of operating volumes failed"}},
        {"error reply (not initialised)",
         [&] {
             const ndisim::Scenario same = simulator->scenario();
             open(same, false);
         },
         {"Query of operating volumes failed"}},
        {"no volumes", [&] { open(none); }, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        c.arrange();
        recorder->clear();
        NdiUtilsLog log;
        EXPECT_TRUE(NDIUtils::queryOperatingVolumes(connection, 0).empty());
        EXPECT_EQ(sentWithoutCrc(), std::vector<std::string>{"SFLIST:03"});
        EXPECT_EQ(simulator->selectedVolume(), 0);
        EXPECT_EQ(log.errors(), c.errors);
    }
}

TEST_F(CameraCommands, PlaceholderUpload)
{
    const int handle = newHandle();
    ASSERT_GT(handle, 0);
    int partNumber = 0;
    EXPECT_EQ(
        NDIUtils::ndiPVWRFromResource(connection, handle, ":/tools/dummy_tool.rom", partNumber), 0);
    EXPECT_EQ(partNumber, 999999999);

    const auto placeholder = readFile(":/tools/dummy_tool.rom");
    ASSERT_EQ(placeholder.size(), 752u);
    const auto sent = sentWithoutCrc();
    EXPECT_EQ(sent, expectedUpload(handle, placeholder));
    ASSERT_EQ(sent.size(), 16u);
    EXPECT_EQ(sent.front().substr(0, 19),
              "PVWR:" + hex({static_cast<unsigned char>(handle)}, 0, 1) + "00004E444900");
    EXPECT_EQ(sent.back().substr(7, 4), "03C0");
    EXPECT_EQ(sent.back().substr(11), std::string(128, '0'));

    // The device took the image whole: it initialises the handle and reports
    // the part number it read from it.
    ndiCommand(connection, "PINIT:%02X", handle);
    ASSERT_EQ(ndiGetError(connection), 0);
    ndiCommand(connection, "PHINF:%02X%04X", handle, 0x0004);
    ASSERT_EQ(ndiGetError(connection), 0);
    char part[21] = {};
    ASSERT_EQ(ndiGetPHINFPartNumber(connection, part), 0);
    EXPECT_EQ(std::string(part).substr(0, 9), "999999999");
}

TEST_F(CameraCommands, ImagesAreCutOrPaddedToOneKilobyte)
{
    struct Case {
        const char* what;
        std::vector<unsigned char> bytes;
    };
    const std::vector<Case> cases = {
        {"short image", image(100)},
        {"image of exactly 1024 bytes", image(1024, "42")},
        {"long image", image(1500, "42")},
        {"empty file", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = writeFile("image.rom", c.bytes);
        for (bool fromFile : {true, false}) {
            SCOPED_TRACE(fromFile ? "ndiPVWRFromFile" : "ndiPVWRFromResource");
            const int handle = newHandle();
            int partNumber = -7;
            const int rc =
                fromFile ? ndiPVWRFromFile(connection, handle, path.c_str())
                         : NDIUtils::ndiPVWRFromResource(connection, handle, path, partNumber);
            EXPECT_EQ(rc, 0);
            EXPECT_EQ(ndiGetError(connection), 0);
            std::vector<unsigned char> expected = c.bytes;
            expected.resize(1024, 0);
            EXPECT_EQ(sentWithoutCrc(), expectedUpload(handle, expected));
            ndiCommand(connection, "PHF:%02X", handle);
        }
    }
}

TEST_F(CameraCommands, PartNumberOnlyFromAPlainDecimalField)
{
    struct Case {
        const char* what;
        std::vector<unsigned char> bytes;
        int expected;  // the variable starts at -7
    };
    std::vector<unsigned char> unterminated = image(1024);
    std::fill(unterminated.begin() + 592, unterminated.end(), '7');  // no NUL up to byte 1023
    const std::vector<Case> cases = {
        {"decimal", image(752, "123456"), 123456},
        {"leading zeros", image(752, "000042"), 42},
        {"largest int", image(752, "2147483647"), 2147483647},
        {"not a number", image(752, "12A4"), -7},
        {"blank inside", image(752, "12 4"), -7},
        {"sign", image(752, "+12"), -7},
        {"empty field", image(752, ""), -7},
        {"image ends before the field", image(500), -7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const int handle = newHandle();
        int partNumber = -7;
        EXPECT_EQ(NDIUtils::ndiPVWRFromResource(connection, handle, writeFile("p.rom", c.bytes),
                                                partNumber),
                  0);
        EXPECT_EQ(partNumber, c.expected);
        EXPECT_EQ(recorder->commands().size(), 16u);
        ndiCommand(connection, "PHF:%02X", handle);
    }

    // A digit string too large for an int is reported as out of range, after
    // the upload; the field is never read past the uploaded 1024 bytes.
    for (const auto& bytes : {image(752, "99999999999"), unterminated}) {
        const int handle = newHandle();
        int partNumber = -7;
        EXPECT_THROW(NDIUtils::ndiPVWRFromResource(connection, handle, writeFile("p.rom", bytes),
                                                   partNumber),
                     std::out_of_range);
        EXPECT_EQ(partNumber, -7);
        EXPECT_EQ(recorder->commands().size(), 16u);
        ndiCommand(connection, "PHF:%02X", handle);
    }
}

TEST_F(CameraCommands, UploadStopsAtTheFirstFailedChunk)
{
    const std::string path = writeFile("image.rom", image(752, "42"));
    for (bool fromFile : {true, false}) {
        SCOPED_TRACE(fromFile ? "ndiPVWRFromFile" : "ndiPVWRFromResource");
        const int handle = newHandle();
        ndisim::Faults faults;
        faults.corruptCrcEvery = 5;  // the reply to the fifth chunk
        simulator->setFaults(faults);
        int partNumber = -7;
        const int rc = fromFile
                           ? ndiPVWRFromFile(connection, handle, path.c_str())
                           : NDIUtils::ndiPVWRFromResource(connection, handle, path, partNumber);
        simulator->setFaults(ndisim::Faults{});
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(ndiGetError(connection), NDI_ERR_CRC);
        EXPECT_EQ(partNumber, -7);
        const auto expected = expectedUpload(handle, image(752, "42"));
        EXPECT_EQ(sentWithoutCrc(),
                  std::vector<std::string>(expected.begin(), expected.begin() + 5));
        ndiCommand(connection, "PHF:%02X", handle);
    }
}

TEST_F(CameraCommands, UnreadableImagesSendNothing)
{
    const int handle = newHandle();
    const std::string missing = dir.filePath("missing.rom").toStdString();
    const std::string directory = dir.path().toStdString();
    ndiCommand(connection, "PHF:%02X", 0xEE);  // leaves an error behind
    ASSERT_NE(ndiGetError(connection), 0);
    recorder->clear();

    struct Case {
        std::string path;
        std::vector<std::string> errors;
    };
    const std::vector<Case> cases = {
        {missing, {}},
        {directory, {}},  // opens, but cannot be read
        {":/tools/missing.rom", {"Failed to open Qt resource ROM file: :/tools/missing.rom"}},
        {":/", {}},  // too short for a resource: a file name, and no such file
        {"", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("path: " + c.path);
        NdiUtilsLog log;
        int partNumber = -7;
        EXPECT_EQ(NDIUtils::ndiPVWRFromResource(connection, handle, c.path, partNumber), -1);
        EXPECT_EQ(partNumber, -7);
        EXPECT_EQ(ndiGetError(connection), 0)
            << "the last error is cleared, nothing new is reported";
        EXPECT_EQ(log.errors(), c.errors);
        if (c.path.empty() || c.path[0] != ':') {
            EXPECT_EQ(ndiPVWRFromFile(connection, handle, c.path.c_str()), -1);
            EXPECT_EQ(ndiGetError(connection), 0);
        }
    }
    EXPECT_TRUE(recorder->commands().empty());
}

TEST_F(CameraCommands, PortHandleRequest)
{
    const int first = NDIUtils::requestNewPortHandle(connection);
    EXPECT_EQ(ndiGetError(connection), 0);
    const int second = NDIUtils::requestNewPortHandle(connection);
    EXPECT_EQ(ndiGetError(connection), 0);
    EXPECT_GT(first, 0);
    EXPECT_NE(first, second);
    EXPECT_EQ(simulator->portHandles(), (std::vector<int>{first, second}));

    // A refused request leaves the last assigned handle; the caller sees the
    // error in the connection.
    ndiCommand(connection, "TSTART:");
    ASSERT_EQ(ndiGetError(connection), 0);
    recorder->clear();
    EXPECT_EQ(NDIUtils::requestNewPortHandle(connection), second);
    EXPECT_NE(ndiGetError(connection), 0);
    EXPECT_EQ(sentWithoutCrc(), std::vector<std::string>{"PHRQ:*********1****"});
}

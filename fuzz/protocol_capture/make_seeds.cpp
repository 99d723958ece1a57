// Writes the seed corpus of the capture fuzzer: well-formed replies of every
// kind, built by the test encoder from the reply layouts.
#include "capture_input.h"
#include "reply_encoder.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

using namespace replies;

namespace {

enum Command : unsigned char { TX, BX, GX, PSTAT, SSTAT, IRCHK, PHINF, PHRQ, PHSR };

TxEntry txEntry(int handle, const std::string& transform)
{
    TxEntry e;
    e.handle = handle;
    e.transform = transform;
    e.portStatus = 0x31;
    e.frame = 0x1234;
    e.information = "3A" + std::string(18, '1');
    e.singleStray = coordText(1, 2, 3);
    return e;
}

BxEntry bxEntry(std::uint8_t handle, std::uint8_t status, int markers)
{
    BxEntry e;
    e.handle = handle;
    e.status = status;
    e.pose = {1, 0, 0, 0, 10, 20, 30, 0.1f};
    e.frame = 77;
    e.strayStatus = 1;
    for (int i = 0; i < markers; ++i) {
        e.markers.push_back({float(i), 1, 2});
    }
    return e;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        std::printf(
            "Usage: %s DIRECTORY\nWrites the capture fuzzer's seed replies into DIRECTORY.\n",
            argv[0]);
        return argc == 2 ? 0 : 2;
    }
    const std::string dir = argv[1];
    int written = 0;
    auto write = [&](const char* name, Command command, unsigned option, unsigned char flags,
                     const std::string& reply) {
        std::ofstream(dir + "/" + name, std::ios::binary)
            << capture_input::seed(command, option, flags, reply);
        ++written;
    };

    TxReply tx;
    tx.entries = {txEntry(0x0A, poseText(Pose{0.5, 0.5, -0.5, 0.5, 123.45, -6, 7, 0.1})),
                  txEntry(0x0B, "MISSING"), txEntry(0x0C, "DISABLED")};
    TxEntry unoccupied;
    unoccupied.handle = 0x0D;
    unoccupied.unoccupied = true;
    tx.entries.push_back(unoccupied);
    tx.passiveStrays = {{1, 2, 3}, {-4, -5, -6}, {7, 8, 9}};
    tx.systemStatus = 0x0102;
    write("tx_0001", TX, 0x0001, 0, encodeTx(0x0001, tx));
    write("tx_1007", TX, 0x1007, 0, encodeTx(0x1007, tx));
    write("tx_default", TX, 0x0000, capture_input::NoOptionWord, encodeTx(0x0001, tx));

    BxReply bx;
    bx.entries = {bxEntry(0x01, 0x01, 3), bxEntry(0x02, 0x02, 0), bxEntry(0x03, 0x04, 0),
                  bxEntry(0x04, 0x01, 20)};
    bx.passiveStrays = {{1, 2, 3}, {4, 5, 6}};
    bx.systemStatus = 0x0042;
    write("bx_0801", BX, 0x0801, 0, encodeBx(0x0801, bx));
    write("bx_100f", BX, 0x100F, 0, encodeBx(0x100F, bx));
    write("bx_0001", BX, 0x0001, 0, encodeBx(0x0001, bx));

    GxReply gx;
    gx.transforms = {poseText(Pose{}), "MISSING", "DISABLED"};
    gx.status = "1F030201";
    gx.information = {"310123456789", "32AAAAAAAAAA", "33BBBBBBBBBB"};
    gx.singleStrays = {coordText(1, 2, 3), "MISSING", coordText(4, 5, 6)};
    gx.frames = {"00000011", "00000022", "00000033"};
    for (int i = 0; i < 9; ++i) {
        gx.passiveTransforms[i] = poseText(Pose{1, 0, 0, 0, 10.0 * i, 0, 0, 0});
        gx.passiveInformation[i] = hex(0x40 + i, 2) + std::string(10, '0');
        gx.passiveFrames[i] = hex(0x100 + i, 8);
    }
    gx.passiveStatus = {"2E0C0B0A", "2E0F0E0D", "2E121110"};
    gx.passiveStrays = "+02" + coordText(7, 8, 9) + coordText(-1, -2, -3);
    write("gx_b00f", GX, 0xB00F, 0, encodeGx(0xB00F, gx));
    write("gx_9001", GX, 0x9001, 0, encodeGx(0x9001, gx));

    const std::string port = std::string("0ROM  TOOL    NAME_56789012345") + "1F" + "00000031" +
                             "8700339             " + "0F" + "41" + "\n";
    std::string pstat;
    for (int i = 0; i < 12; ++i) {
        pstat += i == 1 ? "UNOCCUPIED\n" : port;
    }
    write("pstat_a01f", PSTAT, 0xA01F, 0, pstat);
    write("sstat_0007", SSTAT, 0x0007, 0, "0102FF");
    write("irchk_0003", IRCHK, 0x0003, 0, "1+02+10-20+33+44+01-05+06");

    const std::string phinf = std::string("0ROM  TOOL    NAME_567890123456") + "1F" + "00000031" +
                              "8700339             " + "0F" + "41" + "0A000000000001" + "03";
    write("phinf_007f", PHINF, 0x0A7F, 0, phinf);
    write("phinf_unoccupied", PHINF, 0x0A7F, 0, "UNOCCUPIED");
    write("phinf_default", PHINF, 0x0A00, capture_input::NoOptionWord, phinf);
    write("phrq", PHRQ, 0, 0, "0A");
    write("phsr", PHSR, 0, 0,
          "03"
          "01001"
          "0A31F"
          "FFFFF");

    std::printf("%d seeds written to %s\n", written, dir.c_str());
    return 0;
}

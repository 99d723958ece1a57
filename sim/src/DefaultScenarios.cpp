// The built-in scenario of each family, so that "ndi-sim aurora" works
// without a file.
#include <ndisim/Scenario.h>

namespace ndisim {

namespace {

Trajectory moving(Vec3 center, Vec3 amplitude, Vec3 period, Vec3 axis, double speed)
{
    Trajectory t;
    t.center = center;
    t.amplitude = amplitude;
    t.periodS = period;
    t.phaseRad = {0.0, 0.7, 1.9};
    t.axis = axis;
    t.angleDeg = 20.0;
    t.angularSpeedDegPerS = speed;
    return t;
}

OperatingVolume volume(char shape, std::initializer_list<double> params)
{
    OperatingVolume v;
    v.shape = shape;
    int i = 0;
    for (double p : params) v.parameters[i++] = p;
    return v;
}

std::vector<ToolDescription> passiveTools()
{
    ToolDescription a;
    a.name = "Reference";
    a.partNumber = "8700339";
    a.toolInfo = "01000000NDI         00138291A01";
    a.markers = {{0, 0, 0}, {0, 28.59, 41.02}, {0, 0, 88}, {0, -44.32, 40.45}};
    a.trajectory = moving({-60, 10, -1500}, {20, 15, 10}, {9, 11, 13}, {0, 0, 1}, 3);
    a.rmsError = 0.12;

    ToolDescription b;
    b.name = "Pointer";
    b.partNumber = "8700340";
    b.toolInfo = "02000000NDI         00138292B02";
    b.markers = {{0, 0, 0}, {0, 0, 50}, {0, 25, 100}, {0, -25, 135}};
    b.trajectory = moving({80, -40, -1400}, {60, 40, 30}, {4, 5, 6}, {0.3, 1, 0.2}, 25);
    b.rmsError = 0.21;

    ToolDescription c;
    c.name = "Patient";
    c.partNumber = "8700449";
    c.toolInfo = "01000000NDI         00138293C03";
    c.markers = {{0, 0, 0}, {-18, 47, 0}, {-18, 47 + 60, 0}, {32, 82, 0}};
    c.trajectory = moving({0, 100, -1700}, {5, 5, 5}, {7, 8, 9}, {1, 0, 0}, 1);
    c.rmsError = 0.15;
    c.missing = {{600, 659}};  // out of view for a second now and then
    return {a, b, c};
}

std::vector<StrayMarker> strays(int n)
{
    std::vector<StrayMarker> out;
    for (int i = 0; i < n; ++i) {
        StrayMarker s;
        s.trajectory.center = {-150.0 + 100.0 * i, -120.0, -1600.0 + 50.0 * i};
        s.trajectory.amplitude = {10, 0, 0};
        s.trajectory.periodS = {3.0 + i, 0, 0};
        out.push_back(s);
    }
    return out;
}

}  // namespace

Scenario defaultScenario(Family family)
{
    Scenario s;
    s.family = family;
    switch (family) {
    case Family::Polaris:
        s.frameRate = 60.0;
        s.model = "Polaris Spectra Control Firmware";
        s.serialNumber = "P6-01234";
        s.firmware = "007.000.012";
        s.maxPortHandles = 15;
        s.volumes = {volume('5', {-1336, -2400, 1566, 1312, 956, 1450}),
                     volume('6', {-1532, -2400, 1566, 1312, 956, 1450})};
        s.tools = passiveTools();
        s.strays = strays(2);
        break;
    case Family::Vega:
        s.frameRate = 60.0;
        s.model = "Polaris Vega Control Firmware";
        s.serialNumber = "VG-04321";
        s.firmware = "G.001.005";
        s.maxPortHandles = 24;
        s.volumes = {volume('5', {-950, -3000, 1566, 1312, 1200, 1450})};
        s.tools = passiveTools();
        s.strays = strays(3);
        break;
    case Family::Aurora: {
        s.frameRate = 40.0;
        s.model = "Aurora Control Firmware";
        s.serialNumber = "AU-00777";
        s.firmware = "005.002.011";
        s.getInfo = false;  // an older system: hosts fall back to VER
        s.maxPortHandles = 16;
        s.volumes = {volume('9', {-50, -250, 50, 500, 500, 500})};
        // Four wired tools, one per port, named by their tool information
        // and part number as hosts do it (reference, stylus, wire, probe).
        ToolDescription ref;
        ref.name = "Reference";
        ref.partNumber = "610066";
        ref.toolInfo = "01000000NDI         0013A1F0001";
        ref.port = 1;
        ref.trajectory = moving({0, 0, -250}, {2, 2, 2}, {11, 12, 13}, {0, 0, 1}, 0.5);
        ref.rmsError = 0.05;
        ToolDescription stylus;
        stylus.name = "Stylus";
        stylus.partNumber = "610062-3AAA";
        stylus.toolInfo = "02100000NDI         0023A1F0002";
        stylus.port = 2;
        stylus.trajectory = moving({60, -30, -200}, {40, 30, 25}, {4, 5, 6}, {1, 0.5, 0}, 30);
        stylus.rmsError = 0.31;
        ToolDescription wire;
        wire.name = "Wire";
        wire.partNumber = "610029-36C3";
        wire.toolInfo = "02000000NDI         0013A1F0003";
        wire.port = 3;
        wire.trajectory = moving({-80, 40, -300}, {10, 10, 40}, {6, 7, 3}, {0, 1, 0}, 12);
        wire.rmsError = 0.44;
        ToolDescription probe;
        probe.name = "Probe";
        probe.partNumber = "610065";
        probe.toolInfo = "02000000NDI         0013A1F0004";
        probe.port = 4;
        probe.trajectory = moving({20, 90, -180}, {30, 20, 20}, {5, 4, 8}, {0.2, 0.2, 1}, 45);
        probe.rmsError = 0.27;
        probe.disabled = {{400, 439}};
        s.tools = {ref, stylus, wire, probe};
        break;
    }
    }
    return s;
}

}  // namespace ndisim

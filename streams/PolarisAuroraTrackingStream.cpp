#include "PolarisAuroraTrackingStream.h"

#include "NDIUtils.h"

#include <ndi/protocol.h>

#include <Velantor/Log.h>
#include <Velantor/Properties.h>
#include <Velantor/StreamUtils.h>
#include <Velantor/TrackingInstrumentFiducialsData.h>

#include <Eigen/Core>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <utility>

namespace Velantor {

namespace {

const std::string kCategory = "NDI";

// The part number of the placeholder tool, and what an optical tool is
// called when its ROM gives none.
constexpr int kReservedPartNumber = 999999999;
constexpr const char* kPlaceholderTool = ":/tools/dummy_tool.rom";
// What the tool-information field holds when a tool tells nothing about itself.
constexpr const char* kNoToolInformation = "00000000            00000000000";

constexpr std::int64_t kPassPeriodNs = 5'000'000;
constexpr int kInitTimeoutMs = 5000;
constexpr int kTrackingTimeoutMs = 100;
constexpr int kDetectionTimeLimitMs = 2000;

// Port status bits of a PHSR entry.
constexpr int kPortOccupied = 0x01;
constexpr int kPortInitialized = 0x10;
constexpr int kPortEnabled = 0x20;

template <typename Build>
void logMessage(int level, Build&& build) {
  Log::logIf(level, kCategory, [&] { return std::string(build()); });
}

void logText(int level, const char* text) {
  Log::logIf(level, kCategory, [text] { return std::string(text); });
}

bool isAutoDetect(const std::string& device) {
  return device.empty() || device.find("auto") != std::string::npos;
}

bool isValidCOMPort(const std::string& name) {
  for (int i = 0; i < 20; ++i) {
    const char* device = ndiSerialDeviceName(i);
    if (device != nullptr && name == device) return true;
  }
  return false;
}

// Fixed-width reply fields need not end in a NUL.
std::string fieldText(const char* field, std::size_t width) { return std::string(field, strnlen(field, width)); }

std::string trimmed(const std::string& text) {
  static const char* const blanks = " \t\f\v\r\n";
  const std::size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return std::string();
  const std::size_t last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// A wired tool's kind, from its description and part number.
std::string toolTypeName(const std::string& description, const std::string& partNumber) {
  if (description.size() < 2) return "Unknown";
  if (startsWith(description, "01")) return "Reference";
  if (startsWith(description, "021") && partNumber.find("3AAA") != std::string::npos) return "Stylus";
  if (startsWith(description, "02") && partNumber.find("36C3") != std::string::npos) return "Wire";
  if (startsWith(description, "02")) return "Probe";
  if (startsWith(description, "03")) return "Switch";
  if (startsWith(description, "05")) return "Microscope";
  if (startsWith(description, "07")) return "Calibration Device";
  if (startsWith(description, "08")) return "Strober";
  if (startsWith(description, "0A")) return "C-Arm";
  if (startsWith(description, "0B")) return "Catheter";
  return "Unknown";
}

// The first tool of a kind keeps the bare name; the next ones are numbered.
std::string uniqueName(const std::string& base, std::map<std::string, int>& counters) {
  const int seen = counters[base]++;
  return seen == 0 ? base : base + " " + std::to_string(seen);
}

bool isFinite(const float values[8]) {
  for (int i = 0; i < 8; ++i)
    if (!std::isfinite(values[i])) return false;
  return true;
}

template <NDISystemType Type>
void ndi_error_callback(int code, char* text, void* data) {
  const std::string detail = std::to_string(code) + " " + (text != nullptr ? std::string(text) : std::string());
  if (data != nullptr) {
    const auto* stream = static_cast<const PolarisAuroraTrackingStream<Type>*>(data);
    logMessage(Log::Error, [&] {
      return "NDI Tracking System Error in stream '" + stream->name() + "': " + detail;
    });
  } else {
    logMessage(Log::Error, [&] { return "NDI Error occurred outside of PolarisAuroraTrackingStream: " + detail; });
  }
}

}  // namespace

template <NDISystemType Type>
struct PolarisAuroraTrackingStream<Type>::Impl {
  // Settings: set from any thread, read when the stream opens. The string
  // and the lists of the stream object are guarded by settingsMutex.
  mutable std::mutex settingsMutex;
  std::string hardwareDevice = "auto";
  std::atomic<int> hardwareIPPort{8765};
  std::atomic<bool> binaryQueryMode{true};
  std::atomic<int> maxRange{0};
  std::atomic<int> measurementRate{5};
  const int connectionType = Type == NDIPolarisNetwork ? Network : Serial;

  // Kept apart from the connection so that reading the choices never waits
  // for device I/O.
  mutable std::mutex volumesMutex;
  std::vector<NDIUtils::OperatingVolume> operatingVolumes;

  // Everything below belongs to the connection and is used under
  // connectionMutex.
  mutable std::mutex connectionMutex;
  int dummyToolHandle = -1;
  std::uint64_t lastFrame = 0;
  NdiConnection* connection = nullptr;
  // The query mode of the current connection, fixed when it opened.
  bool binaryConnection = true;
  // Registry changes made during open, announced once the connection is
  // released.
  bool deferAnnouncements = false;
  Flags<InstrumentModification> pendingAnnouncements;
};

template <NDISystemType Type>
PolarisAuroraTrackingStream<Type>::PolarisAuroraTrackingStream(const std::string& name)
    : NDITrackingStream(name),
      m_measurementRates(Type == NDIPolarisNetwork
                             ? std::vector<int>{}
                             : std::vector<int>{9600, 14400, 19200, 38400, 57600, 115200, 921600, 1228739}),
      m_impl(std::make_unique<Impl>()) {
  auto registry = std::make_unique<Registry>();
  m_instruments = registry.get();
  setInstruments(std::move(registry));
}

template <NDISystemType Type>
PolarisAuroraTrackingStream<Type>::~PolarisAuroraTrackingStream() {
  closeAsync().wait();
  // The host could not close it (its runner is gone): never leak the line.
  std::lock_guard<std::mutex> lock(m_impl->connectionMutex);
  if (m_impl->connection != nullptr) {
    if (m_impl->connectionType == Serial)
      ndiCloseSerial(m_impl->connection);
    else
      ndiCloseNetwork(m_impl->connection);
    m_impl->connection = nullptr;
  }
}

// ---------------------------------------------------------------- settings

template <NDISystemType Type>
void PolarisAuroraTrackingStream<Type>::setHardwareDevice(const std::string& device) {
  std::lock_guard<std::mutex> lock(m_impl->settingsMutex);
  m_impl->hardwareDevice = device;
}

template <NDISystemType Type>
std::string PolarisAuroraTrackingStream<Type>::hardwareDevice() const {
  std::lock_guard<std::mutex> lock(m_impl->settingsMutex);
  return m_impl->hardwareDevice;
}

template <NDISystemType Type>
void PolarisAuroraTrackingStream<Type>::setHardwareIPPort(int port) {
  m_impl->hardwareIPPort = port;
}

template <NDISystemType Type>
int PolarisAuroraTrackingStream<Type>::hardwareIPPort() const {
  return m_impl->hardwareIPPort;
}

template <NDISystemType Type>
void PolarisAuroraTrackingStream<Type>::setBinaryQueryMode(bool binary) {
  m_impl->binaryQueryMode = binary;
}

template <NDISystemType Type>
bool PolarisAuroraTrackingStream<Type>::binaryQueryMode() const {
  return m_impl->binaryQueryMode;
}

template <NDISystemType Type>
int PolarisAuroraTrackingStream<Type>::connectionType() const {
  return m_impl->connectionType;
}

template <NDISystemType Type>
std::vector<NDITrackingInstrumentInfo> PolarisAuroraTrackingStream<Type>::trackingTargets() const {
  std::lock_guard<std::mutex> lock(m_impl->settingsMutex);
  return m_trackingTargets;
}

template <NDISystemType Type>
std::optional<std::string> PolarisAuroraTrackingStream<Type>::selectedInstrument() const {
  std::lock_guard<std::mutex> lock(m_impl->settingsMutex);
  return m_selectedInstrument;
}

// ------------------------------------------------ measurement rate, volume

template <NDISystemType Type>
std::vector<std::string> PolarisAuroraTrackingStream<Type>::measurementRateOptions() const {
  std::vector<std::string> options;
  for (std::size_t i = 0; i < m_measurementRates.size() && i < 6; ++i)
    options.push_back(std::to_string(m_measurementRates[i]));
  return options;
}

template <NDISystemType Type>
int PolarisAuroraTrackingStream<Type>::measurementRate() const {
  return m_impl->measurementRate;
}

template <NDISystemType Type>
void PolarisAuroraTrackingStream<Type>::setMeasurementRate(int index) {
  if (index < 0 || static_cast<std::size_t>(index) >= m_measurementRates.size()) return;
  if (isStateOneOf({Closed, Opening, Closing})) {
    m_impl->measurementRate = index;
    return;
  }
  logText(Log::Error, "Measurement rate cannot be set when connection is established. Close connection first.");
}

template <NDISystemType Type>
std::vector<std::string> PolarisAuroraTrackingStream<Type>::maxRangeOptions() const {
  std::lock_guard<std::mutex> lock(m_impl->volumesMutex);
  std::vector<std::string> names;
  names.reserve(m_impl->operatingVolumes.size());
  for (const NDIUtils::OperatingVolume& volume : m_impl->operatingVolumes) names.push_back(volume.name);
  return names;
}

template <NDISystemType Type>
int PolarisAuroraTrackingStream<Type>::maxRange() const {
  return m_impl->maxRange;
}

template <NDISystemType Type>
void PolarisAuroraTrackingStream<Type>::setMaxRange(int index) {
  if (index < 0) return;
  if (isStateOneOf({Closed, Opening, Closing})) {
    m_impl->maxRange = index;
    return;
  }
  logText(Log::Error, "Max Range cannot be set when connection is established. Close connection first.");
}

template <NDISystemType Type>
void PolarisAuroraTrackingStream<Type>::queryOperatingVolumes() {
  std::vector<NDIUtils::OperatingVolume> volumes =
      NDIUtils::queryOperatingVolumes(m_impl->connection, m_impl->maxRange);
  std::lock_guard<std::mutex> lock(m_impl->volumesMutex);
  m_impl->operatingVolumes = std::move(volumes);
}

// ----------------------------------------------------------- configuration

template <NDISystemType Type>
void PolarisAuroraTrackingStream<Type>::configure(const Properties* p) {
  NDITrackingStream::configure(p);
  if (p == nullptr) return;

  int rate = 0;
  if (p->param("measurementRate", rate) && rate != measurementRate()) setMeasurementRate(rate);

  std::string device;
  if (p->param("hardwareDevice", device)) setHardwareDevice(device);
  int port = 0;
  if (p->param("hardwarePort", port)) setHardwareIPPort(port);
  bool binary = true;
  if (p->param("binaryQueryMode", binary)) setBinaryQueryMode(binary);

  const Properties* targets = p->subProperties("TrackingTargets");
  if (targets != nullptr && isStateOneOf({Closed, Closing})) {
    std::vector<NDITrackingInstrumentInfo> list;
    for (const Properties* child : targets->subProperties()) {
      NDITrackingInstrumentInfo info;
      info.name = child->name();
      std::int32_t targetPort = 0;
      child->param("Port", targetPort);
      info.port = targetPort;
      info.portHandle = -1;
      if (!child->param("Path", info.romPath)) continue;
      list.push_back(std::move(info));
    }
    std::lock_guard<std::mutex> lock(m_impl->settingsMutex);
    m_trackingTargets = std::move(list);
  }

  std::string selected;
  if (p->param("selectedInstrument", selected)) {
    {
      std::lock_guard<std::mutex> lock(m_impl->settingsMutex);
      m_selectedInstrument = selected;
    }
    // An empty id selects nothing; asking the registry for it only logs.
    if (!selected.empty() && m_instruments->size() > 0) {
      const Flags<InstrumentModification> flags = m_instruments->setMainById(selected);
      if (flags.testFlag(InstrumentModification::MainInstrument)) {
        std::lock_guard<std::mutex> lock(m_impl->settingsMutex);
        m_selectedInstrument.reset();
      }
      emitSignals(flags);
    }
  }
}

template <NDISystemType Type>
void PolarisAuroraTrackingStream<Type>::configuration(Properties* p) const {
  NDITrackingStream::configuration(p);
  if (p == nullptr) return;

  using Attribute = Properties::Attribute;
  auto* self = const_cast<PolarisAuroraTrackingStream*>(this);

  const std::string device = hardwareDevice();
  p->setParam("hardwareDevice", device);
  const bool serial = m_impl->connectionType == Serial;
  const char* label = serial ? "COM port" : "IP address";
  const std::vector<Attribute> autoAttributes = {
      Attribute("label", label),
      Attribute("tooltip", serial ? "Auto-detect COM port upon open" : "Auto-detect IP address upon open")};
  const bool usable = serial ? isValidCOMPort(device) : NDIUtils::isValidIp(device);
  if (isAutoDetect(device)) {
    p->setParamAttributes("hardwareDevice", autoAttributes);
  } else if (usable) {
    p->setParamAttributes("hardwareDevice", {Attribute("label", label)});
  } else {
    // A device that cannot be used falls back to auto-detection.
    self->setHardwareDevice(std::string());
    p->setParam("hardwareDevice", std::string());
    p->setParamAttributes("hardwareDevice", autoAttributes);
  }

  if (serial) {
    p->setParam("measurementRate", measurementRate());
    p->setParamType("measurementRate", PropertiesDetail::EnumIndex);
    p->setParamAttributes("measurementRate", {Attribute("values", joinOptions(measurementRateOptions()))});
  } else {
    p->setParam("hardwarePort", hardwareIPPort());
  }

  p->setParam("binaryQueryMode", binaryQueryMode());

  p->removeSubProperties("TrackingTargets");
  Properties& targets = p->addSubProperties("TrackingTargets");
  targets.setAttributes({Attribute("hidden", "true")});
  std::string selected = m_instruments->mainId();
  {
    std::lock_guard<std::mutex> lock(m_impl->settingsMutex);
    for (const NDITrackingInstrumentInfo& target : m_trackingTargets) {
      Properties& child = targets.addSubProperties(target.name);
      child.setParam("Path", target.romPath);
      child.setParam("Port", target.port);
    }
    // A selection still waiting for its instrument is kept in the workspace.
    if (selected.empty() && m_selectedInstrument) selected = *m_selectedInstrument;
  }
  p->setParam("selectedInstrument", selected);
  p->setParamAttributes("selectedInstrument", {Attribute("hidden", "true")});
}

// ---------------------------------------------------------- open and close

template <NDISystemType Type>
bool PolarisAuroraTrackingStream<Type>::probeHardwareDevices() {
  for (int i = 0; i < 20; ++i) {
    const char* device = ndiSerialDeviceName(i);
    if (device == nullptr) continue;
    if (ndiSerialProbe(device) == NDI_OKAY) {
      setHardwareDevice(device);
      return true;
    }
  }
  return false;
}

template <NDISystemType Type>
bool PolarisAuroraTrackingStream<Type>::openImpl() {
  std::unique_lock<std::mutex> lock(m_impl->connectionMutex);
  m_impl->deferAnnouncements = true;
  m_impl->pendingAnnouncements = {};

  bool opened = false;
  try {
    opened = m_impl->connectionType == Serial ? openSerialLocked() : openNetworkLocked();
  } catch (const std::exception& e) {
    const std::string text = e.what();
    logMessage(Log::Error, [&] { return "Error during initalization of the NDI tracking system: " + text; });
  } catch (...) {
    logText(Log::Error, "Error during initalization of the NDI tracking system.");
  }

  const Flags<InstrumentModification> flags = m_impl->pendingAnnouncements;
  m_impl->deferAnnouncements = false;
  m_impl->pendingAnnouncements = {};
  lock.unlock();
  emitSignals(flags);
  return opened;
}

template <NDISystemType Type>
bool PolarisAuroraTrackingStream<Type>::openSerialLocked() {
  std::string device = hardwareDevice();
  if (!isAutoDetect(device)) {
    if (ndiSerialProbe(device.c_str()) != NDI_OKAY) {
      logText(Log::Error, "Failed to probe device!");
      return false;
    }
  } else {
    logText(Log::Debug, "Searching for tracking devices...");
    if (!probeHardwareDevices()) {
      logText(Log::Error, "No NDI tracking system found!");
      return false;
    }
    device = hardwareDevice();
  }

  logMessage(Log::Info, [&] { return "Connecting to " + device + " as serial device..."; });
  closeConnectionLocked();
  m_impl->connection = ndiOpenSerial(device.c_str());
  if (m_impl->connection == nullptr) {
    logText(Log::Error, "Connection could not be established!");
    return false;
  }
  if (!initializeConnectionLocked(device)) return false;

  const int rate = m_impl->measurementRate;
  logMessage(Log::Debug, [&] { return "Setting measurement rate to " + std::to_string(rate) + "..."; });
  ndiCommand(m_impl->connection, "COMM:%d%03d%d", rate, 0, 1);
  // A system left at a speed the host did not follow answers nothing more:
  // an open that went on would only look successful.
  if (ndiGetError(m_impl->connection) != NDI_OKAY) {
    logText(Log::Error, "Measurement rate could not be set!");
    // The system may have switched all the same: a break brings it back to
    // 9600 baud, where the host is and the next open expects it.
    ndiCommand(m_impl->connection, nullptr);
    return false;
  }
  if (!sendInitLocked()) return false;

  queryOperatingVolumes();
  if (Type == NDIAurora)
    queryTools();
  else
    initializeOpticalTools();
  logText(Log::Debug, "Full initialization complete!");

  if (m_instruments->size() == 0) {
    if (Type == NDIAurora) {
      logText(Log::Error, "No tracking instruments available!");
      return false;
    }
    logText(Log::Warning, "No tracking instruments initialized!");
  }
  return true;
}

template <NDISystemType Type>
bool PolarisAuroraTrackingStream<Type>::openNetworkLocked() {
  std::string device = hardwareDevice();
  if (isAutoDetect(device)) {
    logText(Log::Debug, "Searching for tracking devices...");
    const std::string address = NDIUtils::detectCameraIpAddress(kDetectionTimeLimitMs);
    if (address.empty() || !NDIUtils::isValidIp(address)) {
      logText(Log::Error, "No NDI tracking system found!");
      return false;
    }
    setHardwareDevice(address);
    device = address;
  } else if (!NDIUtils::isValidIp(device)) {
    logText(Log::Error,
            "Invalid IP address provided. TCP/IP connection is only supported for valid IPv4 addresses.");
    return false;
  }

  const int port = m_impl->hardwareIPPort;
  logMessage(Log::Info, [&] { return "Connecting to " + device + ":" + std::to_string(port) + " via IP..."; });
  closeConnectionLocked();
  m_impl->connection = ndiOpenNetwork(device.c_str(), port);
  if (m_impl->connection == nullptr) {
    logText(Log::Error, "Connection could not be established!");
    return false;
  }
  if (!initializeConnectionLocked(device)) return false;

  ndiTimeoutSocket(m_impl->connection, kInitTimeoutMs);
  if (!sendInitLocked()) return false;
  ndiTimeoutSocket(m_impl->connection, kTrackingTimeoutMs);

  queryOperatingVolumes();
  initializeOpticalTools();
  logText(Log::Debug, "Full initialization complete!");
  if (m_instruments->size() == 0) logText(Log::Warning, "No tracking instruments initialized!");
  return true;
}

template <NDISystemType Type>
bool PolarisAuroraTrackingStream<Type>::initializeConnectionLocked(const std::string& device) {
  const bool binary = m_impl->binaryQueryMode;
  m_impl->binaryConnection = binary;
  // A new connection counts its frames afresh: a number equal to the last one
  // of the previous connection is still a new frame.
  m_impl->lastFrame = 0;
  m_impl->dummyToolHandle = -1;
  logMessage(Log::Info, [&] {
    return "Connection established at " + device + ". Using " + (binary ? "binary" : "text") + " mode.";
  });
  ndiSetErrorCallback(m_impl->connection, &ndi_error_callback<Type>, this);
  return true;
}

template <NDISystemType Type>
bool PolarisAuroraTrackingStream<Type>::sendInitLocked() {
  logText(Log::Debug, "Initializing device...");
  ndiCommand(m_impl->connection, "INIT:");
  if (ndiGetError(m_impl->connection) != NDI_OKAY) {
    logText(Log::Error, "Device could not be initialized!");
    return false;
  }
  logText(Log::Debug, "Device initialized.");
  return true;
}

template <NDISystemType Type>
void PolarisAuroraTrackingStream<Type>::closeConnectionLocked() {
  NdiConnection* connection = m_impl->connection;
  if (connection == nullptr) return;
  if (m_impl->connectionType == Serial) {
    // Leave the system at the speed it starts at, for whoever opens it next.
    ndiCommand(connection, "COMM:%d%03d%d", 0, 0, 0);
    ndiCloseSerial(connection);
  } else {
    ndiCloseNetwork(connection);
  }
  m_impl->connection = nullptr;
  m_impl->dummyToolHandle = -1;
}

template <NDISystemType Type>
bool PolarisAuroraTrackingStream<Type>::closeImpl() {
  {
    std::lock_guard<std::mutex> lock(m_impl->connectionMutex);
    closeConnectionLocked();
  }
  emitSignals(m_instruments->clear());
  return true;
}

// ------------------------------------------------------------------- tools

template <NDISystemType Type>
void PolarisAuroraTrackingStream<Type>::registerTool(const NDITrackingInstrumentInfo& info) {
  {
    std::lock_guard<std::mutex> lock(m_impl->settingsMutex);
    m_trackingTargets.push_back(info);
  }
  logMessage(Log::Info, [&] {
    return "Instrument " + info.name +
           " registered to instrument list. Instrument will be loaded when opening stream.";
  });
}

template <NDISystemType Type>
void PolarisAuroraTrackingStream<Type>::storeTargetHandle(std::size_t index, int portHandle) {
  // Tools may only have been appended meanwhile, so the index still names
  // the same target.
  std::lock_guard<std::mutex> lock(m_impl->settingsMutex);
  if (index < m_trackingTargets.size()) m_trackingTargets[index].portHandle = portHandle;
}

template <NDISystemType Type>
void PolarisAuroraTrackingStream<Type>::announce(Flags<InstrumentModification> flags) {
  if (m_impl->deferAnnouncements)
    m_impl->pendingAnnouncements |= flags;
  else
    emitSignals(flags);
}

template <NDISystemType Type>
std::optional<std::string> PolarisAuroraTrackingStream<Type>::takeSelectedInstrument() {
  std::lock_guard<std::mutex> lock(m_impl->settingsMutex);
  std::optional<std::string> selected = std::move(m_selectedInstrument);
  m_selectedInstrument.reset();
  return selected;
}

template <NDISystemType Type>
void PolarisAuroraTrackingStream<Type>::initializeOpticalTools() {
  NdiConnection* connection = m_impl->connection;
  Flags<InstrumentModification> flags = m_instruments->clear();
  if (connection == nullptr) {
    announce(flags);
    return;
  }

  // Handles a previous session left behind.
  ndiCommand(connection, "PHSR:%02X", 1);
  const int stale = ndiGetError(connection) == NDI_OKAY ? ndiGetPHSRNumberOfHandles(connection) : 0;
  std::vector<int> staleHandles;
  for (int i = 0; i < stale; ++i) staleHandles.push_back(ndiGetPHSRHandle(connection, i));
  for (int handle : staleHandles) ndiCommand(connection, "PHF:%02X", handle);

  const std::vector<NDITrackingInstrumentInfo> targets = trackingTargets();
  for (std::size_t k = 0; k < targets.size(); ++k) {
    NDITrackingInstrumentInfo entry = targets[k];
    const int handle = NDIUtils::requestNewPortHandle(connection);
    // Without a fresh handle the ROM would overwrite the previous tool's.
    if (ndiGetError(connection) != NDI_OKAY) {
      storeTargetHandle(k, -1);
      logMessage(Log::Error, [&] {
        return "ROM file for " + entry.name + " could not be uploaded from " + entry.romPath;
      });
      continue;
    }
    entry.portHandle = handle;
    storeTargetHandle(k, handle);

    int partNumber = kReservedPartNumber;
    if (NDIUtils::ndiPVWRFromResource(connection, handle, entry.romPath, partNumber) != 0) {
      logMessage(Log::Error, [&] {
        return "ROM file for " + entry.name + " could not be uploaded from " + entry.romPath;
      });
      continue;
    }
    if (partNumber == kReservedPartNumber) {
      logMessage(Log::Warning, [&] {
        return "The part number " + std::to_string(kReservedPartNumber) +
               " is reserved for internal purposes. Consider using another part number.";
      });
    }

    flags |= m_instruments->create(TrackerID("ndi-polaris-" + std::to_string(partNumber), std::string(), entry.name),
                                   std::make_unique<NDITrackingInstrumentInfo>(entry));
    ndiCommand(connection, "PINIT:%02X", handle);
    ndiCommand(connection, "PENA:%02X%c", handle, 'D');
  }

  const std::optional<std::string> selected = takeSelectedInstrument();
  if (m_instruments->size() > 0 && selected && !selected->empty()) flags |= m_instruments->setMainById(*selected);

  if (m_instruments->size() == 0) {
    // No tool of our own: a placeholder still makes the system report the
    // stray markers.
    bool loaded = false;
    const int handle = NDIUtils::requestNewPortHandle(connection);
    if (ndiGetError(connection) == NDI_OKAY) {
      m_impl->dummyToolHandle = handle;
      int partNumber = 0;
      if (NDIUtils::ndiPVWRFromResource(connection, handle, kPlaceholderTool, partNumber) == 0 &&
          partNumber == kReservedPartNumber) {
        ndiCommand(connection, "PINIT:%02X", handle);
        ndiCommand(connection, "PENA:%02X%c", handle, 'D');
        loaded = true;
      }
    }
    if (!loaded) logText(Log::Error, "Querying raw fiducials not possible");
  }

  announce(flags);
}

template <NDISystemType Type>
void PolarisAuroraTrackingStream<Type>::queryTools() {
  NdiConnection* connection = m_impl->connection;
  logText(Log::Debug, "Querying connected NDI tools...");
  Flags<InstrumentModification> flags = m_instruments->clear();
  if (connection == nullptr) {
    announce(flags);
    return;
  }
  std::map<std::string, int> counters;

  ndiCommand(connection, "PHSR:%02X", 0);
  const int n = ndiGetError(connection) == NDI_OKAY ? ndiGetPHSRNumberOfHandles(connection) : 0;
  logMessage(Log::Debug, [&] { return "Found " + std::to_string(n) + " ports."; });

  // Handle list first: every later command replaces the captured PHSR reply.
  std::vector<std::pair<int, int>> ports;  // (status, handle) by position
  for (int i = 0; i < n; ++i)
    ports.emplace_back(ndiGetPHSRInformation(connection, i), ndiGetPHSRHandle(connection, i));

  const std::vector<NDITrackingInstrumentInfo> targets = trackingTargets();
  for (int i = 0; i < n; ++i) {
    const int status = ports[static_cast<std::size_t>(i)].first;
    if ((status & kPortOccupied) == 0) continue;
    logMessage(Log::Debug, [&] { return "Tool in port " + std::to_string(i) + "!"; });
    const int handle = ports[static_cast<std::size_t>(i)].second;

    // A failed reply leaves the previous tool's answer captured: never read
    // it as this tool's.
    ndiCommand(connection, "PHINF:%02X%04X", handle, 0x0020);
    char location[14] = {};
    int physicalPort = 0;
    const bool located =
        ndiGetError(connection) == NDI_OKAY && ndiGetPHINFPortLocation(connection, location) == 0;
    if (located) {
      const std::string portText = std::string(location + 10, 2);
      physicalPort = NDIUtils::isNumber(portText) ? std::stoi(portText) : 0;
      logMessage(Log::Debug, [&] { return "Physical port is " + std::to_string(physicalPort) + "!"; });
    }

    NDITrackingInstrumentInfo record;
    bool matched = false;
    if (located) {
      for (std::size_t k = 0; k < targets.size(); ++k) {
        if (targets[k].port != physicalPort) continue;
        record = targets[k];
        record.portHandle = handle;
        storeTargetHandle(k, handle);
        int partNumber = 0;
        if (NDIUtils::ndiPVWRFromResource(connection, handle, record.romPath, partNumber) == 0) {
          logMessage(Log::Info, [&] { return "ROM file for " + record.name + " uploaded from " + record.romPath; });
        } else {
          logMessage(Log::Error, [&] {
            return "ROM file for " + record.name + " could not be uploaded from " + record.romPath;
          });
        }
        matched = true;
        break;
      }
    }
    if (!matched) {
      record = NDITrackingInstrumentInfo();
      record.port = physicalPort;
      record.portHandle = handle;
    }

    logMessage(Log::Debug, [&] { return "Trying to initialized tool in port " + std::to_string(i) + "..."; });
    if ((status & kPortInitialized) == 0) ndiCommand(connection, "PINIT:%02X", handle);
    logMessage(Log::Debug, [&] { return "Enabling tool in port " + std::to_string(i) + "..."; });
    if ((status & kPortEnabled) == 0) ndiCommand(connection, "PENA:%02X%c", handle, 'D');

    logMessage(Log::Debug, [&] { return "Obtaining tool meta data, port " + std::to_string(i) + "..."; });
    ndiCommand(connection, "PHINF:%02X%04X", handle, 0x0025);
    const bool informed = ndiGetError(connection) == NDI_OKAY;
    std::string partNumber;
    char part[20] = {};
    if (informed && ndiGetPHINFPartNumber(connection, part) == 0) partNumber = trimmed(fieldText(part, sizeof part));

    if (record.name.empty()) {
      std::string description;
      char info[31] = {};
      if (informed && ndiGetPHINFToolInfo(connection, info) == 0) description = fieldText(info, sizeof info);
      char where[14] = {};
      if (description == kNoToolInformation && informed && ndiGetPHINFPortLocation(connection, where) == 0)
        description = fieldText(where, 8);
      record.name = uniqueName(toolTypeName(description, partNumber), counters);
    }

    flags |= m_instruments->create(
        TrackerID("ndi-aurora-" + std::to_string(physicalPort) + "-" + partNumber, partNumber, record.name),
        std::make_unique<NDITrackingInstrumentInfo>(record));
  }

  const std::optional<std::string> selected = takeSelectedInstrument();
  if (selected && !selected->empty()) flags |= m_instruments->setMainById(*selected);
  announce(flags);
}

// ------------------------------------------------------------ tracking loop

template <NDISystemType Type>
bool PolarisAuroraTrackingStream<Type>::startImpl() {
  std::lock_guard<std::mutex> lock(m_impl->connectionMutex);
  // The reply decides nothing: a lost reply may hide a system that did start,
  // and one that did not shows in every pass through the error callback.
  if (m_impl->connection != nullptr) ndiCommand(m_impl->connection, "TSTART:");
  return true;
}

template <NDISystemType Type>
bool PolarisAuroraTrackingStream<Type>::stopImpl() {
  std::lock_guard<std::mutex> lock(m_impl->connectionMutex);
  if (m_impl->connection != nullptr) ndiCommand(m_impl->connection, "TSTOP:");
  return true;
}

template <NDISystemType Type>
bool PolarisAuroraTrackingStream<Type>::newFrameAvailable(bool binary) {
  NdiConnection* connection = m_impl->connection;
  if (m_instruments->size() == 0) return true;

  std::uint64_t frame = m_impl->lastFrame;
  m_instruments->modify(m_instruments->mainId(),
                        typename Registry::SpecialFunction([&](const std::string&, NDITrackingInstrumentInfo& info) {
                          frame = binary ? ndiGetBXFrame(connection, info.portHandle)
                                         : ndiGetTXFrame(connection, info.portHandle);
                        }));
  if (frame == m_impl->lastFrame) return false;
  m_impl->lastFrame = frame;
  return true;
}

template <NDISystemType Type>
Stream::WorkResult PolarisAuroraTrackingStream<Type>::doWork() {
  const std::int64_t next = StreamUtils::systemTimeNs() + kPassPeriodNs;
  try {
    auto fiducials = std::make_unique<TrackingInstrumentFiducialsData>();
    {
      std::lock_guard<std::mutex> lock(m_impl->connectionMutex);
      NdiConnection* connection = m_impl->connection;
      if (connection == nullptr) return WorkResult(next, true, true);

      const bool binary = m_impl->binaryConnection;
      if (binary)
        ndiCommand(connection, "BX:%04X", Type == NDIAurora ? 0x0801 : 0x180F);
      else
        ndiCommand(connection, "TX:%04X", 0x1005);
      // A reply that failed its checks leaves the previous one captured:
      // nothing of it may go out as a new frame.
      if (ndiGetError(connection) != NDI_OKAY) return WorkResult(next, true, true);
      if (!newFrameAvailable(binary)) return WorkResult(next, true, true);

      const std::uint64_t strayKey = std::hash<std::string>{}(std::string());
      const int strays =
          std::max(0, binary ? ndiGetBXNumberOfPassiveStrays(connection) : ndiGetTXNumberOfPassiveStrays(connection));
      fiducials->positions.resize(static_cast<std::size_t>(strays));
      fiducials->keys.assign(static_cast<std::size_t>(strays), strayKey);
      for (int i = 0; i < strays; ++i) {
        Eigen::Vector3d& position = fiducials->positions[static_cast<std::size_t>(i)];
        if (binary) {
          float coord[3] = {0.0f, 0.0f, 0.0f};
          ndiGetBXPassiveStray(connection, i, coord);
          position = Eigen::Vector3d(coord[0], coord[1], coord[2]);
        } else {
          double coord[3] = {0.0, 0.0, 0.0};
          ndiGetTXPassiveStray(connection, i, coord);
          position = Eigen::Vector3d(coord[0], coord[1], coord[2]);
        }
      }

      const std::uint64_t timestamp = StreamUtils::systemTimeMs();
      m_instruments->modifyAll(typename Registry::InstrumentSpecialFunction(
          [&](const std::string&, TrackingInstrument& instrument, NDITrackingInstrumentInfo& info) {
            if (!instrument.active) return;
            const int handle = info.portHandle;
            float transform[8] = {};
            int result = binary ? ndiGetBXTransform(connection, handle, transform)
                                : ndiGetTXTransformf(connection, handle, transform);
            // A pose that is not a number is no pose: report the tool missing.
            if (result == 0 && !isFinite(transform)) result = 2;
            if (result == 0) {
              double matrix[16];
              ndiTransformToMatrixfd(transform, matrix);
              instrument.matrix = Eigen::Map<const Eigen::Matrix4d>(matrix);
              instrument.active = true;
              instrument.quality = 1.0 - static_cast<double>(transform[7]) / 10.0;
            } else {
              instrument.matrix = Eigen::Matrix4d::Identity();
              instrument.quality = 0.0;
              instrument.active = result == 2;
            }
            instrument.timestamp = timestamp;

            if (!binary) return;
            const std::uint64_t key = std::hash<std::string>{}(instrument.id.ID());
            const int markers = ndiGetBXMarkerStrayCount(connection, handle);
            for (int j = 0; j < markers; ++j) {
              float coord[3] = {0.0f, 0.0f, 0.0f};
              if (ndiGetBXMarkerStray(connection, handle, j, coord) != 0) continue;
              fiducials->positions.emplace_back(coord[0], coord[1], coord[2]);
              fiducials->keys.push_back(key);
            }
          }));
    }

    std::unique_ptr<TrackingStreamData> frame = createTrackingStreamData();
    frame->components().add(std::move(fiducials));
    dataSignal.emitSignal(std::shared_ptr<const StreamData>(std::move(frame)));
  } catch (const std::exception& e) {
    const std::string text = e.what();
    logMessage(Log::Error, [&] { return "Error while receiving tracking data. " + text; });
  } catch (...) {
    logText(Log::Error, "Error while receiving tracking data.");
  }
  return WorkResult(next, true, true);
}

template class PolarisAuroraTrackingStream<NDIPolarisSerial>;
template class PolarisAuroraTrackingStream<NDIPolarisNetwork>;
template class PolarisAuroraTrackingStream<NDIAurora>;

}  // namespace Velantor

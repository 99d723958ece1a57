#include <Velantor/Log.h>
#include <Velantor/PluginLoader.h>
#include <Velantor/String.h>

#include <dlfcn.h>

#include <cstring>
#include <exception>

namespace Velantor {

namespace {

constexpr const char* kCategory = "PluginLoader";
// A magic string is a short line of text; anything longer is not one.
constexpr std::size_t kMaxDescriptorLength = 4096;

bool parseVersion(const std::string& text, int (&parts)[3])
{
    const auto pieces = String::split(text, '.');
    if (pieces.size() != 3) return false;
    for (int i = 0; i < 3; ++i) {
        const std::string& p = pieces[static_cast<std::size_t>(i)];
        if (p.empty() || p.size() > 6 || p.find_first_not_of("0123456789") != std::string::npos)
            return false;
        parts[i] = std::stoi(p);
    }
    return true;
}

std::unique_ptr<LoadedPlugin> fail(const std::string& path, const std::string& reason,
                                   std::string* error)
{
    Log::logIf(Log::Error, kCategory, [&] { return "Cannot load plugin " + path + ": " + reason; });
    if (error) *error = reason;
    return nullptr;
}

}  // namespace

bool PluginLoader::parseDescriptor(const std::string& text, PluginDescriptor& descriptor,
                                   std::string* error)
{
    auto refuse = [&](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    const auto fields = String::split(text, '|');
    if (fields.empty() || fields[0] != kMagicMarker) return refuse("no plugin magic string");
    PluginDescriptor d;
    d.marker = fields[0];
    bool haveHostVersion = false;
    for (std::size_t i = 1; i < fields.size(); ++i) {
        const auto eq = fields[i].find('=');
        if (eq == std::string::npos)
            return refuse("malformed field '" + fields[i] + "' in the plugin magic string");
        const std::string key = fields[i].substr(0, eq);
        const std::string value = fields[i].substr(eq + 1);
        if (key == "hostversion") {
            d.hostVersion = value;
            haveHostVersion = true;
        } else if (key == "buildflags") {
            d.buildFlags = value;
        } else if (key == "pluginversion") {
            d.pluginVersion = value;
        }
    }
    if (!haveHostVersion) return refuse("the plugin magic string has no hostversion");
    int wanted[3] = {0, 0, 0};
    int ours[3] = {0, 0, 0};
    if (!parseVersion(d.hostVersion, wanted))
        return refuse("unreadable hostversion '" + d.hostVersion + "'");
    parseVersion(kHostVersion, ours);
    if (wanted[0] != ours[0] || wanted[1] > ours[1])
        return refuse("built for host " + d.hostVersion + ", this host is " + kHostVersion);
    descriptor = d;
    return true;
}

LoadedPlugin::~LoadedPlugin()
{
    m_plugin.reset();
    // The library was made resident when it was accepted; this only drops our
    // reference.
    if (m_handle) dlclose(m_handle);
}

std::unique_ptr<LoadedPlugin> PluginLoader::load(const std::string& path, std::string* error)
{
    dlerror();
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = dlerror();
        return fail(path, why ? why : "cannot open the library", error);
    }
    auto refuse = [&](const std::string& reason) {
        dlclose(handle);
        return fail(path, reason, error);
    };

    auto* descriptorSymbol =
        static_cast<const char* const*>(dlsym(handle, "velantorPluginDescriptor"));
    if (!descriptorSymbol || !*descriptorSymbol)
        return refuse("no plugin magic string (velantorPluginDescriptor)");
    const char* text = *descriptorSymbol;
    const std::size_t length = strnlen(text, kMaxDescriptorLength);
    if (length == kMaxDescriptorLength)
        return refuse("no plugin magic string (velantorPluginDescriptor)");
    PluginDescriptor descriptor;
    std::string why;
    if (!parseDescriptor(std::string(text, length), descriptor, &why)) return refuse(why);

    using CreateFunction = VelantorLibPlugin* (*)();
    using IdFunction = const char* (*)();
    auto create = reinterpret_cast<CreateFunction>(dlsym(handle, "velantorCreatePlugin"));
    if (!create) return refuse("no velantorCreatePlugin");
    auto idFunction = reinterpret_cast<IdFunction>(dlsym(handle, "velantorPluginId"));

    // Accepted: keep the code mapped for good (see the header).
    if (void* resident = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD | RTLD_NODELETE))
        dlclose(resident);

    std::unique_ptr<VelantorLibPlugin> plugin;
    try {
        plugin.reset(create());
    } catch (const std::exception& e) {
        return refuse(std::string("velantorCreatePlugin failed: ") + e.what());
    } catch (...) {
        return refuse("velantorCreatePlugin failed");
    }
    if (!plugin) return refuse("velantorCreatePlugin returned no plugin");

    std::unique_ptr<LoadedPlugin> loaded(new LoadedPlugin);
    loaded->m_handle = handle;
    loaded->m_path = path;
    loaded->m_descriptor = descriptor;
    if (idFunction) {
        if (const char* id = idFunction())
            loaded->m_id = std::string(id, strnlen(id, kMaxDescriptorLength));
    }
    loaded->m_plugin = std::move(plugin);
    return loaded;
}

}  // namespace Velantor

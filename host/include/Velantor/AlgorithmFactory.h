#pragma once
// AlgorithmFactory: a named set of algorithm descriptors the host offers in
// its menus. registerAlgorithm<A>(id, name, attributes, defaults):
//   - the full id is "<factory name>.<id>";
//   - an id registered before is not registered again: the factory logs
//     (warning, category "AlgorithmFactory") "Algorithm already registered: "
//     and the full id, keeps the first registration and returns false;
//   - the algorithm is offered only for an empty input list (its
//     compatibility check is true exactly for an empty list, and creating it
//     for a non-empty list gives null);
//   - creating it constructs A, gives it its full id and name, calls
//     configureFromGlobalSettings() and then configure() with the defaults
//     when the registration had some. A std::exception thrown by A's
//     constructor is logged (error, empty category) as
//     "Cannot create algorithm <name>: <text>" and gives null.
#include <Velantor/Algorithm.h>
#include <Velantor/Data.h>
#include <Velantor/Flags.h>
#include <Velantor/Log.h>
#include <Velantor/Properties.h>

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

namespace Velantor {

class AlgorithmFactory {
public:
    struct Descriptor {
        enum class AlgorithmAttributes : unsigned {
            Hidden = 1,      // not offered in menus (still creatable by id)
            Deprecated = 2,  // offered only to load old workspaces
        };
        std::string id;  // full id
        std::string name;
        Flags<AlgorithmAttributes> attributes;
        std::optional<Properties> defaults;
        std::function<bool(const DataList&)> isCompatible;
        std::function<std::unique_ptr<Algorithm>(const DataList&)> create;
    };

    explicit AlgorithmFactory(std::string name) : m_name(std::move(name)) {}
    virtual ~AlgorithmFactory() = default;
    AlgorithmFactory(const AlgorithmFactory&) = delete;
    AlgorithmFactory& operator=(const AlgorithmFactory&) = delete;

    const std::string& name() const { return m_name; }
    const std::vector<Descriptor>& descriptors() const { return m_descriptors; }
    const Descriptor* descriptor(const std::string& fullId) const;
    // Full ids of the algorithms offered for these inputs, in registration order.
    std::vector<std::string> compatibleAlgorithms(const DataList& inputs) const;
    // Null for an unknown id, incompatible inputs or a failed construction.
    std::unique_ptr<Algorithm> create(const std::string& fullId, const DataList& inputs = {}) const;

    template <typename A>
    bool registerAlgorithm(const std::string& id, const std::string& name,
                           Flags<Descriptor::AlgorithmAttributes> attributes = {},
                           std::optional<Properties> defaults = std::nullopt)
    {
        static_assert(std::is_base_of_v<Algorithm, A>, "registerAlgorithm needs an Algorithm");
        Descriptor d;
        d.id = m_name + "." + id;
        d.name = name;
        d.attributes = attributes;
        d.defaults = std::move(defaults);
        d.isCompatible = [](const DataList& inputs) { return inputs.empty(); };
        const std::string fullId = d.id;
        std::shared_ptr<const Properties> defaultsCopy =
            d.defaults ? std::make_shared<const Properties>(*d.defaults) : nullptr;
        d.create = [fullId, name,
                    defaultsCopy](const DataList& inputs) -> std::unique_ptr<Algorithm> {
            if (!inputs.empty()) return nullptr;
            std::unique_ptr<A> algorithm;
            try {
                algorithm = std::make_unique<A>();
            } catch (const std::exception& e) {
                Log::logIf(Log::Error, std::string(),
                           [&] { return "Cannot create algorithm " + name + ": " + e.what(); });
                return nullptr;
            }
            prepare(*algorithm, fullId, name, defaultsCopy.get());
            return algorithm;
        };
        return addDescriptor(std::move(d));
    }

private:
    // Factory info, global settings and defaults for a new algorithm.
    static void prepare(Algorithm& algorithm, const std::string& fullId, const std::string& name,
                        const Properties* defaults);
    bool addDescriptor(Descriptor descriptor);

    std::string m_name;
    std::vector<Descriptor> m_descriptors;
};

}  // namespace Velantor

#pragma once
// Records attached to a piece of data, at most one per concrete type.
#include <memory>
#include <typeindex>
#include <typeinfo>
#include <type_traits>
#include <utility>
#include <vector>

namespace Velantor {

class DataComponent {
public:
    virtual ~DataComponent() = default;
    virtual std::unique_ptr<DataComponent> clone() const = 0;
};

// CRTP helper giving a component its clone().
template <typename Derived>
class DataComponentBase : public DataComponent {
public:
    std::unique_ptr<DataComponent> clone() const override
    {
        return std::make_unique<Derived>(static_cast<const Derived&>(*this));
    }
};

class DataComponentList {
public:
    DataComponentList() = default;
    DataComponentList(const DataComponentList& other) { *this = other; }
    DataComponentList& operator=(const DataComponentList& other)
    {
        if (this != &other) {
            m_components.clear();
            for (const auto& c : other.m_components) m_components.push_back(c->clone());
        }
        return *this;
    }
    DataComponentList(DataComponentList&&) noexcept = default;
    DataComponentList& operator=(DataComponentList&&) noexcept = default;

    // Adds the component, replacing one of the same concrete type. Null is
    // ignored. Returns the stored component.
    DataComponent* add(std::unique_ptr<DataComponent> component)
    {
        if (!component) return nullptr;
        const DataComponent& added = *component;
        const std::type_index type(typeid(added));
        for (auto& c : m_components) {
            const DataComponent& stored = *c;
            if (std::type_index(typeid(stored)) == type) {
                c = std::move(component);
                return c.get();
            }
        }
        m_components.push_back(std::move(component));
        return m_components.back().get();
    }
    template <typename T, std::enable_if_t<std::is_base_of_v<DataComponent, T>, int> = 0>
    T* add(std::unique_ptr<T> component)
    {
        return static_cast<T*>(add(std::unique_ptr<DataComponent>(std::move(component))));
    }
    template <typename T,
              std::enable_if_t<std::is_base_of_v<DataComponent, std::decay_t<T>>, int> = 0>
    std::decay_t<T>* add(T&& component)
    {
        return add(std::make_unique<std::decay_t<T>>(std::forward<T>(component)));
    }

    template <typename T>
    T* get()
    {
        for (auto& c : m_components) {
            const DataComponent& stored = *c;
            if (typeid(stored) == typeid(T)) return static_cast<T*>(c.get());
        }
        return nullptr;
    }
    template <typename T>
    const T* get() const
    {
        for (const auto& c : m_components) {
            const DataComponent& stored = *c;
            if (typeid(stored) == typeid(T)) return static_cast<const T*>(c.get());
        }
        return nullptr;
    }
    template <typename T>
    bool remove()
    {
        for (auto it = m_components.begin(); it != m_components.end(); ++it) {
            const DataComponent& stored = **it;
            if (typeid(stored) == typeid(T)) {
                m_components.erase(it);
                return true;
            }
        }
        return false;
    }
    std::size_t size() const { return m_components.size(); }

private:
    std::vector<std::unique_ptr<DataComponent>> m_components;
};

}  // namespace Velantor

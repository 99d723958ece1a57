#pragma once
// Data: anything the host can show, store or hand around, with a name.
// Components attach extra records to a piece of data (one per type).
#include <Velantor/DataComponent.h>

#include <mutex>
#include <string>
#include <vector>

namespace Velantor {

class Data {
public:
    explicit Data(std::string name = std::string());
    virtual ~Data();
    Data(const Data&) = delete;
    Data& operator=(const Data&) = delete;

    // Thread-safe: a stream's name is read from its worker and callback threads.
    std::string name() const;
    void setName(const std::string& name);

    DataComponentList& components() { return m_components; }
    const DataComponentList& components() const { return m_components; }

private:
    mutable std::mutex m_nameMutex;
    std::string m_name;
    DataComponentList m_components;
};

// The input list a factory checks an algorithm against.
using DataList = std::vector<Data*>;

}  // namespace Velantor

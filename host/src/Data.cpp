#include <Velantor/Data.h>

namespace Velantor {

Data::Data(std::string name) : m_name(std::move(name)) {}

Data::~Data() = default;

std::string Data::name() const
{
    std::lock_guard<std::mutex> lock(m_nameMutex);
    return m_name;
}

void Data::setName(const std::string& name)
{
    std::lock_guard<std::mutex> lock(m_nameMutex);
    m_name = name;
}

}  // namespace Velantor

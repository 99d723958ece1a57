#include "LinkLossPolicy.h"

#include <algorithm>

namespace Velantor {

void LinkLossPolicy::restart(std::int64_t nowNs)
{
    m_failed = 0;
    m_lastGoodNs = nowNs;
    m_lost = false;
}

void LinkLossPolicy::passSucceeded(std::int64_t nowNs)
{
    if (m_lost) return;
    m_failed = 0;
    m_lastGoodNs = nowNs;
}

bool LinkLossPolicy::passFailed(std::int64_t nowNs)
{
    if (m_lost) return false;
    ++m_failed;
    if (m_failed < m_limits.failedPasses || nowNs - m_lastGoodNs < m_limits.graceNs) return false;
    m_lost = true;
    return true;
}

std::int64_t RetryBackoff::next()
{
    const std::int64_t wait = m_next;
    m_next = std::min(m_limits.maxNs, m_next * 2);
    return wait;
}

}  // namespace Velantor

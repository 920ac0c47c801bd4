#pragma once
// qreg::RegValueNode<T>: a register node that owns its values.

#include "platform/qreg/reg_type_node.h"
#include "platform/qstd/trace.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

namespace qreg {

template <typename T> class RegValueNode : public RegTypeNode<T> {
public:
    RegValueNode(const std::string& name, const T& initial, unsigned long long flags)
        : RegTypeNode<T>(name, flags), m_values(1, initial)
    {
    }
    ~RegValueNode() override = default;

    size_t OnGetSize(const mci::Path& /*path*/) const override
    {
        std::lock_guard<std::mutex> lock(m_dataMutex);
        return m_values.size();
    }

    // Keeps the first values; new ones are T().
    bool OnResize(size_t size, const mci::Path& /*path*/) override
    {
        QSTD_TRACE_FNC();
        std::lock_guard<std::mutex> lock(m_dataMutex);
        m_values.resize(size, T());
        return true;
    }

    // The node owns its storage, so clients may resize it.
    bool IsClientResizable() const override { return true; }

    // Client reads run without the node lock; the values carry their own
    // leaf lock so that a read never meets a write half done. Elements that a
    // concurrent resize removed are not read.
    size_t OnGet(T* buffer, size_t position, size_t count) const override
    {
        std::lock_guard<std::mutex> lock(m_dataMutex);
        if (position >= m_values.size()) {
            return 0;
        }
        const size_t n = std::min(count, m_values.size() - position);
        for (size_t i = 0; i < n; ++i) {
            buffer[i] = m_values[position + i];
        }
        return n;
    }

    bool OnSet(const T* values, size_t position, size_t count) override
    {
        std::lock_guard<std::mutex> lock(m_dataMutex);
        if (position > m_values.size() || count > m_values.size() - position) {
            return false;
        }
        for (size_t i = 0; i < count; ++i) {
            m_values[position + i] = values[i];
        }
        return true;
    }

    using RegNode::OnGet;
    using RegNode::OnSet;

private:
    mutable std::mutex m_dataMutex;
    std::vector<T> m_values;
};

} // namespace qreg

#pragma once
// The system's value validators: qreg::expr::Range (inclusive bounds),
// qreg::expr::Lt (strict upper limit) and qreg::expr::Set (membership), and
// the factory qreg::Expr that makes them. Each describes itself to clients
// by its ToText: "[min, max]", "<limit", "{v1,v2,...}", numbers written as a
// default output stream writes them.

#include "platform/qreg/expression.h"

#include <memory>
#include <set>
#include <sstream>
#include <string>

namespace qreg {
namespace expr {

template <typename P> std::string ParamToString(const P& value)
{
    std::ostringstream os;
    os << value;
    return os.str();
}

template <typename T, typename P> class Range : public Terminal {
public:
    template <typename A, typename B>
    Range(const A& min, const B& max) : Terminal("[...]"), m_min(static_cast<P>(min)), m_max(static_cast<P>(max))
    {
    }
    ~Range() override = default;

    std::string ToText() const override { return "[" + ParamToString(m_min) + ", " + ParamToString(m_max) + "]"; }

    using Expression::OnEvaluate;
    // The lower test is negated so that a NaN is refused.
    bool OnEvaluate(const T& value) const override
    {
        if (!(value >= m_min)) {
            return false;
        }
        if (value > m_max) {
            return false;
        }
        return true;
    }

    const P& GetMin() const { return m_min; }
    const P& GetMax() const { return m_max; }

private:
    P m_min;
    P m_max;
};

template <typename T, typename P> class Lt : public Terminal {
public:
    template <typename A> explicit Lt(const A& limit) : Terminal("<"), m_limit(static_cast<P>(limit)) {}
    ~Lt() override = default;

    std::string ToText() const override { return "<" + ParamToString(m_limit); }

    using Expression::OnEvaluate;
    bool OnEvaluate(const T& value) const override { return value < m_limit; }

private:
    P m_limit;
};

template <typename T, typename P> class Set : public Terminal {
public:
    template <typename... A> explicit Set(const A&... values) : Terminal("{...}")
    {
        (m_values.insert(static_cast<P>(values)), ...);
    }
    ~Set() override = default;

    std::string ToText() const override
    {
        std::ostringstream os;
        os << "{";
        bool first = true;
        for (const auto& v : m_values) {
            if (!first) {
                os << ",";
            }
            os << v;
            first = false;
        }
        os << "}";
        return os.str();
    }

    using Expression::OnEvaluate;
    bool OnEvaluate(const T& value) const override { return m_values.count(static_cast<P>(value)) != 0; }

    const std::set<P>& GetValues() const { return m_values; }

private:
    std::set<P> m_values;
};

} // namespace expr

// Makes a validator of kind E from its parameters (converted to E's parameter
// type) and hands it out under shared ownership.
template <typename E, typename... A> std::shared_ptr<Expression> Expr(A&&... args)
{
    return std::make_shared<E>(std::forward<A>(args)...);
}

} // namespace qreg

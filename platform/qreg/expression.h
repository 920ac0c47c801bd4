#pragma once
// Validator expressions of the register library: the expression base that
// every write is evaluated against, the leaf base that carries a terminal
// text, and the exception raised for a refused value.

#include "platform/qstd/exception.h"

#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace qreg {

class Expression : public std::enable_shared_from_this<Expression> {
public:
    using Ptr = std::shared_ptr<Expression>;

    Expression() = default;
    virtual ~Expression();
    Expression(const Expression&) = delete;
    Expression& operator=(const Expression&) = delete;

    // Sub-expressions (compound validators); leaves have none.
    virtual void Add(const Ptr& expression);
    virtual void Add(Ptr&& expression);
    virtual void Set(const std::initializer_list<Ptr>& expressions);
    virtual void Set(std::initializer_list<Ptr>&& expressions);
    virtual const std::vector<Ptr>& Get() const;

    // Text by which the validator describes itself to clients.
    virtual std::string ToText() const;

    // False for a refused value. Dispatches to the OnEvaluate of the value's
    // type.
    template <typename T> bool Evaluate(const T& value) const { return OnEvaluate(value); }

    // A validator tests the values of its own type; values of the other types
    // are not restricted by it (a node's writes reach it in the node's type).
    virtual bool OnEvaluate(const std::string& value) const;
    virtual bool OnEvaluate(const long long& value) const;
    virtual bool OnEvaluate(const unsigned long long& value) const;
    virtual bool OnEvaluate(const int& value) const;
    virtual bool OnEvaluate(const unsigned int& value) const;
    virtual bool OnEvaluate(const double& value) const;
    virtual bool OnEvaluate(const float& value) const;
    virtual bool OnEvaluate(const bool& value) const;

private:
    std::vector<Ptr> m_children;
};

// Base of every leaf validator; the terminal text names the leaf's kind
// ("[...]", "<", "{...}").
class Terminal : public Expression {
public:
    explicit Terminal(std::string text) : m_text(std::move(text)) {}
    const std::string& GetTerminalText() const { return m_text; }
    std::string ToText() const override { return m_text; }

private:
    std::string m_text;
};

// Raised when a validator refuses a value. The message is
// "Value <text> is refused by validator <validator text>".
class ValidationError : public qstd::Exception {
public:
    ValidationError(const std::shared_ptr<Expression>& validator, const std::string& value);
};

} // namespace qreg

#include "platform/qreg/expression.h"

namespace qreg {

Expression::~Expression() = default;

void Expression::Add(const Ptr& expression)
{
    m_children.push_back(expression);
}

void Expression::Add(Ptr&& expression)
{
    m_children.push_back(std::move(expression));
}

void Expression::Set(const std::initializer_list<Ptr>& expressions)
{
    m_children.assign(expressions.begin(), expressions.end());
}

void Expression::Set(std::initializer_list<Ptr>&& expressions)
{
    m_children.assign(expressions.begin(), expressions.end());
}

const std::vector<Expression::Ptr>& Expression::Get() const
{
    return m_children;
}

std::string Expression::ToText() const
{
    return std::string();
}

bool Expression::OnEvaluate(const std::string&) const
{
    return true;
}
bool Expression::OnEvaluate(const long long&) const
{
    return true;
}
bool Expression::OnEvaluate(const unsigned long long&) const
{
    return true;
}
bool Expression::OnEvaluate(const int&) const
{
    return true;
}
bool Expression::OnEvaluate(const unsigned int&) const
{
    return true;
}
bool Expression::OnEvaluate(const double&) const
{
    return true;
}
bool Expression::OnEvaluate(const float&) const
{
    return true;
}
bool Expression::OnEvaluate(const bool&) const
{
    return true;
}

namespace {
std::string ValidationMessage(const std::shared_ptr<Expression>& validator, const std::string& value)
{
    return "Value " + value + " is refused by validator " + (validator ? validator->ToText() : std::string());
}
} // namespace

ValidationError::ValidationError(const std::shared_ptr<Expression>& validator, const std::string& value)
    : qstd::Exception(ValidationMessage(validator, value), true)
{
}

} // namespace qreg

#include "platform/qreg/reg_node.h"

#include "platform/qstd/exception.h"
#include "platform/qstd/trace.h"

#include <cmath>
#include <limits>
#include <memory>
#include <sstream>
#include <type_traits>

namespace qreg {

namespace {

template <typename T> std::string StreamText(const T& value)
{
    std::ostringstream os;
    os << value;
    return os.str();
}

// Whether a node of the given value type takes T without conversion. Enum
// nodes take long long, int and strings themselves.
template <typename T> bool IsNativeType(int code)
{
    switch (code) {
    case eTypeBool:
        return std::is_same<T, bool>::value;
    case eTypeInt:
        return std::is_same<T, int>::value;
    case eTypeUInt:
        return std::is_same<T, unsigned int>::value;
    case eTypeULongLong:
        return std::is_same<T, unsigned long long>::value;
    case eTypeDouble:
        return std::is_same<T, double>::value;
    case eTypeString:
        return std::is_same<T, std::string>::value;
    case eTypeEnum:
        return std::is_same<T, long long>::value || std::is_same<T, int>::value || std::is_same<T, std::string>::value;
    default:
        return true;
    }
}

bool IsNumericCode(int code)
{
    return code == eTypeBool || code == eTypeInt || code == eTypeUInt || code == eTypeULongLong ||
           code == eTypeDouble || code == eTypeEnum;
}

[[noreturn]] void ThrowOutOfRange(const std::string& valueText, const std::string& name)
{
    throw qstd::Exception("Value " + valueText + " is out of range for node " + name, true);
}

// Converts between the numeric types that cross the library, refusing values
// that the target type cannot hold exactly (a fraction for an integer, a
// number other than 0 and 1 for bool).
template <typename U, typename T> U ConvertNumber(const T& value, const std::string& name)
{
    if constexpr (std::is_same<U, T>::value) {
        return value;
    } else if constexpr (std::is_same<U, bool>::value) {
        if (value == T(0)) {
            return false;
        }
        if (value == T(1)) {
            return true;
        }
        ThrowOutOfRange(ValueText(value), name);
    } else if constexpr (std::is_floating_point<U>::value) {
        return static_cast<U>(value);
    } else if constexpr (std::is_same<T, bool>::value) {
        return static_cast<U>(value ? 1 : 0);
    } else if constexpr (std::is_floating_point<T>::value) {
        const long double v = value;
        if (!std::isfinite(value) || std::trunc(v) != v ||
            v < static_cast<long double>(std::numeric_limits<U>::min()) ||
            v > static_cast<long double>(std::numeric_limits<U>::max())) {
            ThrowOutOfRange(ValueText(value), name);
        }
        return static_cast<U>(value);
    } else {
        // Integer to integer.
        bool fits;
        if constexpr (std::is_signed<T>::value == std::is_signed<U>::value) {
            fits = value >= std::numeric_limits<U>::min() && value <= std::numeric_limits<U>::max();
        } else if constexpr (std::is_signed<T>::value) {
            fits = value >= 0 && static_cast<unsigned long long>(value) <= std::numeric_limits<U>::max();
        } else {
            fits = value <= static_cast<unsigned long long>(std::numeric_limits<U>::max());
        }
        if (!fits) {
            ThrowOutOfRange(ValueText(value), name);
        }
        return static_cast<U>(value);
    }
}

// No node takes a NaN or an infinity: a client or a stored configuration
// could otherwise carry one into a computation (a PLL gain) and across
// restarts.
template <typename T> void RefuseNonFinite(const T* values, size_t count, const std::string& name)
{
    if constexpr (std::is_floating_point<T>::value) {
        for (size_t i = 0; i < count; ++i) {
            if (!std::isfinite(values[i])) {
                ThrowOutOfRange(ValueText(values[i]), name);
            }
        }
    }
}

// Values converted to or from a node's native type: one value (a client's
// usual read or write) on the stack, longer runs on the heap.
template <typename U> class NativeRun {
public:
    explicit NativeRun(size_t count) : m_many(count > 1 ? new U[count] : nullptr) {}
    U* Data() { return m_many ? m_many.get() : &m_one; }
    U& operator[](size_t i) { return Data()[i]; }

private:
    U m_one{};
    std::unique_ptr<U[]> m_many;
};

template <typename T> std::unique_ptr<T[]> CopyToArray(const std::vector<T>& values)
{
    std::unique_ptr<T[]> a(new T[values.size()]);
    for (size_t i = 0; i < values.size(); ++i) {
        a[i] = values[i];
    }
    return a;
}

} // namespace

std::string ValueText(const std::string& value)
{
    return value;
}
std::string ValueText(bool value)
{
    return value ? "true" : "false";
}
std::string ValueText(double value)
{
    return StreamText(value);
}
std::string ValueText(float value)
{
    return StreamText(value);
}
std::string ValueText(long long value)
{
    return StreamText(value);
}
std::string ValueText(unsigned long long value)
{
    return StreamText(value);
}
std::string ValueText(int value)
{
    return StreamText(value);
}
std::string ValueText(unsigned int value)
{
    return StreamText(value);
}

RegNode::RegNode(const std::string& name, unsigned long long flags) : mci::TreeNode(name, flags) {}

RegNode::~RegNode() = default;

int RegNode::OnGetValueType(const mci::Path&) const
{
    return eTypeNone;
}
size_t RegNode::OnGetSize(const mci::Path&) const
{
    return 0;
}
bool RegNode::OnResize(size_t, const mci::Path&)
{
    return false;
}
bool RegNode::OnGetDomainValues(std::vector<std::string>&, const mci::Path&) const
{
    return false;
}

std::string RegNode::OnGetValidatorExpression(const mci::Path&) const
{
    auto validator = GetValidator();
    return validator ? validator->ToText() : std::string();
}

bool RegNode::IsClientResizable() const
{
    return false;
}

void RegNode::Resize(size_t size, const mci::Path& path)
{
    if (!IsClientResizable()) {
        throw qstd::Exception("qreg: Node cannot be resized: " + GetName(), true);
    }
    if (size > c_maxClientSize) {
        throw qstd::Exception("qreg: Can't resize node " + GetName() + " to " + std::to_string(size) +
                                  " elements: at most " + std::to_string(c_maxClientSize) + " are allowed",
                              true);
    }
    auto lock = Lock();
    if (IsConstant(mci::c_noRelPath)) {
        throw qstd::Exception("Node is a constant.", true);
    }
    if (!OnResize(size, path)) {
        throw qstd::Exception("qreg: Can't resize node: " + GetName(), true);
    }
}

bool RegNode::OnParseEnumText(const std::string&, long long&) const
{
    return false;
}

bool RegNode::Execute()
{
    throw qstd::Exception("qreg: Node is not a command: " + GetName(), true);
}

void RegNode::OnPreConfigLoad() {}
void RegNode::OnPostConfigLoad() {}

bool RegNode::NamesMissingFile(const std::string& /*text*/) const
{
    return false;
}

void RegNode::SetValidator(const std::shared_ptr<Expression>& validator)
{
    std::lock_guard<std::mutex> lock(m_validatorMutex);
    m_validator = validator;
}

std::shared_ptr<Expression> RegNode::GetValidator() const
{
    std::lock_guard<std::mutex> lock(m_validatorMutex);
    return m_validator;
}

void RegNode::VerifySetArgs(size_t position, size_t count) const
{
    const size_t size = OnGetSize(mci::c_noRelPath);
    if (position > size || count > size - position) {
        std::ostringstream os;
        os << "qreg: Position " << position << " and count " << count << " are out of range for node " << GetName()
           << " of size " << size;
        throw qstd::Exception(os.str(), true);
    }
}

bool RegNode::OnEmitValue(const qstd::Any& value, size_t position)
{
    return NotifySubscribers(value, position);
}

bool RegNode::EmitLocked(const qstd::Any& value, size_t position)
{
    ++m_emissions;
    return OnEmitValue(value, position);
}

template <typename T> bool RegNode::EmitCurrentRun(size_t position, size_t count)
{
    std::unique_ptr<T[]> values(new T[count > 0 ? count : 1]);
    for (;;) {
        const unsigned long long writes = m_writes.load();
        // Read without the node lock, as a client read is (see the header).
        const size_t n = GetRun<T>(values.get(), position, count);
        if (n == 0) {
            return false;
        }
        auto lock = Lock();
        if (m_writes.load() != writes) {
            continue; // a write stored meanwhile: what was read may be older
        }
        if (IsArray(mci::c_noRelPath)) {
            return EmitLocked(qstd::Any(std::vector<T>(values.get(), values.get() + n)), position);
        }
        return EmitLocked(qstd::Any(values[0]), position);
    }
}

bool RegNode::Emit()
{
    try {
        const size_t size = OnGetSize(mci::c_noRelPath);
        if (size == 0) {
            return false;
        }
        const size_t count = IsArray(mci::c_noRelPath) ? size : 1;
        switch (OnGetValueType(mci::c_noRelPath)) {
        case eTypeBool:
            return EmitCurrentRun<bool>(0, count);
        case eTypeInt:
            return EmitCurrentRun<int>(0, count);
        case eTypeUInt:
            return EmitCurrentRun<unsigned int>(0, count);
        case eTypeULongLong:
            return EmitCurrentRun<unsigned long long>(0, count);
        case eTypeDouble:
            return EmitCurrentRun<double>(0, count);
        case eTypeString:
            return EmitCurrentRun<std::string>(0, count);
        case eTypeEnum:
            return EmitCurrentRun<long long>(0, count);
        default:
            return false;
        }
    } catch (const std::exception& e) {
        QSTD_TRACE(qstd::TraceError, "Cannot emit value of " << GetName() << ": " << e.what());
        return false;
    }
}

namespace {
// Calls f with a value of the native number type of a value type code
// (long long for the remaining numeric codes).
template <typename F> decltype(auto) WithNativeType(int code, F&& f)
{
    switch (code) {
    case eTypeBool:
        return f(bool());
    case eTypeInt:
        return f(int());
    case eTypeUInt:
        return f(0u);
    case eTypeULongLong:
        return f(0ull);
    case eTypeDouble:
        return f(0.0);
    default:
        return f(0ll);
    }
}
} // namespace

template <typename T> void RegNode::SetRun(const T* values, size_t position, size_t count)
{
    const int code = OnGetValueType(mci::c_noRelPath);
    if (code == eTypeEnum) {
        // Enum nodes are written, and emit, as long long.
        if constexpr (std::is_same<T, std::string>::value || std::is_same<T, int>::value) {
            std::unique_ptr<long long[]> converted(new long long[count > 0 ? count : 1]);
            bool parsed = true;
            for (size_t i = 0; i < count && parsed; ++i) {
                if constexpr (std::is_same<T, std::string>::value) {
                    parsed = OnParseEnumText(values[i], converted[i]);
                } else {
                    converted[i] = values[i];
                }
            }
            if (parsed) {
                return SetRun<long long>(converted.get(), position, count);
            }
        }
    }
    if constexpr (!std::is_same<T, std::string>::value) {
        if (IsNumericCode(code) && !IsNativeType<T>(code)) {
            auto convert = [&](auto tag) {
                using U = decltype(tag);
                NativeRun<U> converted(count);
                for (size_t i = 0; i < count; ++i) {
                    converted[i] = ConvertNumber<U>(values[i], GetName());
                }
                SetRun<U>(converted.Data(), position, count);
            };
            return WithNativeType(code, convert);
        }
    }
    // Like a client read, a client write calls the kind's OnSet without the
    // node lock: a setter that takes its owner's mutex must not meet the
    // owner holding that mutex while it sets the node (owner, then node).
    // The node lock is held for the emission only. Kinds whose storage is
    // shared guard it themselves (value nodes, strings, register words).
    if (IsConstant(mci::c_noRelPath)) {
        throw qstd::Exception("Node is a constant.", true);
    }
    VerifySetArgs(position, count);
    RefuseNonFinite(values, count, GetName());
    if (auto validator = GetValidator()) {
        for (size_t i = 0; i < count; ++i) {
            if (!validator->Evaluate(values[i])) {
                throw ValidationError(validator, ValueText(values[i]));
            }
        }
    }
    if (count == 0) {
        return;
    }
    const unsigned long long before = m_writes.load();
    if (!OnSet(values, position, count)) {
        throw qstd::Exception("qreg: Can't set value: setter function failed: " + GetName(), true);
    }
    const unsigned long long mine = m_writes.fetch_add(1) + 1;
    {
        auto lock = Lock();
        // No other write counted itself since this store began, nor since it
        // ended: the values written are what the node holds.
        if (mine == before + 1 && m_writes.load() == mine) {
            if (IsArray(mci::c_noRelPath)) {
                EmitLocked(qstd::Any(std::vector<T>(values, values + count)), position);
            } else {
                EmitLocked(qstd::Any(values[0]), position);
            }
            return;
        }
    }
    // Another write may have stored after this one: the subscribers get the
    // node's current values, whichever write stored last.
    try {
        EmitCurrentRun<T>(position, count);
    } catch (const std::exception& e) {
        QSTD_TRACE(qstd::TraceError, "Cannot emit value of " << GetName() << ": " << e.what());
    }
}

template <typename T> size_t RegNode::GetRun(T* buffer, size_t position, size_t count) const
{
    VerifySetArgs(position, count);
    const int code = OnGetValueType(mci::c_noRelPath);
    if constexpr (!std::is_same<T, std::string>::value) {
        if (IsNumericCode(code) && !IsNativeType<T>(code)) {
            auto convert = [&](auto tag) -> size_t {
                using U = decltype(tag);
                NativeRun<U> native(count);
                const size_t n = GetNative(native.Data(), position, count);
                for (size_t i = 0; i < n; ++i) {
                    buffer[i] = ConvertNumber<T>(native[i], GetName());
                }
                return n;
            };
            return WithNativeType(code, convert);
        }
    }
    return GetNative(buffer, position, count);
}

template <typename T> size_t RegNode::GetNative(T* buffer, size_t position, size_t count) const
{
    if (count == 0) {
        return 0;
    }
    // The kind's getter runs without the node lock (see the header).
    const size_t n = OnGet(buffer, position, count);
    return n < count ? n : count;
}

#define QREG_DEFINE_TYPED(T)                                                                                           \
    size_t RegNode::OnGet(T*, size_t, size_t) const                                                                    \
    {                                                                                                                  \
        throw qstd::Exception("qreg: Value type not supported by node " + GetName(), true);                            \
    }                                                                                                                  \
    bool RegNode::OnSet(const T*, size_t, size_t)                                                                      \
    {                                                                                                                  \
        throw qstd::Exception("qreg: Value type not supported by node " + GetName(), true);                            \
    }                                                                                                                  \
    size_t RegNode::Get(T* buffer, size_t position, size_t count, const mci::Path&) const                              \
    {                                                                                                                  \
        return GetRun<T>(buffer, position, count);                                                                     \
    }                                                                                                                  \
    void RegNode::Get(T& value, size_t position, const mci::Path&) const                                               \
    {                                                                                                                  \
        T buffer[1];                                                                                                   \
        if (GetRun<T>(buffer, position, 1) != 1) {                                                                     \
            throw qstd::Exception("qreg: Can't get value: getter function failed: " + GetName(), true);                \
        }                                                                                                              \
        value = buffer[0];                                                                                             \
    }                                                                                                                  \
    void RegNode::Get(std::vector<T>& values, size_t position, size_t count, const mci::Path&) const                   \
    {                                                                                                                  \
        VerifySetArgs(position, count); /* before the buffer is sized by the client's count */                         \
        std::unique_ptr<T[]> buffer(new T[count > 0 ? count : 1]);                                                     \
        const size_t n = GetRun<T>(buffer.get(), position, count);                                                     \
        values.assign(buffer.get(), buffer.get() + n);                                                                 \
    }                                                                                                                  \
    void RegNode::Set(const T& value, size_t position, const mci::Path&)                                               \
    {                                                                                                                  \
        SetRun<T>(&value, position, 1);                                                                                \
    }                                                                                                                  \
    void RegNode::Set(const std::vector<T>& values, size_t position, const mci::Path&)                                 \
    {                                                                                                                  \
        auto a = CopyToArray(values);                                                                                  \
        SetRun<T>(a.get(), position, values.size());                                                                   \
    }

QREG_DEFINE_TYPED(std::string)
QREG_DEFINE_TYPED(long long)
QREG_DEFINE_TYPED(unsigned long long)
QREG_DEFINE_TYPED(int)
QREG_DEFINE_TYPED(unsigned int)
QREG_DEFINE_TYPED(double)
QREG_DEFINE_TYPED(float)
QREG_DEFINE_TYPED(bool)

#undef QREG_DEFINE_TYPED

void RegNode::Set(const char* value, size_t position, const mci::Path& path)
{
    Set(std::string(value ? value : ""), position, path);
}

} // namespace qreg

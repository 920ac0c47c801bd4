#pragma once
// qreg::RegNode: the base of every register node. It carries the client
// entry points of the register library (typed Get and Set with position and
// count), the virtual operations that each node kind overrides (OnGet, OnSet,
// size, value type, domain), the validator and emission to subscribers.
//
// Client reads and writes (the typed Get and Set entry points) call the
// kind's OnGet and OnSet without holding the node lock; only the emission of
// a written value takes it. An owner that holds its own mutex while it sets
// one of its nodes therefore cannot deadlock with a client on that node.
//
// Since a client's write stores before it takes the node lock to emit, two
// writes can store in one order and emit in the other. Every stored write is
// therefore counted; a client write whose store may have been overtaken, or
// whose value has been overwritten since, sends the node's value as read
// again instead of its own, and an owner's write whose lock was released
// while another write emitted sends nothing. The last value that subscribers
// receive is thus always the node's own.
//
// Value type codes: 0 none (branch, command), 1 bool, 2 int, 3 unsigned int,
// 5 unsigned 64-bit, 6 double, 8 string, 9 enum.
//
// The member templates SetValue, Set, ApplyAndEmitValue and EmitValue, by
// which the system's own code sets a node, are defined in "qreg/reg_node.h";
// include that header to call them.

#include "platform/mci/tree_node.h"
#include "platform/qreg/expression.h"
#include "platform/qstd/exception.h"

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace qreg {

enum ValueType_e : int {
    eTypeNone = 0,
    eTypeBool = 1,
    eTypeInt = 2,
    eTypeUInt = 3,
    eTypeULongLong = 5,
    eTypeDouble = 6,
    eTypeString = 8,
    eTypeEnum = 9
};

// A value that an enum node refuses (a name it does not know, a number none
// of its values has): the node's words, and the value as its writer gave it,
// so that a client can be told which values the node takes instead.
class ValueRefused : public qstd::Exception {
public:
    ValueRefused(const std::string& message, std::string value) : qstd::Exception(message), m_value(std::move(value)) {}
    const std::string& Value() const { return m_value; }

private:
    std::string m_value;
};

// The register library's typed entry points and node hooks, once per value
// type that crosses the library.
#define QREG_TYPED_OPERATIONS(T)                                                                                       \
    virtual size_t OnGet(T* buffer, size_t position, size_t count) const;                                              \
    virtual bool OnSet(const T* values, size_t position, size_t count);                                                \
    size_t Get(T* buffer, size_t position, size_t count, const mci::Path& path) const;                                 \
    void Get(T& value, size_t position, const mci::Path& path) const;                                                  \
    void Get(std::vector<T>& values, size_t position, size_t count, const mci::Path& path) const;                      \
    void Set(const T& value, size_t position, const mci::Path& path);

class RegNode : public mci::TreeNode {
public:
    // A branch node made without flags carries 0.
    explicit RegNode(const std::string& name, unsigned long long flags = 0);
    ~RegNode() override;

    RegNode* AsRegNode() override { return this; }

    // --- value description (defaults: a node without a value) ---
    virtual int OnGetValueType(const mci::Path& path) const;
    virtual size_t OnGetSize(const mci::Path& path) const;
    virtual bool OnResize(size_t size, const mci::Path& path);
    // Appends the names of the node's domain; false when it has none.
    virtual bool OnGetDomainValues(std::vector<std::string>& names, const mci::Path& path) const;
    // The validator's text, or empty when the node has none.
    virtual std::string OnGetValidatorExpression(const mci::Path& path) const;

    // Client resize: only kinds that own their storage may be resized by a
    // client; the others would reach past their owner's storage. A client
    // may give a node at most c_maxClientSize elements.
    static constexpr size_t c_maxClientSize = size_t(1) << 20;
    virtual bool IsClientResizable() const;
    void Resize(size_t size, const mci::Path& path);

    // Enum nodes turn a client's text (a name or an integer text) into the
    // value's integer, raising their own messages; false for other nodes.
    // Text writes of enum nodes go through it, so that an enum node's
    // subscribers receive long long values whichever way it was written.
    virtual bool OnParseEnumText(const std::string& text, long long& value) const;

    // Command nodes run their command; every other node refuses.
    virtual bool Execute();

    // Configuration hooks, called by the configuration step before and
    // after it loads the persisted values of a node; nothing by default.
    virtual void OnPreConfigLoad();
    virtual void OnPostConfigLoad();
    // Whether text, a value of this node, names a file that is missing now
    // (a path on a mount not made yet). The configuration step keeps such a
    // stored value instead of applying it; false by default.
    virtual bool NamesMissingFile(const std::string& text) const;
    // Writes stored through the node so far (clients', the owner's, the
    // configuration step's).
    unsigned long long Writes() const { return m_writes.load(); }

    // --- validator ---
    void SetValidator(const std::shared_ptr<Expression>& validator);
    std::shared_ptr<Expression> GetValidator() const;

    // Raises a qstd::Exception when [position, position + count) is not
    // within the node's size.
    void VerifySetArgs(size_t position, size_t count) const;

    // --- emission ---
    // Hands an emitted value and the changed position to the subscribers.
    virtual bool OnEmitValue(const qstd::Any& value, size_t position);
    // Sends the node's current value (the whole array for an array node, at
    // position 0) to its subscribers. The value is read without the node lock.
    bool Emit();

    // --- typed entry points ---
    QREG_TYPED_OPERATIONS(std::string)
    QREG_TYPED_OPERATIONS(long long)
    QREG_TYPED_OPERATIONS(unsigned long long)
    QREG_TYPED_OPERATIONS(int)
    QREG_TYPED_OPERATIONS(unsigned int)
    QREG_TYPED_OPERATIONS(double)
    QREG_TYPED_OPERATIONS(float)
    QREG_TYPED_OPERATIONS(bool)

    // A text literal is a string, not a bool.
    void Set(const char* value, size_t position, const mci::Path& path);

    // Run writes: all values are validated, then stored from the position on
    // and emitted. The string form is overridden by enum nodes.
    virtual void Set(const std::vector<std::string>& values, size_t position, const mci::Path& path);
    void Set(const std::vector<long long>& values, size_t position, const mci::Path& path);
    void Set(const std::vector<unsigned long long>& values, size_t position, const mci::Path& path);
    void Set(const std::vector<int>& values, size_t position, const mci::Path& path);
    void Set(const std::vector<unsigned int>& values, size_t position, const mci::Path& path);
    void Set(const std::vector<double>& values, size_t position, const mci::Path& path);
    void Set(const std::vector<float>& values, size_t position, const mci::Path& path);
    void Set(const std::vector<bool>& values, size_t position, const mci::Path& path);

    // --- the system's own writes (defined in "qreg/reg_node.h") ---
    // Never raises: false (and a level-1 trace) when the value is refused.
    template <typename T> bool SetValue(const T& value, size_t position);
    // Raises "qreg: " + name + ": " + reason.
    template <typename T> void Set(const T& value, size_t position);
    // Position check, validator, OnSet, emission; raises the failure as is.
    template <typename T> void ApplyAndEmitValue(const T& value, size_t position);
    // Emission alone.
    template <typename T> bool EmitValue(const T& value, size_t position);

private:
    // Typed write with run semantics, used by every Set entry point.
    template <typename T> void SetRun(const T* values, size_t position, size_t count);
    // Typed read: position and count checked, result clamped to count.
    template <typename T> size_t GetRun(T* buffer, size_t position, size_t count) const;
    // The kind's getter in its own type, position and count already checked.
    template <typename T> size_t GetNative(T* buffer, size_t position, size_t count) const;
    // Sends the values that the node holds at [position, position + count),
    // read again until no write has stored between the read and the emission.
    template <typename T> bool EmitCurrentRun(size_t position, size_t count);
    // Caller holds the node lock: counts the emission and hands it on.
    bool EmitLocked(const qstd::Any& value, size_t position);

    mutable std::mutex m_validatorMutex;
    std::shared_ptr<Expression> m_validator;
    // Writes stored so far, counted right after each store.
    std::atomic<unsigned long long> m_writes{0};
    // Emissions so far; changed and read under the node lock.
    unsigned long long m_emissions = 0;
};

#undef QREG_TYPED_OPERATIONS

// Text of a value as used in messages: numbers as an output stream writes
// them, bool as "true" or "false", strings unchanged.
std::string ValueText(const std::string& value);
std::string ValueText(bool value);
std::string ValueText(double value);
std::string ValueText(float value);
std::string ValueText(long long value);
std::string ValueText(unsigned long long value);
std::string ValueText(int value);
std::string ValueText(unsigned int value);

} // namespace qreg

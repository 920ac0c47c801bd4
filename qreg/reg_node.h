#pragma once
// The member templates by which the system's own code sets a register node:
// SetValue (never raises), Set (raises, naming the node), ApplyAndEmitValue
// (checks, write and emission) and EmitValue (emission alone). A value set
// this way passes the same checks as a client's write: the constant bit, the
// position and the validator; it is stored by the node kind's OnSet and
// emitted to the subscribers (a one-element vector for an array node).

#include "platform/qreg/reg_node.h"
#include "platform/qstd/exception.h"
#include "platform/qstd/trace.h"

#include <exception>
#include <string>
#include <vector>

namespace qreg {

template <typename T> bool RegNode::SetValue(const T& value, size_t position)
{
    try {
        Set(value, position);
        return true;
    } catch (const std::exception& e) {
        // Every failure, whatever its type, is reported as false.
        QSTD_TRACE(qstd::TraceError, "Cannot set value " << e.what());
        return false;
    } catch (...) {
        QSTD_TRACE(qstd::TraceError, "Cannot set value of " << GetName() << ": unknown exception");
        return false;
    }
}

template <typename T> void RegNode::Set(const T& value, size_t position)
{
    auto lock = Lock();
    try {
        if (IsConstant(mci::c_noRelPath)) {
            throw qstd::Exception("Node is a constant.", true);
        }
        ApplyAndEmitValue(value, position);
    } catch (const qstd::Exception& e) {
        throw qstd::Exception("qreg: " + GetName() + ": " + e.what(), true);
    }
}

template <typename T> void RegNode::ApplyAndEmitValue(const T& value, size_t position)
{
    auto lock = Lock();
    VerifySetArgs(position, 1);
    if (auto validator = GetValidator()) {
        if (!validator->Evaluate(value)) {
            throw ValidationError(validator, ValueText(value));
        }
    }
    if (!OnSet(&value, position, 1)) {
        // A kind that reports failure instead of raising stored nothing.
        throw qstd::Exception("qreg: Can't set value: setter function failed: " + GetName(), true);
    }
    ++m_writes;
    const unsigned long long emissions = m_emissions;
    lock.unlock();
    lock.lock();
    // A write that emitted while the lock was free stored after this one and
    // has sent the newer value; a client write that stores later emits after
    // this one (see "platform/qreg/reg_node.h").
    if (m_emissions == emissions) {
        EmitValue(value, position);
    }
}

template <typename T> bool RegNode::EmitValue(const T& value, size_t position)
{
    auto lock = Lock();
    if (IsArray(mci::c_noRelPath)) {
        return EmitLocked(qstd::Any(std::vector<T>(1, value)), position);
    }
    return EmitLocked(qstd::Any(value), position);
}

} // namespace qreg

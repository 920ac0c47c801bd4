#pragma once
// Vocabulary of the signal library: result codes, stream states and modes,
// access modes of on-demand reads, metadata and statistics rows.

#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace qsig {

// Result of signal and queue operations.
enum SuccessCode_e : int {
    eSuccess = 0,
    eBadRequest = -1,
    eIncompleteData = -2,
    eTimeout = -3,
    eNotOpen = -4,
    eCancelled = -5,
    eRefused = -6,
    eTryAgain = -7,
    eDerivedError = -99,
};

// Trace text of a result code ("-3 (timeout)"); never throws.
std::ostream& operator<<(std::ostream& os, SuccessCode_e code);

enum StreamState : int {
    eIdle = 0,
    eStarting = 1,
    eRunning = 2,
    eStopping = 3,
    eShutDown = 4,
};

std::ostream& operator<<(std::ostream& os, StreamState state);

enum StreamMode_e : int {
    ePassive = 0,               // the owner pushes, no thread
    eActive = 1,                // a dispatcher thread runs while clients exist
    eActiveNoClientControl = 2, // active, started and stopped by the owner
};

// Access mode of an on-demand read. The values 10 to 14 occur; their meaning
// beyond 13 (own clone and read-ahead thread) and 14 (own clone) is given by
// the position controller that serves them.
enum AccessMode_e : int {
    eAccessDefault = 10,
    eAccessNow = 11,
    eAccessAtTime = 12,
    eAccessStreaming = 13,
    eAccessClone = 14,
};

// Priority passed with every read of a random-access buffer.
enum RequestPriorityLevel_e : int {
    ePriorityLow = 0,
    ePriorityNormal = 1,
    ePriorityHigh = 2,
};

// Identifiers of metadata entries. Values 0, 1 and 2, eMetaOfferedAtom and
// eMetaSectionAtoms belong to the signal library; system code may use its own
// identifiers from 3 on.
enum SignalMetaId_e : int {
    eMetaLmt = 0,      // LMT of the first atom
    eMetaPosition = 1, // position of the first atom in its buffer
    eMetaSequence = 2, // running number of the buffer
    // Added by a stream client to each buffer it forwards: the number of the
    // buffer's first atom among the atoms that the stream offered its queue
    // (those dropped for it included). The remote interface's number of the
    // same meaning (zemtra_REMOTE::MetaOfferedAtom) has this value.
    eMetaOfferedAtom = 0x5a560001,
    // Added by the position controller of a history kept in sections to each
    // read of it: the atoms of the section read. The remote interface's entry
    // of the same meaning (zemtra_REMOTE::MetaSectionAtoms) has this value.
    eMetaSectionAtoms = 0x5a560002,
};

using SignalMeta = std::map<SignalMetaId_e, int64_t>;
extern const SignalMeta c_noMeta;

// How a refused read stands to what its signal holds, beside the words that
// explain the refusal: whether it starts after the last atom that the signal
// holds where it reads (past the end of a capture, a buffer or a section, or
// at atoms not recorded yet, or not due within the wait), and the atoms of
// the section that it reads in a history kept in sections (0: none).
struct RefusalKind {
    bool pastTheEnd = false;
    uint64_t sectionAtoms = 0;
};

// Local machine time: a count of ADC clock periods.
using LMT = uint64_t;

// One row of signal statistics: a name, two counters and the atom size.
struct SignalStatItem {
    std::string name;
    uint64_t first = 0;
    uint64_t second = 0;
    unsigned atomSize = 0;
};
using SignalStats = std::vector<SignalStatItem>;

std::ostream& operator<<(std::ostream& os, const SignalStatItem& item);
std::ostream& operator<<(std::ostream& os, const SignalStats& stats);

// Signal access type reported by sources and clients.
enum SignalAccessType_e : int { eAccessStream = 1, eAccessDataOnDemand = 2 };

} // namespace qsig

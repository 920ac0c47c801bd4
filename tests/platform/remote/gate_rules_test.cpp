// The rules that the gate's event loops share, as plain classes without
// sockets: the table of connections (admission and eviction past the bound
// of connections served, connections of clients gone counted apart, the
// bounds of arriving messages per address and in all, long messages that
// wait to read on) and the places of large requests. Table-driven sequences, and long random sequences checked after
// every step against a small model that keeps each entry's state and sums
// every count from those states.

#include "platform/remote/connection_table.h"
#include "platform/remote/large_request_places.h"
#include "tests/common/random_seed.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

using Table = remote::ConnectionTable;
using Admit_e = Table::Admit_e;
using Arriving_e = Table::Arriving_e;

constexpr int c_none = -1; // a step whose result is not looked at

int Of(Admit_e a)
{
    return static_cast<int>(a);
}
int Of(Arriving_e a)
{
    return static_cast<int>(a);
}

// --- the table in sequences ----------------------------------------------------

// Connections named 'a' to 'h' on a table whose wakes are recorded; each
// has a loop of its own (so a wake names it), and a to d come from one
// address, e to h from another.
class TableRig {
public:
    explicit TableRig(const Table::Limits& limits)
        : table(limits, [this](unsigned loop) { woken.insert(static_cast<char>('a' + loop)); })
    {
    }

    remote::GateEntry& Entry(char name)
    {
        auto& e = m_entries[name];
        if (!e) {
            const unsigned loop = static_cast<unsigned>(name - 'a');
            const std::string peer = name < 'e' ? "10.0.0.1" : "10.0.0.2";
            e = std::make_shared<remote::GateEntry>(loop + 1, loop, std::string("gate-") + name, peer + ":1", peer);
        }
        return *e;
    }
    std::shared_ptr<remote::GateEntry> Shared(char name)
    {
        Entry(name);
        return m_entries[name];
    }
    // Now its last reply went out (idle), or a request came (busy).
    void Mark(char name, bool idle)
    {
        if (idle) {
            Entry(name).idle.Replied(++m_tick, true);
        } else {
            Entry(name).idle.Active(++m_tick);
            Entry(name).idle.Set(false);
        }
    }

    Table table;
    std::set<char> woken;

private:
    std::map<char, std::shared_ptr<remote::GateEntry>> m_entries;
    std::int64_t m_tick = 0;
};

const char* Word(Admit_e a)
{
    return a == Admit_e::eServed    ? "served"
           : a == Admit_e::eWaiting ? "waits"
           : a == Admit_e::eRefused ? "refused"
                                    : "peer";
}
const char* Word(Arriving_e a)
{
    return a == Arriving_e::eOk ? "ok" : a == Arriving_e::eFromPeer ? "peer" : "all";
}
const char* Word(bool b)
{
    return b ? "yes" : "no";
}

// Runs a step, "OP WHO [BYTES]": what it answers ("" when nothing).
std::string RunStep(TableRig& rig, const std::string& op, char who, std::size_t bytes)
{
    remote::GateEntry& e = rig.Entry(who);
    if (op == "admit") {
        return Word(rig.table.Admit(rig.Shared(who)));
    }
    if (op == "admission") {
        return Word(rig.table.Admission(e));
    }
    if (op == "idle" || op == "busy") {
        rig.Mark(who, op == "idle");
        return "";
    }
    if (op == "gone" || op == "dropped") {
        rig.table.ClientGone(e, op == "gone");
        return "";
    }
    if (op == "asked") {
        return Word(rig.table.EvictAsked(e));
    }
    if (op == "keep") {
        rig.table.Keep(e);
        return "";
    }
    if (op == "remove") {
        rig.table.Remove(e);
        return "";
    }
    if (op == "arriving") {
        return Word(rig.table.Arriving(e, bytes));
    }
    if (op == "arrived") {
        rig.table.Arrived(e);
        return "";
    }
    if (op == "mayread") {
        return Word(rig.table.MayRead(e));
    }
    if (op == "resume") {
        return Word(rig.table.TakeResume(e));
    }
    if (op == "stopwaiting") {
        return Word(rig.table.StopWaiting(e));
    }
    if (op == "refuse") {
        return Word(rig.table.TakeRefuse(e));
    }
    ADD_FAILURE() << "no step " << op;
    return "";
}

std::string Text(const Table::Counts& c)
{
    std::ostringstream text;
    text << c.connections << " connections, " << c.newcomers << " newcomers, " << c.arriving << " arriving of "
         << c.arrivingBytes << " bytes, " << c.waiting << " waiting, " << c.gone << " of clients gone";
    return text.str();
}

// Each case admits its first connections, then takes its steps, separated
// by ";": "OP WHO [BYTES] [=ANSWER] [>WOKEN]" (WOKEN: whose loops are woken;
// none when not given).
TEST(ConnectionTable, SequencesOfAdmissionArrivalAndWaiting)
{
    const struct {
        const char* what;
        Table::Limits limits;
        const char* served; // admitted first
        const char* steps;
        Table::Counts after;
    } cases[] = {
        {"past the bound, the one idle the longest closes and the newcomer takes its room",
         {2, 4, 1000},
         "ab",
         "idle a; idle b; admit c =waits >a; asked a =yes; asked b =no; admission c =waits; remove a >c;"
         "admission c =served; asked a =no",
         {2, 0, 0, 0, 0, 0}},
        {"the one asked is busy: the next idle one is asked, then the newcomer is refused",
         {2, 4, 1000},
         "ab",
         "idle a; idle b; admit c =waits >a; busy a; keep a >b; asked a =no; asked b =yes; busy b; keep b >c;"
         "admission c =refused; admission c =refused",
         {2, 0, 0, 0, 0, 0}},
        {"a busy one is not asked twice for one newcomer, though it looks idle still",
         {2, 4, 1000},
         "ab",
         "idle a; admit c =waits >a; keep a >c; admission c =refused",
         {2, 0, 0, 0, 0, 0}},
        {"none idle: refused at once",
         {2, 4, 1000},
         "ab",
         "admit c =refused; admission c =refused",
         {2, 0, 0, 0, 0, 0}},
        {"idle the longest since its last reply, not since its last request",
         {3, 4, 1000},
         "abc",
         "busy a; busy b; busy c; idle b; idle c; idle a; admit d =waits >b; keep b >c; keep c >a",
         {3, 1, 0, 0, 0, 0}},
        {"each newcomer asks an idle one of its own",
         {2, 4, 1000},
         "ab",
         "idle a; idle b; admit c =waits >a; admit d =waits >b; admit e =refused; remove b >d; admission d =served",
         {2, 1, 0, 0, 0, 0}},
        {"one closed to make room and kept later, as it drains, counts no more",
         {2, 4, 1000},
         "ab",
         "idle a; admit c =waits >a; remove a >c; keep a; keep a; admission c =served; remove b; remove c; keep c;"
         "admit d =served; admit e =served; admit f =refused",
         {2, 0, 0, 0, 0, 0}},
        {"one that leaves makes room for a newcomer that waits",
         {2, 4, 1000},
         "ab",
         "idle a; admit c =waits >a; remove b >c; asked a =no; admission c =served",
         {2, 0, 0, 0, 0, 0}},
        {"a client gone while replies are owed takes no room; nothing of it arrives any more",
         {2, 4, 1000},
         "ab",
         "arriving a 100 =ok; busy b; admit c =refused; gone a; admit d =served; admit e =refused; gone a;"
         "arriving a 50 =ok; busy d; gone d; admit f =served",
         {2, 0, 0, 0, 0, 2}},
        {"past their bound, clients gone stay served until one of them is over",
         {1, 4, 1000},
         "a",
         "gone a; admit b =served; gone b; admit c =refused; remove a; admit c =served; remove a; remove b;"
         "gone c; remove c; remove c",
         {0, 0, 0, 0, 0, 0}},
        {"an address has a share of the connections of clients gone (an eighth of the bound), past which its "
         "new ones are refused",
         {16, 4, 1000},
         "abe",
         "gone a; admit c =served; gone c; admit d =peer; admit f =served; remove a; admit d =served; gone b;"
         "gone d",
         {2, 0, 0, 0, 0, 3}},
        {"one the gate ended with replies owed takes no room either, and counts for no address",
         {8, 4, 1000},
         "ab",
         "dropped a; dropped b; admit c =served; gone c; admit d =peer; remove c; admit d =served",
         {1, 0, 0, 0, 0, 2}},
        {"the one asked to close whose client goes leaves its room to the newcomer",
         {2, 4, 1000},
         "ab",
         "idle a; admit c =waits >a; busy a; gone a >c; asked a =no; admission c =served; keep a",
         {2, 0, 0, 0, 0, 1}},
        {"arriving messages per address",
         {4, 2, 1000},
         "abce",
         "arriving a 10 =ok; arriving a 20 =ok; arriving b 10 =ok; arriving c 10 =peer; arriving e 10 =ok;"
         "arrived a; arriving c 30 =ok",
         {4, 0, 3, 50, 0, 0}},
        {"past the bytes in all, the message that holds the most is refused",
         {4, 4, 1000},
         "abc",
         "arriving a 500 =ok; arriving b 300 =ok; arriving c 300 =ok >a; refuse a =yes; refuse a =no;"
         "arriving c 750 =all",
         {3, 0, 1, 300, 0, 0}},
        {"of equal holders, the caller is refused, else the oldest",
         {4, 4, 1000},
         "abc",
         "arriving b 400 =ok; arriving a 400 =ok; arriving c 400 =all; arriving c 250 =ok >a",
         {3, 0, 2, 650, 0, 0}},
        {"one asked to be refused is refused at its next bytes",
         {4, 4, 1000},
         "ab",
         "arriving a 600 =ok; arriving b 300 =ok; arriving b 450 =ok >a; arriving a 700 =all; refuse a =no",
         {2, 0, 1, 450, 0, 0}},
        {"one asked to be refused whose message has arrived meanwhile goes on, and so does its next",
         {4, 4, 1000},
         "ab",
         "arriving a 600 =ok; arriving b 300 =ok; arriving b 450 =ok >a; arrived a; refuse a =no; arriving a 50 =ok",
         {2, 0, 2, 500, 0, 0}},
        {"a connection removed counts no arriving message",
         {4, 4, 1000},
         "a",
         "arriving a 100 =ok; remove a; arriving a 200 =ok; arrived a",
         {0, 0, 0, 0, 0, 0}},
        {"past half the bytes, only the longest reads on; the others once below half",
         {4, 4, 1000},
         "ab",
         "arriving a 400 =ok; mayread a =yes; arriving b 300 =ok; mayread b =no; mayread a =yes; resume b =no;"
         "arrived a >b; resume b =yes; resume b =no",
         {2, 0, 1, 300, 0, 0}},
        {"past half still, the longest of those waiting reads on",
         {4, 4, 1000},
         "abc",
         "arriving a 250 =ok; mayread a =yes; arriving b 400 =ok; mayread b =yes; mayread a =no;"
         "arriving c 300 =ok; mayread c =no; arrived b >c; resume a =no; resume c =yes",
         {3, 0, 2, 550, 1, 0}},
        {"one that gives up waiting no longer waits, unless asked to read on first",
         {4, 4, 1000},
         "abc",
         "arriving a 400 =ok; mayread a =yes; arriving b 300 =ok; mayread b =no; arriving c 200 =ok;"
         "mayread c =no; stopwaiting c =yes; arrived a >b; stopwaiting b =no",
         {3, 0, 2, 500, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TableRig rig(c.limits);
        for (const char* who = c.served; *who != '\0'; ++who) {
            EXPECT_EQ("served", RunStep(rig, "admit", *who, 0));
        }
        std::istringstream steps(c.steps);
        for (std::string step; std::getline(steps, step, ';');) {
            std::istringstream words(step);
            std::string op;
            char who = 0;
            words >> op >> who;
            std::size_t bytes = 0;
            std::string answer;
            std::string woken;
            for (std::string word; words >> word;) {
                if (word[0] == '=') {
                    answer = word.substr(1);
                } else if (word[0] == '>') {
                    woken = word.substr(1);
                } else {
                    bytes = std::stoul(word);
                }
            }
            rig.woken.clear();
            const std::string answered = RunStep(rig, op, who, bytes);
            if (!answer.empty()) {
                EXPECT_EQ(answer, answered) << step;
            }
            EXPECT_EQ(std::set<char>(woken.begin(), woken.end()), rig.woken) << step;
        }
        EXPECT_EQ(Text(c.after), Text(rig.table.Counted()));
        EXPECT_EQ(c.after.connections + c.after.gone, rig.table.Count());
    }
}

// --- the table against a model -----------------------------------------------

// The rules of the table the plainest way: each connection's state, and
// every count summed from those states.
class TableModel {
public:
    struct Entry {
        std::shared_ptr<remote::GateEntry> real;
        bool listed = false;
        bool gone = false;        // its client has gone
        bool left = false;        // of its own accord (not ended by the gate)
        bool countedGone = false; // counted apart
        bool idle = false;
        std::int64_t lastActive = 0;
        bool arriving = false;
        std::size_t bytes = 0;
        bool mayWait = false;
        bool waiting = false;
        bool resume = false;
        bool refuse = false;
    };

    explicit TableModel(const Table::Limits& limits) : m_limits(limits) {}

    Admit_e Admit(Entry& e, std::set<unsigned>& wake)
    {
        const unsigned share = m_limits.maxConnections / 8;
        if (share > 0 && GoneFrom(e.real->peer) >= share) {
            return Admit_e::eFromPeer;
        }
        if (Listed() < m_limits.maxConnections) {
            e.listed = true;
            return Admit_e::eServed;
        }
        Entry* victim = Idlest(nullptr);
        if (victim == nullptr) {
            return Admit_e::eRefused;
        }
        wake.insert(victim->real->loop);
        m_newcomers.push_back(Newcomer{&e, victim, {}, Admit_e::eWaiting});
        return Admit_e::eWaiting;
    }

    Admit_e Admission(const Entry& e)
    {
        const auto it =
            std::find_if(m_newcomers.begin(), m_newcomers.end(), [&](const Newcomer& n) { return n.entry == &e; });
        if (it == m_newcomers.end()) {
            return Admit_e::eRefused;
        }
        const Admit_e admission = it->admission;
        if (admission != Admit_e::eWaiting) {
            m_newcomers.erase(it);
        }
        return admission;
    }

    void Remove(Entry& e, std::set<unsigned>& wake)
    {
        if (e.listed) {
            Clear(e);
            e.listed = false;
            Room(e, wake);
        } else if (e.countedGone) {
            e.countedGone = false;
            Entry* oldest = nullptr;
            for (Entry* x : m_all) {
                if (x->listed && x->gone && (oldest == nullptr || x->real->serial < oldest->real->serial)) {
                    oldest = x;
                }
            }
            if (oldest != nullptr) {
                oldest->listed = false;
                oldest->countedGone = true;
                Room(*oldest, wake);
            }
        } else {
            return;
        }
        Resume(wake);
    }

    void ClientGone(Entry& e, bool left, std::set<unsigned>& wake)
    {
        if (!e.listed || e.gone) {
            return;
        }
        e.gone = true;
        e.left = left;
        Clear(e);
        if (Counts().gone < m_limits.maxConnections) {
            e.listed = false;
            e.countedGone = true;
            Room(e, wake);
        }
        Resume(wake);
    }

    void Keep(Entry& e, std::set<unsigned>& wake)
    {
        for (Newcomer& n : m_newcomers) {
            if (n.admission == Admit_e::eWaiting && n.victim == &e) {
                n.busy.insert(&e);
                Decide(n, wake);
            }
        }
    }

    bool Asked(const Entry& e) const
    {
        return std::any_of(m_newcomers.begin(), m_newcomers.end(),
                           [&](const Newcomer& n) { return n.admission == Admit_e::eWaiting && n.victim == &e; });
    }

    bool Newcoming(const Entry& e) const
    {
        return std::any_of(m_newcomers.begin(), m_newcomers.end(), [&](const Newcomer& n) { return n.entry == &e; });
    }

    Arriving_e Arriving(Entry& e, std::size_t bytes, std::set<unsigned>& wake)
    {
        if (!e.listed || e.gone) {
            return Arriving_e::eOk;
        }
        if (e.refuse) {
            e.refuse = false;
            return Arriving_e::eInAll;
        }
        if (!e.arriving) {
            if (ArrivingFrom(e.real->peer) >= m_limits.maxArrivingPerPeer) {
                return Arriving_e::eFromPeer;
            }
            e.arriving = true;
        }
        e.bytes = bytes;
        if (Counts().arrivingBytes <= m_limits.maxArrivingBytes) {
            return Arriving_e::eOk;
        }
        Entry* largest = &e;
        for (Entry* x : m_all) {
            if (x->arriving && (x->bytes > largest->bytes || (x->bytes == largest->bytes && largest != &e &&
                                                              x->real->serial < largest->real->serial))) {
                largest = x;
            }
        }
        Clear(*largest);
        Arriving_e result = Arriving_e::eOk;
        if (largest == &e) {
            result = Arriving_e::eInAll;
        } else {
            largest->refuse = true;
            wake.insert(largest->real->loop);
        }
        Resume(wake);
        return result;
    }

    void Arrived(Entry& e, std::set<unsigned>& wake)
    {
        e.refuse = false; // (asked for the message that has arrived)
        if (e.arriving) {
            Clear(e);
            Resume(wake);
        }
    }

    bool MayRead(Entry& e, std::set<unsigned>& wake)
    {
        if (!e.arriving) {
            return true;
        }
        e.mayWait = true;
        e.resume = false;
        if (!PastHalf() || Longest() == &e) {
            e.waiting = false;
            return true;
        }
        e.waiting = true;
        Resume(wake);
        return false;
    }

    bool StopWaiting(Entry& e)
    {
        if (std::exchange(e.resume, false)) {
            return false;
        }
        e.waiting = false;
        return true;
    }

    Table::Counts Counts() const
    {
        Table::Counts c;
        for (const Entry* e : m_all) {
            c.connections += e->listed ? 1 : 0;
            c.gone += e->countedGone ? 1 : 0;
            c.arriving += e->arriving ? 1 : 0;
            c.arrivingBytes += e->arriving ? e->bytes : 0;
            c.waiting += e->waiting ? 1 : 0;
        }
        c.newcomers =
            static_cast<std::size_t>(std::count_if(m_newcomers.begin(), m_newcomers.end(),
                                                   [](const Newcomer& n) { return n.admission == Admit_e::eWaiting; }));
        return c;
    }

    std::size_t ArrivingFrom(const std::string& peer) const
    {
        return static_cast<std::size_t>(std::count_if(
            m_all.begin(), m_all.end(), [&](const Entry* e) { return e->arriving && e->real->peer == peer; }));
    }

    std::size_t GoneFrom(const std::string& peer) const
    {
        return static_cast<std::size_t>(std::count_if(m_all.begin(), m_all.end(), [&](const Entry* e) {
            return e->left && (e->listed || e->countedGone) && e->real->peer == peer;
        }));
    }

    // The entries the model looks at (the caller keeps them).
    std::vector<Entry*> m_all;

private:
    struct Newcomer {
        Entry* entry;
        Entry* victim;
        std::set<const Entry*> busy;
        Admit_e admission;
    };

    std::size_t Listed() const { return Counts().connections; }

    // The room e left goes to the newcomer that asked it to close first,
    // then to others that wait, while there is room.
    void Room(const Entry& e, std::set<unsigned>& wake)
    {
        for (Newcomer& n : m_newcomers) {
            if (n.admission == Admit_e::eWaiting && n.victim == &e) {
                Decide(n, wake);
            }
        }
        for (Newcomer& n : m_newcomers) {
            if (n.admission == Admit_e::eWaiting && Listed() < m_limits.maxConnections) {
                Decide(n, wake);
            }
        }
    }

    Entry* Idlest(const Newcomer* n) const
    {
        Entry* idlest = nullptr;
        for (Entry* e : m_all) {
            if (e->listed && e->idle && !Asked(*e) && (n == nullptr || n->busy.count(e) == 0) &&
                (idlest == nullptr || e->lastActive < idlest->lastActive ||
                 (e->lastActive == idlest->lastActive && e->real->serial < idlest->real->serial))) {
                idlest = e;
            }
        }
        return idlest;
    }

    void Decide(Newcomer& n, std::set<unsigned>& wake)
    {
        n.victim = nullptr;
        if (Listed() < m_limits.maxConnections) {
            n.entry->listed = true;
            n.admission = Admit_e::eServed;
            wake.insert(n.entry->real->loop);
            return;
        }
        n.victim = Idlest(&n);
        if (n.victim != nullptr) {
            wake.insert(n.victim->real->loop);
            return;
        }
        n.admission = Admit_e::eRefused;
        wake.insert(n.entry->real->loop);
    }

    static void Clear(Entry& e)
    {
        e.arriving = false;
        e.bytes = 0;
        e.mayWait = false;
        e.waiting = false;
        e.resume = false;
    }

    bool PastHalf() const { return Counts().arrivingBytes > m_limits.maxArrivingBytes / 2; }

    Entry* Longest() const
    {
        Entry* longest = nullptr;
        for (Entry* e : m_all) {
            if (e->arriving && e->mayWait &&
                (longest == nullptr || e->bytes > longest->bytes ||
                 (e->bytes == longest->bytes && e->real->serial < longest->real->serial))) {
                longest = e;
            }
        }
        return longest;
    }

    void Resume(std::set<unsigned>& wake)
    {
        const auto resume = [&](Entry& e) {
            e.waiting = false;
            e.resume = true;
            wake.insert(e.real->loop);
        };
        if (!PastHalf()) {
            for (Entry* e : m_all) {
                if (e->waiting) {
                    resume(*e);
                }
            }
        } else if (Entry* longest = Longest(); longest != nullptr && longest->waiting) {
            resume(*longest);
        }
    }

    const Table::Limits m_limits;
    std::vector<Newcomer> m_newcomers;
};

std::string Loops(const std::set<unsigned>& loops)
{
    std::string text;
    for (const unsigned loop : loops) {
        text += " " + std::to_string(loop);
    }
    return text;
}

// 100,000 random steps as the gate's loops take them (admissions, busy and
// idle marks, evictions asked, kept and done, clients gone, connections
// leaving, also when asked before, messages arriving, arrived, waiting and
// resumed), on small bounds that are met often; after each, the table's
// answers, wakes and counts equal the model's.
TEST(ConnectionTable, RandomSequencesKeepTheModelsCounts)
{
    const std::uint64_t seed = zvtest::RandomSeed();
    std::mt19937_64 random(seed);
    const auto below = [&random](std::size_t n) { return static_cast<std::size_t>(random() % n); };
    // (With 8 connections, an address has a share of one of clients gone.)
    for (const Table::Limits limits : {Table::Limits{4, 2, 1000}, Table::Limits{8, 2, 1000}}) {
        SCOPED_TRACE(limits.maxConnections);
        const std::string peers[] = {"10.0.0.1", "10.0.0.2", "10.0.0.3"};
        std::set<unsigned> woken;
        Table table(limits, [&woken](unsigned loop) { woken.insert(loop); });
        TableModel model(limits);
        std::vector<std::unique_ptr<TableModel::Entry>> entries; // (the model points to them)
        std::uint64_t serials = 0;
        std::int64_t tick = 0;
        std::string failure;
        for (int step = 0; step < 100000 && failure.empty(); ++step) {
            // Entries neither listed nor waiting to be are forgotten once many.
            const auto forgotten = std::find_if(entries.begin(), entries.end(), [&](const auto& e) {
                return !e->listed && !e->countedGone && !model.Newcoming(*e);
            });
            if (entries.size() > 12 && forgotten != entries.end()) {
                model.m_all.erase(std::find(model.m_all.begin(), model.m_all.end(), forgotten->get()));
                entries.erase(forgotten);
            }
            std::set<unsigned> wake;
            woken.clear();
            std::ostringstream what;
            int expected = c_none;
            int result = c_none;
            const std::size_t op = below(100);
            if (entries.empty() || op < 12) {
                const std::uint64_t serial = ++serials;
                entries.push_back(std::make_unique<TableModel::Entry>());
                TableModel::Entry& e = *entries.back();
                const std::string& peer = peers[below(3)];
                e.real = std::make_shared<remote::GateEntry>(serial, static_cast<unsigned>(serial),
                                                             "gate-" + std::to_string(serial), peer + ":1", peer);
                model.m_all.push_back(&e);
                what << "admit " << serial;
                expected = Of(model.Admit(e, wake));
                result = Of(table.Admit(e.real));
            } else {
                TableModel::Entry& e = *entries[below(entries.size())];
                what << e.real->serial << ": ";
                if (op < 20) {
                    // (Its last reply, or an idle mark alone, as the loop
                    // sets it again.)
                    what << "idle";
                    e.idle = true;
                    if (below(2) == 0) {
                        e.lastActive = ++tick;
                        e.real->idle.Replied(tick, true);
                    } else {
                        e.real->idle.Set(true);
                    }
                } else if (op < 30) {
                    what << "busy";
                    e.idle = false;
                    e.lastActive = ++tick;
                    e.real->idle.Active(tick);
                    e.real->idle.Set(false);
                } else if (op < 36) {
                    what << "admission";
                    expected = Of(model.Admission(e));
                    result = Of(table.Admission(*e.real));
                } else if (op < 46) {
                    // The loop of one asked to close looks: it is closed (and
                    // removed) when idle, kept when busy; or late, once removed.
                    TableModel::Entry* asked = &e;
                    for (const auto& x : entries) {
                        asked = model.Asked(*x) ? x.get() : asked;
                    }
                    what << "asked " << asked->real->serial << (asked->idle ? " closes" : " kept");
                    if (asked->idle) {
                        model.Remove(*asked, wake);
                        table.Remove(*asked->real);
                    } else {
                        model.Keep(*asked, wake);
                        table.Keep(*asked->real);
                    }
                } else if (op < 50) {
                    what << "kept";
                    model.Keep(e, wake);
                    table.Keep(*e.real);
                } else if (op < 53) {
                    const bool left = below(3) > 0;
                    what << (left ? "client gone" : "ended by the gate");
                    model.ClientGone(e, left, wake);
                    table.ClientGone(*e.real, left);
                } else if (op < 56) {
                    what << "removed";
                    model.Remove(e, wake);
                    table.Remove(*e.real);
                } else if (op < 72) {
                    const std::size_t bytes = e.arriving ? e.bytes + below(300) : 1 + below(400);
                    what << "arriving " << bytes;
                    expected = Of(model.Arriving(e, bytes, wake));
                    result = Of(table.Arriving(*e.real, bytes));
                } else if (op < 78) {
                    what << "arrived";
                    model.Arrived(e, wake);
                    table.Arrived(*e.real);
                } else if (op < 86) {
                    what << "may read";
                    expected = model.MayRead(e, wake);
                    result = table.MayRead(*e.real);
                } else if (op < 92) {
                    what << "resume";
                    expected = std::exchange(e.resume, false);
                    result = table.TakeResume(*e.real);
                } else if (op < 96) {
                    what << "stop waiting";
                    expected = model.StopWaiting(e);
                    result = table.StopWaiting(*e.real);
                } else {
                    what << "refuse";
                    expected = std::exchange(e.refuse, false);
                    result = table.TakeRefuse(*e.real);
                }
            }
            std::ostringstream wrong;
            if (result != expected) {
                wrong << "answered " << result << " for " << expected << "; ";
            }
            if (woken != wake) {
                wrong << "woke" << Loops(woken) << " for" << Loops(wake) << "; ";
            }
            const Table::Counts counts = table.Counted();
            if (Text(counts) != Text(model.Counts()) || table.Count() != counts.connections + counts.gone) {
                wrong << "counts " << Text(counts) << " for " << Text(model.Counts()) << "; ";
            }
            for (const std::string& peer : peers) {
                if (table.ArrivingFrom(peer) != model.ArrivingFrom(peer)) {
                    wrong << "arriving from " << peer << " " << table.ArrivingFrom(peer) << " for "
                          << model.ArrivingFrom(peer) << "; ";
                }
                if (table.GoneFrom(peer) != model.GoneFrom(peer)) {
                    wrong << "gone from " << peer << " " << table.GoneFrom(peer) << " for " << model.GoneFrom(peer)
                          << "; ";
                }
            }
            for (const auto& x : entries) {
                if (table.EvictAsked(*x->real) != model.Asked(*x)) {
                    wrong << x->real->serial << " asked to close " << !model.Asked(*x) << "; ";
                }
            }
            if (!wrong.str().empty()) {
                failure = "step " + std::to_string(step) + " (" + what.str() + "): " + wrong.str();
            }
        }
        EXPECT_EQ("", failure) << "seed " << seed << " (ZV_TEST_SEED replays it)";
    }
}

// --- the places of large requests ----------------------------------------------

// Connections 1 to 4, each with a loop of its own (its serial).
struct PlacesStep {
    const char* op; // "ask", "granted", "withdraw", "release"
    std::uint64_t who;
    int result = c_none; // Ask_e or a bool
    std::vector<unsigned> woken = {};
};

TEST(LargeRequestPlaces, SequencesOfAsksGrantsAndReleases)
{
    using Ask_e = remote::LargeRequestPlaces::Ask_e;
    const int taken = static_cast<int>(Ask_e::eTaken);
    const int waits = static_cast<int>(Ask_e::eWaiting);
    const int refused = static_cast<int>(Ask_e::eRefused);
    const struct {
        const char* what;
        unsigned places;
        unsigned maxWaiting;
        std::vector<PlacesStep> steps;
        std::size_t waitingAfter;
        std::size_t takenAfter;
    } cases[] = {
        {"taken while free, then in turn, refused past the bound of waiting ones",
         1,
         2,
         {{"ask", 1, taken},
          {"ask", 2, waits},
          {"ask", 3, waits},
          {"ask", 4, refused},
          {"granted", 2, false},
          {"release", 1, c_none, {2}},
          {"granted", 3, false},
          {"granted", 2, true},
          {"granted", 2, false},
          {"release", 2, c_none, {3}},
          {"granted", 3, true}},
         0,
         1},
        {"a place given to one that withdraws goes to the next",
         1,
         4,
         {{"ask", 1, taken},
          {"ask", 2, waits},
          {"ask", 3, waits},
          {"release", 1, c_none, {2}},
          {"withdraw", 2, c_none, {3}},
          {"granted", 2, false},
          {"granted", 3, true}},
         0,
         1},
        {"one that withdraws while it waits gives up its turn only",
         1,
         4,
         {{"ask", 1, taken},
          {"ask", 2, waits},
          {"ask", 3, waits},
          {"withdraw", 2},
          {"release", 1, c_none, {3}},
          {"granted", 3, true}},
         0,
         1},
        {"a place given and not looked at yet is not free",
         2,
         4,
         {{"ask", 1, taken},
          {"ask", 2, taken},
          {"ask", 3, waits},
          {"release", 1, c_none, {3}},
          {"ask", 4, waits},
          {"granted", 3, true}},
         1,
         2},
        {"what a connection does not hold or wait for changes nothing",
         1,
         4,
         {{"release", 1}, {"withdraw", 1}, {"granted", 1, false}, {"ask", 1, taken}, {"release", 2}, {"ask", 2, waits}},
         1,
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<unsigned> woken;
        remote::LargeRequestPlaces places(c.places, c.maxWaiting, [&woken](unsigned loop) { woken.push_back(loop); });
        for (std::size_t i = 0; i < c.steps.size(); ++i) {
            const PlacesStep& s = c.steps[i];
            const std::string op = s.op;
            woken.clear();
            int result = c_none;
            if (op == "ask") {
                result = static_cast<int>(places.Ask(s.who, static_cast<unsigned>(s.who)));
            } else if (op == "granted") {
                result = places.Granted(s.who);
            } else if (op == "withdraw") {
                places.Withdraw(s.who);
            } else {
                places.Release(s.who);
            }
            if (s.result != c_none) {
                EXPECT_EQ(s.result, result) << "step " << i << ": " << op << " " << s.who;
            }
            EXPECT_EQ(s.woken, woken) << "step " << i << ": " << op << " " << s.who;
        }
        EXPECT_EQ(c.waitingAfter, places.Waiting());
        EXPECT_EQ(c.takenAfter, places.Taken());
    }
}

// 100,000 random steps of connections that ask for a place, look whether
// they were given one, withdraw and give theirs back (also when they hold
// none); after each, the answers, wakes and waiting equal a model's, and
// never more are given than there are places.
TEST(LargeRequestPlaces, RandomSequencesKeepTheModelsPlaces)
{
    using Ask_e = remote::LargeRequestPlaces::Ask_e;
    const std::uint64_t seed = zvtest::RandomSeed();
    std::mt19937_64 random(seed);
    constexpr unsigned c_places = 2;
    constexpr unsigned c_maxWaiting = 3;
    constexpr std::uint64_t c_connections = 8;
    std::vector<unsigned> woken;
    remote::LargeRequestPlaces places(c_places, c_maxWaiting, [&woken](unsigned loop) { woken.push_back(loop); });
    // The model: in turn, given (not looked at yet), held.
    std::deque<std::uint64_t> queue;
    std::set<std::uint64_t> given;
    std::set<std::uint64_t> held;
    std::vector<unsigned> wake;
    const auto grant = [&] {
        while (!queue.empty() && held.size() + given.size() < c_places) {
            given.insert(queue.front());
            wake.push_back(static_cast<unsigned>(queue.front()));
            queue.pop_front();
        }
    };
    std::string failure;
    for (int step = 0; step < 100000 && failure.empty(); ++step) {
        const std::uint64_t who = 1 + random() % c_connections;
        const std::size_t op = random() % 4;
        const bool inQueue = std::find(queue.begin(), queue.end(), who) != queue.end();
        woken.clear();
        wake.clear();
        int expected = c_none;
        int result = c_none;
        std::string what;
        if (op == 0 && !inQueue && given.count(who) == 0 && held.count(who) == 0) {
            what = "ask";
            Ask_e e = Ask_e::eWaiting;
            if (queue.empty() && held.size() + given.size() < c_places) {
                held.insert(who);
                e = Ask_e::eTaken;
            } else if (queue.size() >= c_maxWaiting) {
                e = Ask_e::eRefused;
            } else {
                queue.push_back(who);
            }
            expected = static_cast<int>(e);
            result = static_cast<int>(places.Ask(who, static_cast<unsigned>(who)));
        } else if (op == 1) {
            what = "granted";
            expected = given.erase(who) > 0;
            if (expected != 0) {
                held.insert(who);
            }
            result = places.Granted(who);
        } else if (op == 2 && held.count(who) == 0) {
            what = "withdraw";
            if (inQueue) {
                queue.erase(std::find(queue.begin(), queue.end(), who));
            } else if (given.erase(who) > 0) {
                grant();
            }
            places.Withdraw(who);
        } else {
            what = "release";
            if (held.erase(who) > 0) {
                grant();
            }
            places.Release(who);
        }
        if (result != expected || woken != wake || places.Waiting() != queue.size() ||
            places.Taken() != held.size() + given.size() || held.size() + given.size() > c_places) {
            failure = "step " + std::to_string(step) + " (" + what + " " + std::to_string(who) + "): answered " +
                      std::to_string(result) + " for " + std::to_string(expected) + ", woke " +
                      std::to_string(woken.size()) + " for " + std::to_string(wake.size()) + ", " +
                      std::to_string(places.Waiting()) + " waiting for " + std::to_string(queue.size());
        }
    }
    EXPECT_EQ("", failure) << "seed " << seed << " (ZV_TEST_SEED replays it)";
}

} // namespace

#pragma once
// Wake-ups of the readers that sleep on their client queues, made by a
// producer after it has released its locks.
//
// The part of a queue that its reader sleeps on (its mutex, its condition
// and the reader's flags) is shared with the producers that are about to
// wake the reader, so that a wake that comes after the queue has gone
// touches nothing freed.
//
// The readers that one fan-out found asleep are woken as a binary tree: the
// producer wakes the first, and every reader, once it runs, wakes the two
// below it (entries 2i + 1 and 2i + 2). No thread makes more than a few
// wake-ups, whatever the number of readers. A reader that no longer sleeps
// when its turn comes is skipped, and its waker wakes its two itself.

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace qsig {

class ReaderWakes;

struct ReaderSignal {
    std::mutex mutex;     // the queue's mutex
    bool waiting = false; // the reader sleeps (or is about to) in its queue's Pop
    bool woken = false;   // a wake is on its way; the reader then wakes its part of the tree
    std::size_t index = 0;
    std::shared_ptr<ReaderWakes> tree;
    std::condition_variable cond; // the reader sleeps on it
};

class ReaderWakes {
public:
    explicit ReaderWakes(std::size_t expected) { m_readers.reserve(expected); }

    void Add(std::shared_ptr<ReaderSignal> reader) { m_readers.push_back(std::move(reader)); }

    // Wakes the reader at index i with its part of the tree.
    static void Wake(const std::shared_ptr<ReaderWakes>& tree, std::size_t i)
    {
        if (i >= tree->m_readers.size()) {
            return;
        }
        ReaderSignal& reader = *tree->m_readers[i];
        bool handed = false;
        {
            std::lock_guard<std::mutex> lock(reader.mutex);
            if (reader.waiting && !reader.woken) {
                reader.woken = true;
                reader.tree = tree;
                reader.index = i;
                handed = true;
            }
        }
        if (handed) {
            reader.cond.notify_one();
        } else {
            WakeBelow(tree, i);
        }
    }

    // The two below the reader at index i.
    static void WakeBelow(const std::shared_ptr<ReaderWakes>& tree, std::size_t i)
    {
        Wake(tree, 2 * i + 1);
        Wake(tree, 2 * i + 2);
    }

    // Called by a reader that woke, with its lock held through lock: when a
    // wake with part of a tree came, wakes that part (with the lock
    // released meanwhile). True when it did.
    static bool PassOn(ReaderSignal& reader, std::unique_lock<std::mutex>& lock)
    {
        if (!reader.woken) {
            return false;
        }
        std::shared_ptr<ReaderWakes> tree = std::move(reader.tree);
        const std::size_t index = reader.index;
        reader.woken = false;
        reader.waiting = false;
        lock.unlock();
        WakeBelow(tree, index);
        tree.reset();
        lock.lock();
        return true;
    }

private:
    std::vector<std::shared_ptr<ReaderSignal>> m_readers;
};

} // namespace qsig

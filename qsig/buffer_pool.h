#pragma once
// Recycled buffers of a stream's fan-out. A dispatch takes a pair (with the
// storage of its array) from the pool and shares it with the clients; when
// its last holder lets go, the pair comes back with its storage instead of
// being freed, and so does the bookkeeping block of the shared pointer.
// Once the pool is warm a dispatch allocates nothing. The pool keeps at most
// c_maxFree pairs. Buffers may outlive the stream that made them: the pool
// is counted by its owner and by every buffer out, and goes with the last.

#include "qsig/meta_buffer_pair.h"

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

namespace qsig {

template <typename T> class BufferPool {
public:
    using Pair = MetaBufferPair<T>;
    using MetaBufferPtr = typename Pair::MetaBufferPtr;
    static constexpr std::size_t c_maxFree = 32;

    // Gives a pair back to the pool.
    struct Giver {
        BufferPool* pool;
        void operator()(Pair* pair) const { pool->Give(pair); }
    };
    using Lease = std::unique_ptr<Pair, Giver>;

    // The owner's count is the first.
    static BufferPool* Create(const T& traits) { return new BufferPool(traits); }
    // Ends the owner's count.
    void Release() { Unref(); }

    // A pair whose array is owned and holds atoms atoms (contents left from
    // an earlier use), with empty metadata.
    Lease Take(unsigned atoms)
    {
        Pair* pair = nullptr;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_pairs.empty()) {
                pair = m_pairs.back();
                m_pairs.pop_back();
            }
        }
        Lease lease(pair != nullptr ? pair : new Pair(Array<T>(m_traits, 0), c_noMeta), Giver{this});
        lease->meta.clear();
        if (!lease->data.IsOwned()) {
            lease->data = Array<T>(m_traits, 0);
        }
        lease->data.Resize(atoms);
        return lease;
    }

    // Shares the pair with the clients; it comes back when the last holder
    // of the shared pointer lets go.
    MetaBufferPtr Share(Lease lease)
    {
        Pair* pair = lease.release();
        return MetaBufferPtr(pair, Giver{this}, Allocator<Pair>(this));
    }

private:
    // Allocates the shared pointers' bookkeeping blocks from the pool; every
    // block out counts the pool.
    template <typename U> struct Allocator {
        using value_type = U;
        explicit Allocator(BufferPool* p) : pool(p) {}
        template <typename V> Allocator(const Allocator<V>& other) : pool(other.pool) {}
        U* allocate(std::size_t n) { return static_cast<U*>(pool->TakeBlock(n * sizeof(U))); }
        void deallocate(U* block, std::size_t n) { pool->GiveBlock(block, n * sizeof(U)); }
        template <typename V> bool operator==(const Allocator<V>& other) const { return pool == other.pool; }
        template <typename V> bool operator!=(const Allocator<V>& other) const { return pool != other.pool; }
        BufferPool* pool;
    };

    explicit BufferPool(const T& traits) : m_traits(traits) {}
    ~BufferPool()
    {
        for (Pair* pair : m_pairs) {
            delete pair;
        }
        for (void* block : m_blocks) {
            ::operator delete(block);
        }
    }

    void Give(Pair* pair)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_pairs.size() < c_maxFree) {
                m_pairs.push_back(pair);
                return;
            }
        }
        delete pair;
    }

    void* TakeBlock(std::size_t bytes)
    {
        void* block = nullptr;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_blockSize == 0) {
                m_blockSize = bytes;
            }
            if (bytes == m_blockSize && !m_blocks.empty()) {
                block = m_blocks.back();
                m_blocks.pop_back();
            }
        }
        if (block == nullptr) {
            block = ::operator new(bytes);
        }
        m_refs.fetch_add(1, std::memory_order_relaxed);
        return block;
    }

    void GiveBlock(void* block, std::size_t bytes)
    {
        bool kept = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (bytes == m_blockSize && m_blocks.size() < c_maxFree) {
                m_blocks.push_back(block);
                kept = true;
            }
        }
        if (!kept) {
            ::operator delete(block);
        }
        Unref();
    }

    void Unref()
    {
        if (m_refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            delete this;
        }
    }

    const T m_traits;
    std::atomic<std::size_t> m_refs{1};
    std::mutex m_mutex;
    std::vector<Pair*> m_pairs;
    std::vector<void*> m_blocks;
    std::size_t m_blockSize = 0;
};

} // namespace qsig

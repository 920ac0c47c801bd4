// Cost of a client read and write of a function node and of a bit-field node
// against a direct call of the bound getter and setter (or the bare
// read-modify-write of the register word); and of a client-access get and set
// by path in a tree of three levels of 20 siblings against the typed call of
// the node itself, measured side by side in one benchmark.

#include "mci/factory.h"
#include "platform/fpga/fpga_access.h"
#include "platform/mci/client_access.h"
#include "platform/qreg/reg_value_node.h"
#include "qreg/reg_fnc_node.h"
#include "qreg/reg_reference_bit_node.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace {

// The getter and setter are kept out of line, as an object's functions in
// another translation unit would be.
struct Owner {
    unsigned int value = 0;
    __attribute__((noinline)) bool Set(const unsigned int& v)
    {
        value = v;
        return true;
    }
    __attribute__((noinline)) bool Get(unsigned int& v) const
    {
        v = value;
        return true;
    }
};

struct Fixture {
    Owner owner;
    volatile unsigned int word = 0;
    mci::TreeNodePtr root = mci::factory::Create<qreg::RegNode>("root");
    mci::TreeNodePtr fnc =
        root->Add(mci::factory::Create<qreg::RegFncNode<unsigned int>>("fnc", &owner, &Owner::Set, &Owner::Get));
    mci::TreeNodePtr bits = root->Add(
        mci::factory::Create<qreg::RegReferenceBitNode<unsigned int, volatile unsigned int>>("bits", word, 8, 4, 6));
    mci::ClientAccess client{root};
};

Fixture& Get()
{
    static Fixture f;
    return f;
}

void DirectFncGet(benchmark::State& state)
{
    Owner& o = Get().owner;
    bool (Owner::*getter)(unsigned int&) const = &Owner::Get;
    for (auto _ : state) {
        unsigned int v;
        benchmark::DoNotOptimize((o.*getter)(v));
        benchmark::DoNotOptimize(v);
    }
}
BENCHMARK(DirectFncGet);

void DirectFncSet(benchmark::State& state)
{
    Owner& o = Get().owner;
    bool (Owner::*setter)(const unsigned int&) = &Owner::Set;
    unsigned int i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize((o.*setter)(++i));
    }
}
BENCHMARK(DirectFncSet);

void ClientFncGet(benchmark::State& state)
{
    auto& node = dynamic_cast<qreg::RegNode&>(*Get().fnc);
    for (auto _ : state) {
        unsigned int v;
        node.Get(v, 0, mci::c_noRelPath);
        benchmark::DoNotOptimize(v);
    }
}
BENCHMARK(ClientFncGet);

void ClientFncSet(benchmark::State& state)
{
    auto& node = dynamic_cast<qreg::RegNode&>(*Get().fnc);
    unsigned int i = 0;
    for (auto _ : state) {
        node.Set(++i, 0, mci::c_noRelPath);
    }
}
BENCHMARK(ClientFncSet);

void ClientFncGetByPath(benchmark::State& state)
{
    auto& client = Get().client;
    for (auto _ : state) {
        benchmark::DoNotOptimize(client.GetInteger("fnc"));
    }
}
BENCHMARK(ClientFncGetByPath);

// The bare field access through the register accessor layer.
volatile FPGAMem_t* WordBase()
{
    return reinterpret_cast<volatile FPGAMem_t*>(const_cast<unsigned int*>(&Get().word));
}

void DirectBitsGet(benchmark::State& state)
{
    volatile FPGAMem_t* base = WordBase();
    for (auto _ : state) {
        benchmark::DoNotOptimize((fpga::Read32(base, 0) >> 8) & 0xFu);
    }
}
BENCHMARK(DirectBitsGet);

void DirectBitsSet(benchmark::State& state)
{
    volatile FPGAMem_t* base = WordBase();
    unsigned int i = 0;
    for (auto _ : state) {
        fpga::Write32(base, 0, (fpga::Read32(base, 0) & ~(0xFu << 8)) | ((++i & 0xFu) << 8));
    }
}
BENCHMARK(DirectBitsSet);

void ClientBitsGet(benchmark::State& state)
{
    auto& node = dynamic_cast<qreg::RegNode&>(*Get().bits);
    for (auto _ : state) {
        unsigned int v;
        node.Get(v, 0, mci::c_noRelPath);
        benchmark::DoNotOptimize(v);
    }
}
BENCHMARK(ClientBitsGet);

void ClientBitsSet(benchmark::State& state)
{
    auto& node = dynamic_cast<qreg::RegNode&>(*Get().bits);
    unsigned int i = 0;
    for (auto _ : state) {
        node.Set(++i & 0xFu, 0, mci::c_noRelPath);
    }
}
BENCHMARK(ClientBitsSet);

template <typename Node, typename... Args> mci::TreeNodePtr Create(const std::string& name, Args&&... args)
{
    return mci::factory::Create<mci::LocalNodeStructure, Node>(name, std::forward<Args>(args)...);
}

// Three levels of 20 siblings; the measured nodes are the last children of
// the last branch of each level, so that a walk would scan every sibling.
struct Tree {
    Tree()
    {
        for (int b = 0; b < 20; ++b) {
            mci::TreeNodePtr level1 = root->Add(Create<qreg::RegNode>("b" + std::to_string(b)));
            for (int c = 0; c < 20; ++c) {
                mci::TreeNodePtr level2 = level1->Add(Create<qreg::RegNode>("c" + std::to_string(c)));
                const bool last = b == 19 && c == 19;
                for (int l = 0; l < (last ? 17 : 20); ++l) {
                    level2->Add(Create<qreg::RegValueNode<unsigned int>>("l" + std::to_string(l), 0u, 6));
                }
                if (last) {
                    nodes[0] = level2->Add(
                        mci::factory::Create<qreg::RegFncNode<unsigned int>>("fnc", &owner, &Owner::Set, &Owner::Get));
                    nodes[1] = level2->Add(mci::factory::Create<qreg::RegValueNode<unsigned int>>("value", 0u, 6));
                    nodes[2] = level2->Add(
                        mci::factory::Create<qreg::RegReferenceBitNode<unsigned int, volatile unsigned int>>(
                            "bits", word, 8, 4, 6));
                }
            }
        }
    }
    Owner owner;
    volatile unsigned int word = 0;
    mci::TreeNodePtr root = mci::factory::Create<qreg::RegNode>("root");
    mci::TreeNodePtr nodes[3];
    const std::string paths[3] = {"b19/c19/fnc", "b19/c19/value", "b19/c19/bits"};
    mci::ClientAccess client{root};
};

Tree& GetTree()
{
    static Tree t;
    return t;
}

// Mean nanoseconds of one call of f over n calls.
template <typename F> double NsPerCall(int n, F&& f)
{
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < n; ++i) {
        f(i);
    }
    return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() / n;
}

// range(0): 0 function node, 1 value node, 2 bit field; range(1): 0 get, 1 set.
// Each iteration times a batch of typed calls of the node (its own type) and
// a batch of client-access calls by path (integers, converted to the node's
// type), in alternating order.
void PathAgainstTypedCall(benchmark::State& state)
{
    Tree& t = GetTree();
    const int kind = int(state.range(0));
    const bool set = state.range(1) != 0;
    auto& node = *t.nodes[kind]->AsRegNode();
    const std::string& path = t.paths[kind];
    constexpr int c_batch = 1000;
    double typedNs = 0, pathNs = 0;
    bool typedFirst = true;
    auto typed = [&](int i) {
        if (set) {
            node.Set(static_cast<unsigned int>(i & 0xF), 0, mci::c_noRelPath);
        } else {
            unsigned int v;
            node.Get(v, 0, mci::c_noRelPath);
            benchmark::DoNotOptimize(v);
        }
    };
    auto byPath = [&](int i) {
        if (set) {
            t.client.SetInteger(path, i & 0xF);
        } else {
            benchmark::DoNotOptimize(t.client.GetInteger(path));
        }
    };
    for (auto _ : state) {
        if (typedFirst) {
            typedNs += NsPerCall(c_batch, typed);
            pathNs += NsPerCall(c_batch, byPath);
        } else {
            pathNs += NsPerCall(c_batch, byPath);
            typedNs += NsPerCall(c_batch, typed);
        }
        typedFirst = !typedFirst;
    }
    const double n = double(state.iterations());
    state.counters["typed_ns"] = typedNs / n;
    state.counters["path_ns"] = pathNs / n;
    state.counters["ratio"] = pathNs / typedNs;
}
BENCHMARK(PathAgainstTypedCall)->ArgsProduct({{0, 1, 2}, {0, 1}})->ArgNames({"kind", "set"});

} // namespace

BENCHMARK_MAIN();

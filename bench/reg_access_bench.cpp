// Cost of a client read and write of a function node and of a bit-field node
// against a direct call of the bound getter and setter (or the bare
// read-modify-write of the register word).

#include "mci/factory.h"
#include "platform/fpga/fpga_access.h"
#include "platform/mci/client_access.h"
#include "qreg/reg_fnc_node.h"
#include "qreg/reg_reference_bit_node.h"

#include <benchmark/benchmark.h>

#include <cstdint>

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

} // namespace

BENCHMARK_MAIN();

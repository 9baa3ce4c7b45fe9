// A whole run of the program over simulated machines of growing size, 1% of
// whose devices are the vendor's. Output goes to /dev/null.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "tests/program_run.h"

#include "scan/scan.h"

namespace {

std::atomic<long> Allocations{0};

standin::Machine MachineOfSize(int devices) {
    standin::Machine machine;
    for (int i = 0; i < devices; ++i) {
        machine.Devices.push_back(i % 100 == 0 ? VendorDevice("Ondavi Phone Adapter", i) : OtherDevice("Other", i));
    }
    return machine;
}

void BM_Run(benchmark::State& state) {
    const int devices = static_cast<int>(state.range(0));
    char noArgument[] = "ondavipci", all[] = "a";
    char* argv[] = {noArgument, state.range(1) != 0 ? all : nullptr, nullptr};
    const int argc = state.range(1) != 0 ? 2 : 1;

    standin::Load(MachineOfSize(devices));
    FILE* const console = stdout;
    stdout = std::fopen("/dev/null", "w");
    OndavipciMain(argc, argv);  // warm the stream's buffer

    const long before = Allocations.load();
    for (auto _ : state) {
        benchmark::DoNotOptimize(OndavipciMain(argc, argv));
    }
    const long allocations = Allocations.load() - before;

    std::fclose(stdout);
    stdout = console;
    state.counters["devices"] = devices;
    state.counters["allocations_per_run"] = static_cast<double>(allocations) / static_cast<double>(state.iterations());
}

}  // namespace

// Counts heap allocations, to show that a run allocates nothing per device.
void* operator new(std::size_t size) {
    ++Allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

BENCHMARK(BM_Run)->ArgsProduct({{1000, 10000, 100000}, {0, 1}})->ArgNames({"devices", "all"})->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();

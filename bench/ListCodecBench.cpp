// Throughput of the M list codec and of MText.
#include "encodings/Mlist.h"
#include "encodings/Mutils.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

void BM_SetListMixed(benchmark::State& state) {
    const std::string texts[] = {"^Person(1)", "12345", "-7", "3.25", "some longer text value"};
    for (auto _ : state) {
        qdo::TMList list;
        for (int32_t i = 1; i <= 100; ++i)
            list.SetList(i, texts[i % 5]);
        benchmark::DoNotOptimize(list.AllList().data());
    }
    state.SetItemsProcessed(state.iterations() * 100);
}
BENCHMARK(BM_SetListMixed);

void BM_GetLengthAndReadAll(benchmark::State& state) {
    qdo::TMList source;
    for (int32_t i = 1; i <= 100; ++i)
        source.SetList(i, i % 2 ? std::to_string(i * 1000) : "value " + std::to_string(i));
    for (auto _ : state) {
        qdo::TMList list;
        list.SetAllList(source.AllList());
        for (int32_t i = 1; i <= list.GetLength(); ++i)
            benchmark::DoNotOptimize(list.GetList(i));
    }
    state.SetItemsProcessed(state.iterations() * 100);
}
BENCHMARK(BM_GetLengthAndReadAll);

void BM_MText(benchmark::State& state) {
    std::string text;
    for (int i = 0; i < 1000; ++i)
        text += i % 10 == 0 ? '\n' : (i % 7 == 0 ? '"' : 'a');
    for (auto _ : state)
        benchmark::DoNotOptimize(qdo::MText(text));
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_MText);

} // namespace

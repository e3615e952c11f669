// Throughput of the encoder and of both batch operations over a million
// points spread over one day and the whole world.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "core/hasher.hpp"

namespace tessellon {
namespace {

constexpr std::size_t POINTS = 1'000'000;

struct Points {
    std::vector<UtcDateTime> instants;
    std::vector<double> longitudes;
    std::vector<double> latitudes;
};

const Points& points() {
    static const Points generated = [] {
        std::mt19937_64 random(42);
        std::uniform_int_distribution<std::uint32_t> second(0, SECONDS_PER_DAY - 1), micros(0, 999'999);
        std::uniform_real_distribution<double> longitude(-180.0, 180.0), latitude(-90.0, 90.0);
        const auto day = static_cast<std::int32_t>(days_from_civil(2020, 1, 1));
        Points p;
        for (std::size_t i = 0; i < POINTS; ++i) {
            p.instants.push_back(UtcDateTime::from_days(day, second(random), micros(random) * 1000));
            p.longitudes.push_back(longitude(random));
            p.latitudes.push_back(latitude(random));
        }
        return p;
    }();
    return generated;
}

const Hasher& hasher() {
    static const Hasher day(UtcDateTime::from_civil({2020, 1, 1}, 0, 0), UtcDateTime::from_civil({2020, 1, 2}, 0, 0));
    return day;
}

void BM_Encode(benchmark::State& state) {
    const Points& p = points();
    const Hasher& h = hasher();
    for (auto _ : state) {
        for (std::size_t i = 0; i < POINTS; ++i) {
            benchmark::DoNotOptimize(h.encode(p.instants[i], p.longitudes[i], p.latitudes[i]));
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * POINTS));
}

void BM_HashAll(benchmark::State& state) {
    const Points& p = points();
    for (auto _ : state) {
        auto slots = hasher().hash_all(p.instants, p.longitudes, p.latitudes, false);
        benchmark::DoNotOptimize(slots->data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * POINTS));
}

void BM_HashAllClamped(benchmark::State& state) {
    const Points& p = points();
    for (auto _ : state) {
        auto keys = hasher().hash_all_clamped(p.instants, p.longitudes, p.latitudes);
        benchmark::DoNotOptimize(keys->data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * POINTS));
}

BENCHMARK(BM_Encode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HashAll)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HashAllClamped)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tessellon

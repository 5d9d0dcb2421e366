// Load benchmarks through the exported interface: rulesets of 0.1, 1 and 10 MiB (50 MiB with
// --large) and an array of a million numbers, each loaded from a string and freed, the load and
// the free timed apart. "heap_per_byte" is the memory one more loaded handle holds, on the heap
// and mapped, for each byte of its document. `load_bench --write-documents=DIR` writes the
// documents as files, for tools that load a file.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "common.hpp"
#include "load_documents.hpp"

namespace {

using veskora::bench::DocumentWriter;
using veskora::bench::fail;

constexpr std::size_t kKiB = 1024;
constexpr std::size_t kMillion = 1000000;

const std::string& ruleset_document(std::size_t kib) {
    static std::map<std::size_t, std::string> documents;
    auto [it, fresh] = documents.try_emplace(kib);
    if (fresh) it->second = DocumentWriter::ruleset(kib * kKiB);
    return it->second;
}

const std::string& number_array_document() {
    static const std::string document = DocumentWriter::number_array(kMillion);
    return document;
}

veskora_ruleset* load(const std::string& document) {
    veskora_ruleset* handle = nullptr;
    char* error = nullptr;
    if (veskora_ruleset_from_string(document.c_str(), &handle, &error) != VESKORA_OK) fail("loading", error);
    return handle;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The memory the process holds for its data: the C library's heap chunks in use, plus the pages
// resident outside its heap (its own large chunks, and the regions the library maps for the nodes
// of a large ruleset; address space that no page backs holds no memory).
std::size_t memory_held() {
    std::size_t pages = 0;  // resident, the second figure after the size
    if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%*s %zu", &pages) != 1) pages = 0;
        std::fclose(statm);
    }
    const auto heap = mallinfo2();
    return heap.uordblks + pages * static_cast<std::size_t>(sysconf(_SC_PAGESIZE)) - heap.arena;
}

// The memory one more loaded handle of a document holds, per document byte. Each document is
// measured before any benchmark runs, in a child process that loads it once and keeps it (so
// the library's setup and first touches are done), then measures a second load. In the
// benchmark's own process, a load would reuse the blocks that the loads before it left for the
// next arenas (up to the library's bound), and count them as held before it.
std::map<const std::string*, double>& heap_per_byte() {
    static std::map<const std::string*, double> measured;
    return measured;
}

double measure_in_child(const std::string& document) {
    int channel[2];
    if (::pipe(channel) != 0) fail("measuring the heap", nullptr);
    const pid_t child = ::fork();
    if (child < 0) fail("measuring the heap", nullptr);
    if (child == 0) {
        veskora_ruleset* first = load(document);
        const std::size_t before = memory_held();
        veskora_ruleset* second = load(document);
        const double per_byte = static_cast<double>(memory_held() - before) / static_cast<double>(document.size());
        const bool sent = ::write(channel[1], &per_byte, sizeof per_byte) == sizeof per_byte;
        veskora_ruleset_free(second);
        veskora_ruleset_free(first);
        ::_exit(sent ? 0 : 1);
    }
    ::close(channel[1]);
    double per_byte = 0;
    const bool received = ::read(channel[0], &per_byte, sizeof per_byte) == sizeof per_byte;
    ::close(channel[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!received) fail("measuring the heap", nullptr);
    return per_byte;
}

void load_timed(benchmark::State& state, const std::string& document) {
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        veskora_ruleset* handle = load(document);
        state.SetIterationTime(seconds_since(start));
        veskora_ruleset_free(handle);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * document.size()));
    state.counters["heap_per_byte"] = heap_per_byte().at(&document);
}

void free_timed(benchmark::State& state, const std::string& document) {
    for (auto _ : state) {
        veskora_ruleset* handle = load(document);
        const auto start = std::chrono::steady_clock::now();
        veskora_ruleset_free(handle);
        state.SetIterationTime(seconds_since(start));
    }
}

void BM_LoadRuleset(benchmark::State& state) {
    load_timed(state, ruleset_document(static_cast<std::size_t>(state.range(0))));
}
void BM_FreeRuleset(benchmark::State& state) {
    free_timed(state, ruleset_document(static_cast<std::size_t>(state.range(0))));
}
void BM_LoadNumberArray(benchmark::State& state) { load_timed(state, number_array_document()); }
void BM_FreeNumberArray(benchmark::State& state) { free_timed(state, number_array_document()); }

// Sizes in KiB.
std::vector<std::size_t> ruleset_kibs(bool large) {
    std::vector<std::size_t> kibs{100, 1024, 10240};
    if (large) kibs.push_back(51200);
    return kibs;
}

void ruleset_sizes(benchmark::internal::Benchmark* b, bool large) {
    for (const std::size_t kib : ruleset_kibs(large)) b->Arg(static_cast<std::int64_t>(kib));
    b->Unit(benchmark::kMillisecond)->UseManualTime();
}

void register_all(bool large) {
    for (const std::size_t kib : ruleset_kibs(large)) {
        const std::string& document = ruleset_document(kib);
        heap_per_byte()[&document] = measure_in_child(document);
    }
    heap_per_byte()[&number_array_document()] = measure_in_child(number_array_document());
    ruleset_sizes(benchmark::RegisterBenchmark("BM_LoadRuleset", BM_LoadRuleset), large);
    ruleset_sizes(benchmark::RegisterBenchmark("BM_FreeRuleset", BM_FreeRuleset), large);
    benchmark::RegisterBenchmark("BM_LoadNumberArray", BM_LoadNumberArray)->Unit(benchmark::kMillisecond)->UseManualTime();
    benchmark::RegisterBenchmark("BM_FreeNumberArray", BM_FreeNumberArray)->Unit(benchmark::kMillisecond)->UseManualTime();
}

bool write_documents(const std::string& dir) {
    auto write = [&](const std::string& name, const std::string& text) {
        std::ofstream file(dir + "/" + name, std::ios::binary);
        file << text;
        return static_cast<bool>(file);
    };
    for (std::size_t kib : {100, 1024, 10240, 51200})
        if (!write("ruleset-" + std::to_string(kib) + "k.conf", ruleset_document(kib))) return false;
    return write("numbers-1m.conf", number_array_document());
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    bool large = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--large") {
            large = true;
        } else if (arg.starts_with("--write-documents=")) {
            const std::string dir(arg.substr(std::strlen("--write-documents=")));
            if (!write_documents(dir)) {
                std::fprintf(stderr, "cannot write the documents into %s\n", dir.c_str());
                return 1;
            }
            return 0;
        } else {
            std::fprintf(stderr, "unknown argument %s (known: --large, --write-documents=DIR)\n", argv[i]);
            return 1;
        }
    }
    register_all(large);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

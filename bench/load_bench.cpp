// Load benchmarks through the exported interface: every kind of ruleset a user loads (plain, with
// substitutions, with one line that adds nothing, with loop blocks, split over included files,
// as a JSON file and as the same JSON text), at 1 and 10 MiB, the plain one also at 0.1 MiB
// (and 50 MiB with --large), and an array of a million numbers. The load and the free are timed
// apart. Two counters say what a loaded handle holds for each byte of its document, in a fresh
// process: "resident_per_byte", the process's resident anonymous memory (RssAnon), which sees the
// library's mapped regions and all the heap the C library keeps after the load; and
// "heap_per_byte", the heap's chunks in use plus the resident pages outside it. `load_bench --write-documents=DIR` writes the
// plain documents as files, for tools that load a file.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "common.hpp"
#include "load_documents.hpp"

namespace {

using veskora::bench::DocumentWriter;
using veskora::bench::fail;
using veskora::bench::Kind;

constexpr std::size_t kKiB = 1024;
constexpr std::size_t kMillion = 1000000;

// One document as a host hands it over: text through from_string, or a file's path.
struct Document {
    std::string name;
    std::string text;  // what from_string receives; for a file, its content
    std::string path;  // set for a file load
    std::size_t bytes = 0;  // of the rules, in the text or in the files it includes
    double heap_per_byte = 0;
    double resident_per_byte = 0;
};

veskora_ruleset* load(const Document& document) {
    veskora_ruleset* handle = nullptr;
    char* error = nullptr;
    const int32_t status = document.path.empty()
                               ? veskora_ruleset_from_string(document.text.c_str(), &handle, &error)
                               : veskora_ruleset_from_file(document.path.c_str(), &handle, &error);
    if (status != VESKORA_OK) fail(document.name.c_str(), error);
    return handle;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The memory the process holds for its data: the C library's heap chunks in use, plus the pages
// resident outside its heap (its own large chunks, and the regions the library maps for the nodes
// of a large ruleset; address space that no page backs holds no memory).
std::size_t heap_held() {
    std::size_t pages = 0;  // resident, the second figure after the size
    if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%*s %zu", &pages) != 1) pages = 0;
        std::fclose(statm);
    }
    const auto heap = mallinfo2();
    return heap.uordblks + pages * static_cast<std::size_t>(sysconf(_SC_PAGESIZE)) - heap.arena;
}

// The process's resident anonymous memory, in bytes: what it holds whether in use or kept.
std::size_t resident_anonymous() {
    std::size_t kib = 0;
    if (std::FILE* status = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, status)) {
            if (std::sscanf(line, "RssAnon: %zu kB", &kib) == 1) break;
        }
        std::fclose(status);
    }
    return kib * kKiB;
}

// What a loaded handle of a document holds, per document byte. Each document is measured before
// any benchmark runs, in a child process that first loads and frees a one-line ruleset (so that
// the library's setup is done), then measures one load of the document. In the benchmark's own
// process, a load would reuse what the loads before it left.
void measure_in_child(Document& document) {
    int channel[2];
    if (::pipe(channel) != 0) fail("measuring memory", nullptr);
    const pid_t child = ::fork();
    if (child < 0) fail("measuring memory", nullptr);
    if (child == 0) {
        veskora_ruleset_free(load(Document{"setup", "a = 1", {}}));
        const std::size_t heap_before = heap_held();
        const std::size_t resident_before = resident_anonymous();
        veskora_ruleset* handle = load(document);
        const double size = static_cast<double>(document.bytes);
        const double per_byte[2] = {static_cast<double>(heap_held() - heap_before) / size,
                                    static_cast<double>(resident_anonymous() - resident_before) / size};
        const bool sent = ::write(channel[1], per_byte, sizeof per_byte) == sizeof per_byte;
        veskora_ruleset_free(handle);
        ::_exit(sent ? 0 : 1);
    }
    ::close(channel[1]);
    double per_byte[2] = {0, 0};
    const bool received = ::read(channel[0], per_byte, sizeof per_byte) == sizeof per_byte;
    ::close(channel[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!received) fail("measuring memory", nullptr);
    document.heap_per_byte = per_byte[0];
    document.resident_per_byte = per_byte[1];
}

void load_timed(benchmark::State& state, const Document& document) {
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        veskora_ruleset* handle = load(document);
        state.SetIterationTime(seconds_since(start));
        veskora_ruleset_free(handle);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * document.bytes));
    state.counters["heap_per_byte"] = document.heap_per_byte;
    state.counters["resident_per_byte"] = document.resident_per_byte;
}

void free_timed(benchmark::State& state, const Document& document) {
    for (auto _ : state) {
        veskora_ruleset* handle = load(document);
        const auto start = std::chrono::steady_clock::now();
        veskora_ruleset_free(handle);
        state.SetIterationTime(seconds_since(start));
    }
}

// Where the documents that are files are written for the run, removed at its end.
const std::filesystem::path& scratch() {
    static const std::filesystem::path dir = [] {
        char pattern[] = "/tmp/veskora-load-bench-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) fail("making a scratch directory", nullptr);
        return std::filesystem::path(pattern);
    }();
    return dir;
}

void write_file(const std::filesystem::path& path, const std::string& text) {
    std::ofstream file(path, std::ios::binary);
    file << text;
    if (!file) fail("writing a document", nullptr);
}

std::string size_name(std::size_t kib) { return std::to_string(kib); }

// Every document of a run, made before it starts. A deque: registered benchmarks keep pointers.
std::deque<Document>& documents() {
    static std::deque<Document> all;
    return all;
}

const Document& add(Document document) {
    if (document.bytes == 0) document.bytes = document.text.size();
    measure_in_child(document);
    return documents().emplace_back(std::move(document));
}

void register_load(const Document& document) {
    benchmark::RegisterBenchmark(("BM_Load/" + document.name).c_str(),
                                 [&document](benchmark::State& state) { load_timed(state, document); })
        ->Unit(benchmark::kMillisecond)
        ->UseManualTime();
}

// Each free needs a load that is not timed, and a free takes a fraction of its load: a count of
// iterations found from the free time alone would spend minutes loading. So the count is fixed by
// the document's size, about 256 MiB of documents loaded for each repetition.
void register_free(const Document& document) {
    constexpr std::size_t kLoadedBytes = std::size_t{256} << 20;
    const auto iterations = std::clamp<std::size_t>(kLoadedBytes / document.bytes, 10, 2000);
    benchmark::RegisterBenchmark(("BM_Free/" + document.name).c_str(),
                                 [&document](benchmark::State& state) { free_timed(state, document); })
        ->Unit(benchmark::kMillisecond)
        ->UseManualTime()
        ->Iterations(static_cast<benchmark::IterationCount>(iterations));
}

void register_all(bool large) {
    std::vector<std::size_t> plain_kibs{100, 1024, 10240};
    if (large) plain_kibs.push_back(51200);
    for (const std::size_t kib : plain_kibs) {
        const Document& plain = add({"plain/" + size_name(kib), DocumentWriter::ruleset(kib * kKiB), {}});
        register_load(plain);
        register_free(plain);
    }
    for (const std::size_t kib : {std::size_t{1024}, std::size_t{10240}}) {
        const std::string size = size_name(kib);
        register_load(add({"substitutions/" + size, DocumentWriter::ruleset(kib * kKiB, Kind::Substitutions), {}}));
        register_load(add({"optional_line/" + size, DocumentWriter::ruleset(kib * kKiB, Kind::OptionalSubstitution), {}}));
        register_load(add({"loop_blocks/" + size, DocumentWriter::ruleset(kib * kKiB, Kind::LoopBlocks), {}}));

        // The plain rules in ten files, included by their paths from a text.
        std::string includes;
        const auto parts = DocumentWriter::ruleset_parts(kib * kKiB, 10);
        for (std::size_t i = 0; i < parts.size(); ++i) {
            const auto path = scratch() / ("part" + size + "-" + std::to_string(i) + ".conf");
            write_file(path, parts[i]);
            includes += "include \"" + path.string() + "\"\n";
        }
        std::size_t bytes = 0;
        for (const auto& part : parts) bytes += part.size();
        register_load(add({"includes/" + size, includes, {}, bytes}));

        const std::string json = DocumentWriter::ruleset(kib * kKiB, Kind::Json);
        const auto json_path = scratch() / ("ruleset" + size + ".json");
        write_file(json_path, json);
        register_load(add({"json_file/" + size, json, json_path.string()}));
        register_load(add({"json_string/" + size, json, {}}));
    }
    const Document& numbers = add({"numbers/1000000", DocumentWriter::number_array(kMillion), {}});
    register_load(numbers);
    register_free(numbers);
}

bool write_documents(const std::string& dir) {
    auto write = [&](const std::string& name, const std::string& text) {
        std::ofstream file(dir + "/" + name, std::ios::binary);
        file << text;
        return static_cast<bool>(file);
    };
    for (std::size_t kib : {100, 1024, 10240, 51200})
        if (!write("ruleset-" + std::to_string(kib) + "k.conf", DocumentWriter::ruleset(kib * kKiB))) return false;
    return write("numbers-1m.conf", DocumentWriter::number_array(kMillion));
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
    std::error_code ignored;
    std::filesystem::remove_all(scratch(), ignored);
    return 0;
}

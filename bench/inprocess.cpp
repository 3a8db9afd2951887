// The load, set and write steps in-process, on the files make_files.py wrote;
// the same steps with every value built ("built/"), for comparison.
//   build/bench-release/bench/inprocess_bench --files=DIR
#include <benchmark/benchmark.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "Platform.h"
#include "PropertyList.h"

namespace {

std::string folder = "build/bench";

std::string bytesOf(const std::string& name) {
    std::ifstream in(folder + "/" + name, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// The tool's own load: a binary file's bytes kept and checked.
void load(benchmark::State& state, const std::string& name) {
    std::string bytes = bytesOf(name);
    for (auto _ : state) benchmark::DoNotOptimize(plist::readDictionaryKeepingBytes(bytes));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

// The tool's set and write, the text handed to a sink that only counts it.
void setAndWrite(benchmark::State& state, const std::string& name) {
    std::string bytes = bytesOf(name);
    auto dict = plist::readDictionaryKeepingBytes(bytes);
    std::size_t written = 0;
    for (auto _ : state) {
        dict->set("ApplicationRunningPrompt", plist::Value::boolean(true));
        plist::XmlText text(*dict);
        benchmark::DoNotOptimize(text.write([&](std::string_view piece) {
            written += piece.size();
            return true;
        }));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
    state.counters["text_MB"] = static_cast<double>(written) / static_cast<double>(state.iterations()) / (1 << 20);
}

// For comparison: every value built, and the text built in one string.
void loadBuilt(benchmark::State& state, const std::string& name) {
    std::string bytes = bytesOf(name);
    for (auto _ : state) benchmark::DoNotOptimize(plist::readDictionary(bytes));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

void writeBuilt(benchmark::State& state, const std::string& name) {
    std::string bytes = bytesOf(name);
    auto dict = plist::readDictionary(bytes);
    std::string out;
    for (auto _ : state) {
        dict->set("ApplicationRunningPrompt", plist::Value::boolean(true));
        benchmark::DoNotOptimize(plist::writeXml(*dict, out));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--files=", 8) == 0) folder = argv[i] + 8;
    for (const char* name : {"small.bplist", "1mb.bplist", "1mb.xml", "16mb.bplist", "16mb.xml", "32mb.bplist",
                             "32mb.xml", "64mb.bplist", "64mb.xml"}) {
        benchmark::RegisterBenchmark((std::string("load/") + name).c_str(), load, std::string(name))
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((std::string("set+write/") + name).c_str(), setAndWrite, std::string(name))
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((std::string("built/load/") + name).c_str(), loadBuilt, std::string(name))
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((std::string("built/write/") + name).c_str(), writeBuilt, std::string(name))
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}

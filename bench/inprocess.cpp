// The load, set and write steps in-process, on the files make_files.py wrote.
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

// The tool's load: the bytes read and checked into a document.
void load(benchmark::State& state, const std::string& name) {
    std::string bytes = bytesOf(name);
    for (auto _ : state) benchmark::DoNotOptimize(plist::readDictionary(bytes));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

// The tool's set and write, the text handed to a sink that only counts it.
void setAndWrite(benchmark::State& state, const std::string& name) {
    std::string bytes = bytesOf(name);
    auto doc = plist::readDictionary(bytes);
    std::size_t written = 0;
    for (auto _ : state) {
        doc->set("ApplicationRunningPrompt", plist::Scalar::boolean(true));
        plist::XmlText text(*doc);
        benchmark::DoNotOptimize(text.write([&](std::string_view piece) {
            written += piece.size();
            return true;
        }));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
    state.counters["text_MB"] = static_cast<double>(written) / static_cast<double>(state.iterations()) / (1 << 20);
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
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}

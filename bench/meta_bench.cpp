// Loading an index of n records with readmeta, and checking it with
// metachk: time per call should grow linearly with n.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "mailbox/ll.h"
#include "mailbox/meta.h"
#include "mailbox/metachk.h"

namespace {

std::string makeindex(int n) {
    char path[] = "/tmp/meta-bench-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) abort();
    FILE* f = fdopen(fd, "w");
    fputs("/home/ann/mail\nann@example.org\n", f);
    for (int i = 0; i < n; i++)
        fprintf(f, "in%03d.msg\nann@example.org\nsender%d@example.org\nSubject line %d\n\n\n%s\n",
                2 * i, i, i, i % 3 ? "N" : "R");
    fputs("END\n", f);
    fclose(f);
    return path;
}

void BM_readmeta(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    const std::string path = makeindex(n);
    for (auto _ : state) {
        llinit();
        if (readmeta(path.c_str(), inlist) != 1 || inlist->count != n) state.SkipWithError("load");
        llfree(inlist);
        llfree(outlist);
    }
    inlist = outlist = nullptr;
    unlink(path.c_str());
    state.SetItemsProcessed(state.iterations() * n);
    state.SetComplexityN(n);
}

void BM_metachk(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    const std::string path = makeindex(n);
    for (auto _ : state) {
        if (metachk(path.c_str(), true).line != 0) state.SkipWithError("check");
    }
    unlink(path.c_str());
    state.SetItemsProcessed(state.iterations() * n);
    state.SetComplexityN(n);
}

}  // namespace

BENCHMARK(BM_readmeta)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->Complexity();

BENCHMARK(BM_metachk)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->Complexity();

BENCHMARK_MAIN();

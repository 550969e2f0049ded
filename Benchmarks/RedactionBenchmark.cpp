// Redacting server text for the log: the full linear pass over a 16 MiB body dense
// with credentials (the target is under 50 ms), the bounded form the SDK really logs,
// and a plain copy of the same bytes as the peer measured in the same run.
#include "QuorvexRedaction.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

namespace
{
constexpr size_t BodyBytes = 16u << 20;

// A hostile error body: a credential record repeated until it fills 16 MiB, so about
// every 60 bytes there is something to redact.
const std::string& DenseBody()
{
    static const std::string Body = []
    {
        const std::string Record =
            R"({"authorizationToken":"tok","uploadUrl":"https://s.example/o?sig=1",)"
            R"("formFields":{"policy":"p","x-goog-signature":"s"},"n":1},)";
        std::string Text = "[";
        while (Text.size() + Record.size() < BodyBytes)
        {
            Text += Record;
        }
        Text += "{}]";
        return Text;
    }();
    return Body;
}

void BM_RedactSecretsFull16MiB(benchmark::State& State)
{
    const std::string& Body = DenseBody();
    for (auto _ : State)
    {
        benchmark::DoNotOptimize(QuorvexRedaction::RedactSecrets(Body));
    }
    State.SetBytesProcessed(static_cast<int64_t>(State.iterations() * Body.size()));
}
BENCHMARK(BM_RedactSecretsFull16MiB)->Unit(benchmark::kMillisecond);

void BM_RedactBoundedForTheLog16MiB(benchmark::State& State)
{
    const std::string& Body = DenseBody();
    for (auto _ : State)
    {
        benchmark::DoNotOptimize(QuorvexRedaction::RedactBounded(Body));
    }
}
BENCHMARK(BM_RedactBoundedForTheLog16MiB)->Unit(benchmark::kMicrosecond);

// Peer: copying the same bytes into a fresh string, the least any rewrite must do.
void BM_PeerCopy16MiB(benchmark::State& State)
{
    const std::string& Body = DenseBody();
    for (auto _ : State)
    {
        std::string Copy(Body.size(), '\0');
        std::memcpy(Copy.data(), Body.data(), Body.size());
        benchmark::DoNotOptimize(Copy);
    }
    State.SetBytesProcessed(static_cast<int64_t>(State.iterations() * Body.size()));
}
BENCHMARK(BM_PeerCopy16MiB)->Unit(benchmark::kMillisecond);
} // namespace

BENCHMARK_MAIN();

// The feed's line joiner with many senders that cut their lines, in turn: every
// datagram of a sender holds the rest of its last line and the first half of its
// next one, so each sender keeps a tail while all the others send theirs. Counts
// the lines that come out whole of those sent, the pieces dropped, the time per
// datagram; and for a flood of new senders each leaving a tail of the largest
// size kept, how many tails and how many bytes of tails are held.
//
//   bench_feed_senders [--benchmark_filter=...]
#include "app/Unit3_Wsocket.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int Rounds = 20;  // lines per sender

std::string LineOf(int sender, int round) {
  return "13:05:09:123\t02-00-00-00-00-01\t02-00-00-00-00-02\t0800\t60\t10.8." + std::to_string(sender / 256) + "." +
         std::to_string(sender % 256) + "\t" + std::to_string(1024 + round) + "\t10.0.0.2\t80\tUDP\tTCP-IP";
}

void BM_SendersCuttingTheirLinesInTurn(benchmark::State& state) {
  const int senders = static_cast<int>(state.range(0));
  std::vector<std::string> datagrams;  // in the order they are sent
  std::vector<std::string> lines;
  for (int r = 0; r <= Rounds; ++r)
    for (int s = 0; s < senders; ++s) {
      const std::string next = r < Rounds ? LineOf(s, r) : std::string();
      std::string d = r ? LineOf(s, r - 1).substr(LineOf(s, r - 1).size() / 2) + "\n" : std::string();
      d += next.substr(0, next.size() / 2);
      datagrams.push_back(std::move(d));
      if (r < Rounds) lines.push_back(next);
    }
  int64_t whole = 0, dropped = 0, kept = 0;
  for (auto _ : state) {
    TFeedAssembler f;
    int64_t now = 0;
    f.Now = [&now] { return now; };
    whole = 0;
    size_t i = 0;
    for (int r = 0; r <= Rounds; ++r)
      for (int s = 0; s < senders; ++s, ++i) {
        now += 1000;  // 1 us apart: no tail grows old
        for (const std::string& l : f.Feed(datagrams[i], TFeedAssembler::SenderOf(0x0A000001, uint16_t(s))))
          whole += l == LineOf(s, r - 1);
        if (r == 0) kept = std::max<int64_t>(kept, int64_t(f.Senders()));
      }
    dropped = f.Discarded();
    benchmark::DoNotOptimize(whole);
  }
  state.counters["sent"] = double(lines.size());
  state.counters["whole"] = double(whole);
  state.counters["dropped"] = double(dropped);
  state.counters["tails"] = double(kept);
  state.counters["ns_per_datagram"] = benchmark::Counter(
      double(datagrams.size()), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  std::printf("[%d senders in turn] %lld of %zu lines whole, %lld pieces dropped, %lld tails kept at most\n", senders,
              static_cast<long long>(whole), lines.size(), static_cast<long long>(dropped),
              static_cast<long long>(kept));
}

BENCHMARK(BM_SendersCuttingTheirLinesInTurn)->Arg(64)->Arg(65)->Arg(1000)->ArgName("senders");

// New senders, each leaving a tail of MaxLeftover bytes and never sending again.
void BM_AFloodOfNewSenders(benchmark::State& state) {
  const int senders = static_cast<int>(state.range(0));
  const std::string tail(TFeedAssembler::MaxLeftover, 'x');
  size_t held = 0, tails = 0;
  for (auto _ : state) {
    TFeedAssembler f;
    int64_t now = 0;
    f.Now = [&now] { return now; };
    for (int s = 0; s < senders; ++s, now += 1000)
      f.Feed(tail, TFeedAssembler::SenderOf(0x0B000000 + uint32_t(s >> 16), uint16_t(s)));
    held = 0;
    for (int s = 0; s < senders; ++s)
      held += f.UdpLeftover(TFeedAssembler::SenderOf(0x0B000000 + uint32_t(s >> 16), uint16_t(s))).size();
    tails = f.Senders();
  }
  state.counters["tails"] = double(tails);
  state.counters["tail_MB"] = double(held) / (1 << 20);
  std::printf("[a flood of %d new senders with %zu-byte tails] %zu tails kept, %.2f MB of text\n", senders,
              TFeedAssembler::MaxLeftover, tails, double(held) / (1 << 20));
}

BENCHMARK(BM_AFloodOfNewSenders)->Arg(1000)->Arg(100000)->ArgName("senders")->Iterations(1);

}  // namespace

BENCHMARK_MAIN();

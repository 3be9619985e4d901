// Frames decoded per second by HandleFrame with a packet handler attached,
// over a mix of TCP, UDP and ARP frames.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "capture/monpcap.h"
#include "tests/capture/Frames.h"

namespace {

void* NoDriver() { return nullptr; }
const TPacketModule Absent{&NoDriver, nullptr, nullptr};

struct TMix {
  std::vector<std::vector<uint8_t>> Frames;
  std::vector<bpf_hdr> Headers;
};

TMix MakeMix() {
  using namespace frames;
  TMix m;
  TFrameSpec tcp;
  tcp.Payload.assign(120, 'x');
  TFrameSpec ack;  // bare acknowledgement
  TFrameSpec udp;
  udp.Payload = {1, 2, 3, 4};
  udp.PadTo = 60;
  TFrameSpec dns;
  dns.SrcIp = "10.0.0.7";
  dns.DstPort = 53;
  dns.Payload.assign(40, 'q');
  m.Frames = {TcpFrame(tcp), TcpFrame(ack), UdpFrame(udp), UdpFrame(dns), ArpFrame(TFrameSpec{})};
  for (size_t i = 0; i < m.Frames.size(); ++i) {
    bpf_hdr h{};
    h.bh_tstamp.tv_sec = 1700000000;
    h.bh_tstamp.tv_usec = uint32_t(i);
    h.bh_caplen = h.bh_datalen = uint32_t(m.Frames[i].size());
    h.bh_hdrlen = 20;
    m.Headers.push_back(h);
  }
  return m;
}

void Decode(benchmark::State& state, bool ignoreData) {
  SetPacketModule(&Absent);
  TMonitorPcap mon(nullptr);
  mon.SetIgnoreData(ignoreData);
  uint64_t sum = 0;
  mon.OnPacketEvent = [&sum](TObject*, TPacketInfo info) {
    sum += info.SourceIp ^ info.DestIp;
    sum += uint32_t(info.DestPort) + uint32_t(info.PayloadLength) + info.Payload.size();
  };
  const TMix mix = MakeMix();
  const size_t n = mix.Frames.size();
  size_t i = 0;
  for (auto _ : state) {
    mon.HandleFrame(&mix.Headers[i], mix.Frames[i].data());
    if (++i == n) i = 0;
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations());
  SetPacketModule(nullptr);
}

void BM_HandleFrame(benchmark::State& state) { Decode(state, false); }
void BM_HandleFrameIgnoreData(benchmark::State& state) { Decode(state, true); }

}  // namespace

BENCHMARK(BM_HandleFrame);
BENCHMARK(BM_HandleFrameIgnoreData);

BENCHMARK_MAIN();

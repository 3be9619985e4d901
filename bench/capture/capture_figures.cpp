// Figures of the capture component on the real driver, printed as text:
//
//   bench_capture_figures list
//       how many adapters the component lists in the calling namespace, against
//       the Ethernet-type and loopback interfaces the kernel has, and which are
//       missing from the list.
//   bench_capture_figures vanish ADAPTER 'COMMAND'
//       starts capture on ADAPTER, runs COMMAND (e.g. "ip link del ADAPTER")
//       after 0.5 s, and reports when the component tells that the capture has
//       ended (Connected, LastError, and its end event, if any) within 5 s.
//
// Run as root, inside a network namespace of one's own (ip netns exec).
#include <net/if.h>

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "capture/monpcap.h"
#include "platform/Messages.h"

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// Ethernet-type (1) and loopback (772) interfaces as the kernel lists them.
std::vector<std::string> KernelAdapters() {
  std::vector<std::string> out;
  struct if_nameindex* all = if_nameindex();
  for (struct if_nameindex* i = all; i && i->if_index; ++i) {
    std::ifstream f(std::string("/sys/class/net/") + i->if_name + "/type");
    int type = 0;
    if (f >> type && (type == 1 || type == 772)) out.push_back(i->if_name);
  }
  if (all) if_freenameindex(all);
  return out;
}

int List() {
  TMonitorPcap mon(nullptr);
  const std::vector<std::string> kernel = KernelAdapters();
  TStrings* names = mon.AdapterNameList();
  std::printf("kernel: %zu adapters; listed: %d; LastError: \"%s\"\n", kernel.size(), names->Count(),
              mon.LastError().c_str());
  std::string missing;
  int nMissing = 0;
  for (const std::string& k : kernel)
    if (names->IndexOf(k) < 0) {
      if (nMissing < 8) missing += " " + k;
      ++nMissing;
    }
  std::printf("missing: %d%s%s\n", nMissing, missing.c_str(), nMissing > 8 ? " ..." : "");
  return 0;
}

int Vanish(const std::string& adapter, const std::string& command) {
  TMonitorPcap mon(nullptr);
  mon.SetMonAdapter(adapter);
  double eventAt = -1;
  std::string eventError;
  Clock::time_point t0;
  mon.OnCaptureEnded = [&](TObject*) {
    eventAt = Since(t0);
    eventError = mon.LastError();
  };
  mon.StartMonitor();
  if (!mon.Connected()) {
    std::printf("cannot capture on %s: %s\n", adapter.c_str(), mon.LastError().c_str());
    return 1;
  }
  WaitMessages([] { return false; }, 500);
  t0 = Clock::now();
  const int rc = std::system(command.c_str());
  std::printf("ran \"%s\" (exit %d)\n", command.c_str(), rc);
  double endedAt = -1;
  WaitMessages(
      [&] {
        if (endedAt < 0 && !mon.Connected()) endedAt = Since(t0);
        return endedAt >= 0 && eventAt >= 0;
      },
      5000);
  std::printf("after %.3f s: Connected %s, LastError \"%s\"\n", Since(t0), mon.Connected() ? "true" : "false",
              mon.LastError().c_str());
  if (endedAt >= 0) std::printf("Connected became false after %.3f s\n", endedAt);
  if (eventAt >= 0)
    std::printf("end event after %.3f s, LastError then \"%s\"\n", eventAt, eventError.c_str());
  else
    std::printf("no end event within 5 s\n");
  mon.StopMonitor();
  std::printf("after StopMonitor: LastError \"%s\"\n", mon.LastError().c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc >= 2 && std::strcmp(argv[1], "list") == 0) return List();
  if (argc >= 4 && std::strcmp(argv[1], "vanish") == 0) return Vanish(argv[2], argv[3]);
  std::fprintf(stderr, "usage: %s list | vanish ADAPTER 'COMMAND'\n", argv[0]);
  return 2;
}

// Name lookups of the sockets: a small pool of workers shared by every socket runs the
// resolver (or a stand-in a test sets), and each answer is posted back to its socket.
#include "sockets/WSocket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <QCoreApplication>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/FdWatch.h"
#include "sockets/SocksProtocol.h"
#include "sockets/WSocketInternal.h"

using namespace wsocket_detail;

namespace {

std::atomic<uint64_t> gDnsRequestIds{0};

// The system resolver: every IPv4 address of the name. It cannot be
// interrupted; a cancelled lookup ends by the resolver's own time-outs.
int SystemLookupHost(const std::string& host, std::vector<std::string>& addresses, const std::atomic<bool>&) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &res);
  if (rc != 0) return ResolverErrorToWinsock(rc);
  for (addrinfo* p = res; p; p = p->ai_next) {
    auto* sin = reinterpret_cast<sockaddr_in*>(p->ai_addr);
    std::string s = WSocket_inet_ntoa(sin->sin_addr.s_addr);
    if (std::find(addresses.begin(), addresses.end(), s) == addresses.end()) addresses.push_back(s);
  }
  ::freeaddrinfo(res);
  return addresses.empty() ? WSANO_DATA : 0;
}

std::mutex gHostLookupLock;
THostLookup gHostLookup;

}  // namespace

THostLookup wsocket_detail::CurrentHostLookup() {
  std::lock_guard<std::mutex> g(gHostLookupLock);
  return gHostLookup ? gHostLookup : THostLookup(&SystemLookupHost);
}

namespace {

// Name lookups run on a few workers shared by every socket, so that lookups
// retried against a slow resolver queue up instead of piling up threads. A
// worker ends as soon as nothing waits; a cancelled lookup that has not started
// never runs.
class TLookupWorkers {
 public:
  struct TJob {
    std::shared_ptr<TDnsRequest> Request;
    std::function<void(TDnsRequest&)> Work;
    std::function<void(const TDnsRequest&)> Answer;
  };
  static constexpr int kMaxThreads = 4;

  static TLookupWorkers& Instance() {
    static TLookupWorkers* workers = new TLookupWorkers;  // detached workers may outlive static destruction
    return *workers;
  }

  void Submit(TJob job) {
    std::lock_guard<std::mutex> g(FLock);
    FQueue.push_back(std::move(job));
    if (FThreads - FBusy >= static_cast<int>(FQueue.size()) || FThreads >= kMaxThreads) return;
    try {
      std::thread(&TLookupWorkers::Run, this).detach();
    } catch (...) {
      FQueue.pop_back();
      throw;
    }
    ++FThreads;
  }

  int Threads() {
    std::lock_guard<std::mutex> g(FLock);
    return FThreads;
  }

 private:
  void Run() {
    std::unique_lock<std::mutex> g(FLock);
    while (!FQueue.empty()) {
      TJob job = std::move(FQueue.front());
      FQueue.pop_front();
      if (job.Request->Cancelled) continue;
      ++FBusy;
      g.unlock();
      job.Work(*job.Request);
      if (!job.Request->Cancelled) job.Answer(*job.Request);
      job = TJob{};
      g.lock();
      --FBusy;
    }
    --FThreads;
  }

  std::mutex FLock;
  std::deque<TJob> FQueue;
  int FThreads = 0;
  int FBusy = 0;
};

// Reverse lookup: the host name followed by its aliases.
void LookupAddr(uint32_t addr, TDnsRequest& req) {
  hostent he{};
  hostent* result = nullptr;
  std::vector<char> buf(8192);
  int herr = 0;
  int rc = ::gethostbyaddr_r(&addr, 4, AF_INET, &he, buf.data(), buf.size(), &result, &herr);
  if (rc != 0 || !result) {
    req.Error = rc == ERANGE ? WSAENOBUFS : HErrnoToWinsock(herr ? herr : HOST_NOT_FOUND);
    return;
  }
  req.Results.push_back(result->h_name ? result->h_name : "");
  for (char** a = result->h_aliases; a && *a; ++a) req.Results.push_back(*a);
}

}  // namespace

THostLookup SetHostLookup(THostLookup lookup) {
  std::lock_guard<std::mutex> g(gHostLookupLock);
  THostLookup previous = std::move(gHostLookup);
  gHostLookup = std::move(lookup);
  return previous;
}

int DnsLookupThreads() { return TLookupWorkers::Instance().Threads(); }

// ===========================================================================
// Name lookups

// The handlers of OnError and of a cancelled lookup's OnDnsLookupDone may free
// the socket: the lookup stops there.
void TCustomWSocket::DnsLookup(const std::string& HostName) {
  const TSessionWatch watch(*this);
  if (HostName.empty()) {
    FLastError = WSAEINVAL;
    ReportError("DNS lookup: invalid host name.");
    if (!watch.Freed()) TriggerDNSLookupDone(WSAEINVAL);
    return;
  }
  if (FDnsRequestId != 0) CancelDnsLookup();
  if (watch.Freed()) return;
  FDnsResult.clear();
  FDnsResultList.clear();
  if (IsDottedIPv4(HostName)) {
    FDnsResult = WSocket_inet_ntoa(WSocket_inet_addr(HostName));
    FDnsResultList.push_back(FDnsResult);
    TriggerDNSLookupDone(0);
    return;
  }
  if (!HasHandle()) {
    ReportError("DnsLookup: Window not assigned");
    return;
  }
  if (!StartLookup(FMsgHostLookup, [HostName, lookup = CurrentHostLookup()](TDnsRequest& req) {
        req.Error = lookup(HostName, req.Results, req.Cancelled);
      }))
    ReportError(HostName + ": can't start DNS lookup - " + SocketErrorText(WSAENOBUFS));
}

void TCustomWSocket::ReverseDnsLookup(const std::string& HostAddr) {
  const TSessionWatch watch(*this);
  if (HostAddr.empty()) {
    FLastError = WSAEINVAL;
    ReportError("Reverse DNS Lookup: Invalid host name.");
    if (!watch.Freed()) TriggerDNSLookupDone(WSAEINVAL);
    return;
  }
  if (FDnsRequestId != 0) CancelDnsLookup();
  if (watch.Freed()) return;
  FDnsResult.clear();
  FDnsResultList.clear();
  if (!HasHandle()) {
    ReportError("Reverse DNS Lookup: Window not assigned");
    return;
  }
  const uint32_t addr = WSocket_inet_addr(HostAddr);
  if (!StartLookup(FMsgAddrLookup, [addr](TDnsRequest& req) { LookupAddr(addr, req); }))
    ReportError(HostAddr + ": can't start reverse DNS lookup - " + SocketErrorText(WSAENOBUFS));
}

bool TCustomWSocket::StartLookup(UINT msg, std::function<void(TDnsRequest&)> work) {
  auto req = std::make_shared<TDnsRequest>();
  const uint64_t id = ++gDnsRequestIds;
  const HWND wnd = Handle();
  const LPARAM tag = TaggedLParam(msg, 0);
  WinsockEnsureStarted();
  try {
    // The answer is posted back; a cancelled or reused request no longer matches it.
    TLookupWorkers::Instance().Submit(
        {req, std::move(work), [wnd, msg, tag, id](const TDnsRequest& r) {
           PostMessage(wnd, msg, static_cast<WPARAM>(id),
                       tag | static_cast<LPARAM>((static_cast<uint32_t>(r.Error) & 0xFFFF) << 16));
         }});
  } catch (std::exception&) {
    return false;
  }
  FDnsRequest = req;
  FDnsRequestId = id;
  return true;
}

void TCustomWSocket::WMAsyncLookupDone(TMessage& msg) {
  if (FDnsRequestId == 0 || msg.WParam != static_cast<WPARAM>(FDnsRequestId)) return;
  std::shared_ptr<TDnsRequest> req = std::move(FDnsRequest);
  FDnsRequestId = 0;
  const uint16_t err = HiWord(msg.LParam);
  if (err == 0 && req) {
    FDnsResultList = req->Results;
    if (!FDnsResultList.empty()) FDnsResult = FDnsResultList.front();
  }
  if (err != 0) SetLastError(err);
  TriggerDNSLookupDone(err);
}

void TCustomWSocket::ReverseDnsLookupBlocking(const std::string& HostAddr) {
  const TSessionWatch watch(*this);
  if (HostAddr.empty()) {
    FLastError = WSAEINVAL;
    ReportError("Reverse DNS Lookup: Invalid host name.");
    if (!watch.Freed()) TriggerDNSLookupDone(WSAEINVAL);
    return;
  }
  if (FDnsRequestId != 0) CancelDnsLookup();
  if (watch.Freed()) return;
  FDnsResult.clear();
  FDnsResultList.clear();
  TDnsRequest req;
  WinsockEnsureStarted();
  LookupAddr(WSocket_inet_addr(HostAddr), req);
  if (req.Error == 0) {
    FDnsResultList = req.Results;
    if (!FDnsResultList.empty()) FDnsResult = FDnsResultList.front();
  } else {
    SetLastError(req.Error);
  }
  TriggerDNSLookupDone(static_cast<uint16_t>(req.Error));
}

void TCustomWSocket::CancelDnsLookup() {
  if (FDnsRequestId == 0) return;
  // A queued lookup is skipped, a running one is told to stop; a late answer
  // no longer matches and is dropped.
  if (FDnsRequest) FDnsRequest->Cancelled = true;
  FDnsRequestId = 0;
  FDnsRequest.reset();
  if (!ComponentState().Contains(csDestroying)) TriggerDNSLookupDone(WSAEINTR);
}

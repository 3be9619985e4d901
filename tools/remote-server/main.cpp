// A scripted remote capture server for trying the main window's remote
// control by hand: one fake server per port on 127.0.0.1, each with its own
// adapters and its own capture state, speaking the control protocol (commands
// of digits with an optional ",argument" ended by CR LF; answers as LF lines
// ending with a "SCS>" prompt line). Every command and what it changed is
// written to standard output, one line each, with the server's port.
//   remote-server [--adapters eth0,wlan0] PORT[:live][:slow]...
// ":live" starts that server with its capture running; ":slow" makes it
// answer each command 2 s late (the client's commands then stay under way). While a server's
// capture runs and a feed destination was given ("20,<ip>", "21,<port>"), it
// sends one packet line a second there by UDP.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

namespace {

volatile std::sig_atomic_t gStop = 0;
void OnSignal(int) { gStop = 1; }

struct TServer {
  int Port = 0;
  int Listener = -1;
  std::vector<std::string> Adapters;
  int Adapter = 0;
  int MonLive = 0;
  int PcapConnected = 0;
  std::string FeedIp;
  int FeedPort = 0;
  int Lines = 0;
  bool Slow = false;
};

struct TClient {
  int Fd = -1;
  TServer* Server = nullptr;
  std::string Buffer;
  // Answers of a slow server with the time they are due.
  std::vector<std::pair<std::chrono::steady_clock::time_point, std::string>> Pending;
  bool CloseWhenSent = false;
};

std::string Now() {
  timeval T{};
  gettimeofday(&T, nullptr);
  tm L{};
  localtime_r(&T.tv_sec, &L);
  char Text[32];
  std::snprintf(Text, sizeof Text, "%02d:%02d:%02d.%03d", L.tm_hour, L.tm_min, L.tm_sec, int(T.tv_usec / 1000));
  return Text;
}

void Say(const TServer& S, const std::string& Text) {
  std::printf("%s [%d] %s\n", Now().c_str(), S.Port, Text.c_str());
  std::fflush(stdout);
}

bool Send(int Fd, const std::string& Text) {
  return ::send(Fd, Text.data(), Text.size(), MSG_NOSIGNAL) == ssize_t(Text.size());
}

std::string Status(const TServer& S) {
  return "MonLive=" + std::to_string(S.MonLive) + " MonitorPcap.Connected=" + std::to_string(S.PcapConnected);
}

std::string AdapterIPs(const TServer& S) {
  // One made-up address per adapter, different per server.
  return "192.168." + std::to_string(S.Adapter + 1) + "." + std::to_string(10 + S.Port % 200);
}

// The answer to one command, ending with the prompt; sets Close for "1".
std::string Answer(TServer& S, const std::string& Command, bool& Close) {
  const std::size_t Comma = Command.find(',');
  const std::string Code = Command.substr(0, Comma);
  const std::string Arg = Comma == std::string::npos ? std::string() : Command.substr(Comma + 1);
  std::string R;
  if (Code == "1") {
    Close = true;
    Say(S, "client leaves");
    return R;
  }
  if (Code == "10") {
    R = "AdapterIPList,Begin\n" + AdapterIPs(S) + "\nIDX=0\nAdapterIPList,End\n";
  } else if (Code == "11") {
    R = "AdapterList,Begin\n";
    for (std::size_t i = 0; i < S.Adapters.size(); ++i) R += std::to_string(i) + "=" + S.Adapters[i] + "\n";
    R += "IDX=" + std::to_string(S.Adapter) + "\nAdapterList,End\n";
  } else if (Code == "12") {
    R = "SnifferStat,Begin\nMonLive=" + std::to_string(S.MonLive) +
        "\nMonitorPcap.Connected=" + std::to_string(S.PcapConnected) + "\nSnifferStat,End\n";
    Say(S, "tells " + Status(S));
  } else if (Code == "22") {
    char* End = nullptr;
    const long N = std::strtol(Arg.c_str(), &End, 10);
    if (Arg.empty() || *End != '\0' || N < 0 || N >= long(S.Adapters.size())) {
      R = "Bad adapter " + Arg + "\n";
      Say(S, "bad adapter " + Arg);
    } else {
      S.Adapter = int(N);
      Say(S, "adapter " + Arg + " (" + S.Adapters[N] + ")");
    }
  } else if (Code == "30" || Code == "31") {
    S.MonLive = Code == "30";
    Say(S, std::string(S.MonLive ? "capture started: " : "capture stopped: ") + Status(S));
  } else if (Code == "32" || Code == "33") {
    S.PcapConnected = Code == "32";
    Say(S, std::string(S.PcapConnected ? "adapter opened: " : "adapter closed: ") + Status(S));
  } else if (Code == "4") {
    R = "Adapter=" + S.Adapters[S.Adapter] + "\nSendTo=" + S.FeedIp + ":" + std::to_string(S.FeedPort) + "\n" +
        "MonLive=" + std::to_string(S.MonLive) + "\n";
  } else if (Code == "20") {
    S.FeedIp = Arg;
    Say(S, "feed address " + Arg);
  } else if (Code == "21") {
    S.FeedPort = std::atoi(Arg.c_str());
    Say(S, "feed port " + Arg);
  } else {
    R = "Unknown command " + Command + "\n";
  }
  return R + "remote-server " + std::to_string(S.Port) + " SCS>\n";
}

// One packet line of the feed: an HTTP request from a made-up host of this
// server to its first address.
void SendFeedLine(TServer& S, int Udp) {
  sockaddr_in To{};
  To.sin_family = AF_INET;
  To.sin_port = htons(uint16_t(S.FeedPort));
  if (inet_pton(AF_INET, S.FeedIp.c_str(), &To.sin_addr) != 1) return;
  timeval T{};
  gettimeofday(&T, nullptr);
  tm L{};
  localtime_r(&T.tv_sec, &L);
  char Line[256];
  std::snprintf(Line, sizeof Line,
                "%02d:%02d:%02d:%03d\t00-0C-29-00-00-%02X\t00-0C-29-00-00-01\t0800\t%d\t10.%d.0.%d\t%d\t%s\t80\tTCP"
                "\tTCP-IP\n",
                L.tm_hour, L.tm_min, L.tm_sec, int(T.tv_usec / 1000), S.Port % 256, 60 + S.Lines % 1400, S.Port % 256,
                2 + S.Lines % 5, 40000 + S.Lines % 1000, AdapterIPs(S).c_str());
  ++S.Lines;
  ::sendto(Udp, Line, std::strlen(Line), 0, reinterpret_cast<sockaddr*>(&To), sizeof To);
}

int Listen(int Port) {
  const int Fd = ::socket(AF_INET, SOCK_STREAM, 0);
  const int On = 1;
  ::setsockopt(Fd, SOL_SOCKET, SO_REUSEADDR, &On, sizeof On);
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  A.sin_port = htons(uint16_t(Port));
  if (::bind(Fd, reinterpret_cast<sockaddr*>(&A), sizeof A) != 0 || ::listen(Fd, 4) != 0) {
    ::close(Fd);
    return -1;
  }
  return Fd;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> Adapters{"eth0", "wlan0"};
  std::vector<TServer> Servers;
  for (int i = 1; i < argc; ++i) {
    const std::string A = argv[i];
    if (A == "--adapters" && i + 1 < argc) {
      Adapters.clear();
      std::string List = argv[++i];
      for (std::size_t At; (At = List.find(',')) != std::string::npos; List.erase(0, At + 1))
        Adapters.push_back(List.substr(0, At));
      if (!List.empty()) Adapters.push_back(List);
      continue;
    }
    TServer S;
    S.Port = std::atoi(A.c_str());
    S.MonLive = S.PcapConnected = A.find(":live") != std::string::npos;
    S.Slow = A.find(":slow") != std::string::npos;
    if (S.Port <= 0 || S.Port > 65535) {
      std::fprintf(stderr, "usage: remote-server [--adapters eth0,wlan0] PORT[:live][:slow]...\n");
      return 2;
    }
    Servers.push_back(S);
  }
  if (Servers.empty() || Adapters.empty()) {
    std::fprintf(stderr, "usage: remote-server [--adapters eth0,wlan0] PORT[:live][:slow]...\n");
    return 2;
  }
  for (TServer& S : Servers) {
    S.Adapters = Adapters;
    S.Listener = Listen(S.Port);
    if (S.Listener < 0) {
      std::fprintf(stderr, "remote-server: cannot listen on 127.0.0.1:%d\n", S.Port);
      return 1;
    }
    Say(S, "listening on 127.0.0.1, " + Status(S));
  }
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  const int Udp = ::socket(AF_INET, SOCK_DGRAM, 0);

  std::vector<TClient> Clients;
  time_t LastFeed = 0;
  while (!gStop) {
    std::vector<pollfd> Fds;
    for (const TServer& S : Servers) Fds.push_back({S.Listener, POLLIN, 0});
    for (const TClient& C : Clients) Fds.push_back({C.Fd, POLLIN, 0});
    bool Waiting = false;
    for (const TClient& C : Clients) Waiting = Waiting || !C.Pending.empty();
    if (::poll(Fds.data(), Fds.size(), Waiting ? 20 : 200) < 0) continue;
    for (std::size_t i = 0; i < Servers.size(); ++i) {
      if (!(Fds[i].revents & POLLIN)) continue;
      sockaddr_in From{};
      socklen_t Len = sizeof From;
      const int Fd = ::accept(Servers[i].Listener, reinterpret_cast<sockaddr*>(&From), &Len);
      if (Fd < 0) continue;
      Say(Servers[i], "client connected from port " + std::to_string(ntohs(From.sin_port)));
      Send(Fd, "remote-server " + std::to_string(Servers[i].Port) + " ready SCS>\n");
      TClient C;
      C.Fd = Fd;
      C.Server = &Servers[i];
      Clients.push_back(std::move(C));
    }
    // Clients accepted in this turn have no poll entry yet.
    const std::size_t Polled = Fds.size() - Servers.size();
    std::vector<TClient> Kept;
    for (std::size_t c = 0; c < Clients.size(); ++c) {
      TClient& C = Clients[c];
      bool Close = false;
      if (c < Polled && (Fds[Servers.size() + c].revents & (POLLIN | POLLHUP | POLLERR))) {
        char Chunk[1024];
        const ssize_t N = ::recv(C.Fd, Chunk, sizeof Chunk, 0);
        if (N <= 0) {
          Say(*C.Server, "client gone");
          Close = true;
        } else {
          C.Buffer.append(Chunk, std::size_t(N));
        }
        for (std::size_t At; !Close && (At = C.Buffer.find('\n')) != std::string::npos;) {
          std::string Command = C.Buffer.substr(0, At);
          C.Buffer.erase(0, At + 1);
          if (!Command.empty() && Command.back() == '\r') Command.pop_back();
          Say(*C.Server, "got \"" + Command + "\"");
          const std::string Reply = Answer(*C.Server, Command, Close);
          if (C.Server->Slow) {
            C.Pending.emplace_back(std::chrono::steady_clock::now() + std::chrono::seconds(2), Reply);
            C.CloseWhenSent = C.CloseWhenSent || Close;
            Close = false;
          } else if (!Reply.empty()) {
            Send(C.Fd, Reply);
          }
        }
      }
      const auto Now = std::chrono::steady_clock::now();
      while (!Close && !C.Pending.empty() && C.Pending.front().first <= Now) {
        if (!C.Pending.front().second.empty()) Send(C.Fd, C.Pending.front().second);
        C.Pending.erase(C.Pending.begin());
        Close = C.Pending.empty() && C.CloseWhenSent;
      }
      if (Close)
        ::close(C.Fd);
      else
        Kept.push_back(C);
    }
    Clients.swap(Kept);
    const time_t T = ::time(nullptr);
    if (T != LastFeed) {
      LastFeed = T;
      for (TServer& S : Servers)
        if (S.MonLive && S.PcapConnected && S.FeedPort > 0) SendFeedLine(S, Udp);
    }
  }
  for (const TClient& C : Clients) ::close(C.Fd);
  for (const TServer& S : Servers) ::close(S.Listener);
  ::close(Udp);
  return 0;
}

// feed-sender: sends packet lines over UDP at a fixed rate, as a remote capture
// program would, for load and end-to-end measurements of the traffic view.
//
//   feed-sender [--to ADDR] [--port N] [--rate LINES_PER_S] [--seconds S]
//               [--hosts N] [--conns N] [--per24 | --packed] [--new-share F]
//               [--shape neighbours|random|star] [--servers N] [--ports-change] [--in-order] [--per-datagram N] [--seed N] [--quiet]
//               [--no-line-ends] [--bad-first three|empty-suffix]
//
// With no options it sends 500 lines/s for 60 s between 24 hosts over 40
// conversations: 24 cubes spread around the view, joined by pipes.
//
// Hosts are addresses from 11.0.0.0 up: one host per /24 block (the default,
// --per24; each host is a cube of its own), or with --packed 254 to a /24 block
// (a block is one cube). Up to 256 hosts, one per block, take third octets spread
// evenly over 0..255, so that their cubes stand apart around the view; more take
// consecutive blocks.
// Conversations are distinct host pairs of one of three shapes: neighbours (the
// default), nearest neighbours around the ring first, and when more are asked
// for than there are pairs, a host talking to itself fills up; random, two
// hosts drawn at random (pipes across the ring); star, a host drawn at random
// talking to one of --servers servers spread evenly around the ring (a LAN and
// its gateway and servers). Each
// line picks a conversation and a direction at random. A conversation keeps
// its ports unless a line starts a new connection (--new-share of the lines)
// or --ports-change gives every line a new source port. With --in-order the
// lines take the conversations in turn, each from its first host to its second
// (with --hosts N --conns N --per24, N lines are N new sources, each its own cube).
// With --no-line-ends the last line of a datagram has no LF after it (with one
// line per datagram: no line end at all). --bad-first sends one piece that is
// not a line before the lines, in a datagram of its own: three fields, or a
// line whose suffix is empty (ten fields).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "app/PacketLine.h"
#include "capture/capsubs.h"
#include "rtl/SysUtils.h"

namespace {

struct TOptions {
  std::string To = "127.0.0.1";
  int Port = 32000;
  double Rate = 500;
  double Seconds = 60;
  int Hosts = 24;
  int Conns = 40;
  bool Per24 = true;
  std::string Shape = "neighbours";  // "neighbours", "random" or "star"
  int Servers = 20;
  double NewShare = 0;
  bool PortsChange = false;
  bool InOrder = false;
  int PerDatagram = 1;
  unsigned Seed = 1;
  bool Quiet = false;
  bool NoLineEnds = false;
  std::string BadFirst;  // "", "three" or "empty-suffix"
};

const char* const UsageText =
    "usage: feed-sender [--to ADDR] [--port N] [--rate LINES_PER_S] [--seconds S]\n"
    "                   [--hosts N] [--conns N] [--per24 | --packed] [--new-share F]\n"
    "                   [--shape neighbours|random|star] [--servers N] [--ports-change] [--in-order] [--per-datagram "
    "N] [--seed N] [--quiet]\n"
    "                   [--no-line-ends] [--bad-first three|empty-suffix]\n";

const char* const HelpText =
    "Sends packet lines over UDP, as a remote capture program would.\n"
    "  --to ADDR          destination IPv4 address (default 127.0.0.1)\n"
    "  --port N           destination UDP port (default 32000)\n"
    "  --rate R           lines per second (default 500)\n"
    "  --seconds S        how long to send (default 60)\n"
    "  --hosts N          made-up hosts, from 11.0.0.1 up (default 24)\n"
    "  --conns N          conversations between them (default 40)\n"
    "  --shape S          which hosts talk: \"neighbours\", nearest around the ring first (the\n"
    "                     default); \"random\" pairs; a \"star\", each to one of a few servers\n"
    "  --servers N        servers of the star, spread around the ring (default 20)\n"
    "  --per24            one host per /24 block, each its own cube (the default)\n"
    "  --packed           254 hosts per /24 block, one cube per block\n"
    "  --new-share F      share of lines that open a new connection (new source port)\n"
    "  --ports-change     every line a new source port\n"
    "  --in-order         take the conversations in turn instead of at random\n"
    "  --per-datagram N   lines per UDP datagram (default 1)\n"
    "  --seed N           random seed (default 1)\n"
    "  --quiet            no summary line at the end\n"
    "  --no-line-ends     no LF after the last line of a datagram\n"
    "  --bad-first KIND   first send one piece that is not a line: \"three\" fields, or a line\n"
    "                     with an \"empty-suffix\"\n";

[[noreturn]] void Usage(const char* Why) {
  std::fprintf(stderr, "feed-sender: %s\n%s", Why, UsageText);
  std::exit(2);
}

double Number(const char* Name, const char* Text, double Min, double Max) {
  char* End = nullptr;
  errno = 0;
  const double V = std::strtod(Text, &End);
  if (errno || End == Text || *End || !(V >= Min && V <= Max)) {
    std::fprintf(stderr, "feed-sender: %s wants a number from %g to %g, not \"%s\"\n", Name, Min, Max, Text);
    std::exit(2);
  }
  return V;
}

TOptions ParseOptions(int Argc, char** Argv) {
  TOptions O;
  for (int I = 1; I < Argc; ++I) {
    const std::string A = Argv[I];
    auto Value = [&]() -> const char* {
      if (I + 1 >= Argc) Usage((A + " needs a value").c_str());
      return Argv[++I];
    };
    if (A == "--to")
      O.To = Value();
    else if (A == "--port")
      O.Port = int(Number("--port", Value(), 1, 65535));
    else if (A == "--rate")
      O.Rate = Number("--rate", Value(), 1, 1e7);
    else if (A == "--seconds")
      O.Seconds = Number("--seconds", Value(), 0, 1e6);
    else if (A == "--hosts")
      O.Hosts = int(Number("--hosts", Value(), 1, 1 << 22));
    else if (A == "--conns")
      O.Conns = int(Number("--conns", Value(), 1, 1 << 24));
    else if (A == "--per24")
      O.Per24 = true;
    else if (A == "--packed")
      O.Per24 = false;
    else if (A == "--shape") {
      O.Shape = Value();
      if (O.Shape != "neighbours" && O.Shape != "random" && O.Shape != "star")
        Usage(("--shape wants neighbours, random or star, not " + O.Shape).c_str());
    } else if (A == "--servers")
      O.Servers = int(Number("--servers", Value(), 1, 1 << 22));
    else if (A == "--new-share")
      O.NewShare = Number("--new-share", Value(), 0, 1);
    else if (A == "--ports-change")
      O.PortsChange = true;
    else if (A == "--in-order")
      O.InOrder = true;
    else if (A == "--per-datagram")
      O.PerDatagram = int(Number("--per-datagram", Value(), 1, 1000));
    else if (A == "--seed")
      O.Seed = unsigned(Number("--seed", Value(), 0, 4294967295.0));
    else if (A == "--quiet")
      O.Quiet = true;
    else if (A == "--no-line-ends")
      O.NoLineEnds = true;
    else if (A == "--bad-first") {
      O.BadFirst = Value();
      if (O.BadFirst != "three" && O.BadFirst != "empty-suffix")
        Usage(("--bad-first wants three or empty-suffix, not " + O.BadFirst).c_str());
    } else if (A == "--help" || A == "-h") {
      std::printf("%s%s", UsageText, HelpText);
      std::exit(0);
    } else
      Usage(("unknown option " + A).c_str());
  }
  // Random pairs are distinct pairs of two hosts; a star's are a client and a server.
  const double Hosts = O.Hosts, Servers = std::min(O.Servers, O.Hosts - 1);
  const double Pairs = O.Shape == "neighbours" ? Hosts * (Hosts - 1) / 2 + Hosts
                       : O.Shape == "random"   ? Hosts * (Hosts - 1) / 2
                                               : (Hosts - Servers) * Servers;
  if (O.Conns > Pairs) {
    std::fprintf(stderr, "feed-sender: %d hosts have at most %.0f conversations of the shape %s\n", O.Hosts, Pairs,
                 O.Shape.c_str());
    std::exit(2);
  }
  return O;
}

// Network-order address of host I of Hosts.
uint32_t HostAddress(int I, int Hosts, bool Per24) {
  uint32_t Block, Last;
  if (Per24) {
    Block = uint32_t(I) * uint32_t(Hosts <= 256 ? 256 / Hosts : 1);
    Last = 1;
  } else {
    Block = uint32_t(I / 254);
    Last = uint32_t(I % 254 + 1);
  }
  const uint32_t A = (11u << 24) + (Block << 8) + Last;
  return htonl(A);
}

struct TConversation {
  int A, B;          // hosts
  int PortA, PortB;  // PortA is the port of the side that opened it
};

// The first Count distinct unordered host pairs, by distance 1, 2, ... around
// the ring of hosts, then hosts paired with themselves.
std::vector<TConversation> Conversations(int Hosts, int Count) {
  std::vector<TConversation> C;
  C.reserve(Count);
  for (int Offset = 1; Offset <= Hosts / 2 && int(C.size()) < Count; ++Offset) {
    // At half the ring each pair would come twice: take its first half only.
    const int Starts = 2 * Offset == Hosts ? Hosts / 2 : Hosts;
    for (int S = 0; S < Starts && int(C.size()) < Count; ++S) C.push_back({S, (S + Offset) % Hosts, 0, 0});
  }
  for (int S = 0; S < Hosts && int(C.size()) < Count; ++S) C.push_back({S, S, 0, 0});
  return C;
}

// Count distinct pairs drawn at random: two hosts (random), or a client and one of Servers
// servers spread evenly around the ring (star). The first host of a pair opens it.
std::vector<TConversation> DrawnConversations(int Hosts, int Count, int Servers, bool Star, std::mt19937& Rnd) {
  Servers = std::max(1, std::min(Servers, Hosts - 1));
  std::vector<char> IsServer(size_t(Hosts), 0);
  std::vector<int> ServerHosts;
  for (int K = 0; K < Servers; ++K) {
    ServerHosts.push_back(int(int64_t(K) * Hosts / Servers));
    IsServer[size_t(ServerHosts.back())] = 1;
  }
  std::unordered_set<uint64_t> Taken;
  std::vector<TConversation> C;
  C.reserve(Count);
  while (int(C.size()) < Count) {
    int A = int(Rnd() % unsigned(Hosts)), B;
    if (Star) {
      if (IsServer[size_t(A)]) continue;
      B = ServerHosts[Rnd() % ServerHosts.size()];
    } else {
      B = int(Rnd() % unsigned(Hosts));
      if (A == B) continue;
    }
    if (Taken.insert(uint64_t(std::min(A, B)) << 32 | uint32_t(std::max(A, B))).second) C.push_back({A, B, 0, 0});
  }
  return C;
}

}  // namespace

int main(int Argc, char** Argv) {
  const TOptions O = ParseOptions(Argc, Argv);
  sockaddr_in To{};
  To.sin_family = AF_INET;
  To.sin_port = htons(uint16_t(O.Port));
  if (inet_pton(AF_INET, O.To.c_str(), &To.sin_addr) != 1) Usage(("not an IPv4 address: " + O.To).c_str());
  const int Sock = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (Sock < 0) {
    std::perror("feed-sender: socket");
    return 1;
  }

  std::mt19937 Rnd(O.Seed);
  std::vector<TConversation> Convs = O.Shape == "neighbours"
                                         ? Conversations(O.Hosts, O.Conns)
                                         : DrawnConversations(O.Hosts, O.Conns, O.Servers, O.Shape == "star", Rnd);
  int NextPort = 1024;
  auto NewPort = [&NextPort] {
    const int P = NextPort;
    NextPort = NextPort >= 65535 ? 1024 : NextPort + 1;
    return P;
  };
  static const int Services[] = {80, 443, 53, 22, 25, 110, 143, 3389, 8080, 445};
  for (TConversation& C : Convs) {
    C.PortA = NewPort();
    C.PortB = Services[Rnd() % (sizeof Services / sizeof *Services)];
  }
  std::uniform_real_distribution<double> Share(0, 1);

  TPacketInfo P;
  P.EtherType = 0x0800;
  P.IpProtocol = IPPROTO_TCP_NUM;
  size_t NextInOrder = 0;
  auto MakeLine = [&]() {
    TConversation& C = O.InOrder ? Convs[NextInOrder++ % Convs.size()] : Convs[Rnd() % Convs.size()];
    if (O.PortsChange || (O.NewShare > 0 && Share(Rnd) < O.NewShare)) C.PortA = NewPort();
    const bool Forward = O.InOrder || (Rnd() & 1);
    const int From = Forward ? C.A : C.B, To = Forward ? C.B : C.A;
    P.SourceIp = HostAddress(From, O.Hosts, O.Per24);
    P.DestIp = HostAddress(To, O.Hosts, O.Per24);
    P.SourcePort = Forward ? C.PortA : C.PortB;
    P.DestPort = Forward ? C.PortB : C.PortA;
    for (int I = 0; I < 6; ++I) {
      P.SourceMac[I] = uint8_t(I == 0 ? 0x02 : uint64_t(From) >> (8 * (5 - I)));
      P.DestMac[I] = uint8_t(I == 0 ? 0x02 : uint64_t(To) >> (8 * (5 - I)));
    }
    P.WireLength = 60 + int(Rnd() % 1455);
    P.CaptureTime = Now();
    bool LogIt = false;
    return MakePacketLine(P, LogIt);
  };

  using Clock = std::chrono::steady_clock;
  const auto Start = Clock::now();
  const long long Total = (long long)(O.Rate * O.Seconds + 0.5);
  long long Sent = 0, Datagrams = 0, Errors = 0;
  int LastErrno = 0;
  std::string Datagram;
  if (!O.BadFirst.empty()) {
    if (O.BadFirst == "three")
      Datagram = TimeToTextMs(Now()) + "\tonly\tthree";
    else {
      Datagram = MakeLine();
      Datagram.erase(Datagram.rfind('\t') + 1);
    }
    if (!O.NoLineEnds) Datagram += '\n';
    if (::sendto(Sock, Datagram.data(), Datagram.size(), 0, reinterpret_cast<sockaddr*>(&To), sizeof To) < 0) {
      ++Errors;
      LastErrno = errno;
    }
  }
  while (Sent < Total) {
    const double Elapsed = std::chrono::duration<double>(Clock::now() - Start).count();
    long long Due = std::min(Total, (long long)(Elapsed * O.Rate) + 1);
    if (Due <= Sent) {
      std::this_thread::sleep_for(std::chrono::microseconds(500));
      continue;
    }
    while (Sent < Due) {
      Datagram.clear();
      for (int I = 0; I < O.PerDatagram && Sent < Due; ++I, ++Sent) {
        if (I > 0) Datagram += '\n';
        Datagram += MakeLine();
      }
      if (!O.NoLineEnds) Datagram += '\n';
      ++Datagrams;
      if (::sendto(Sock, Datagram.data(), Datagram.size(), 0, reinterpret_cast<sockaddr*>(&To), sizeof To) < 0) {
        ++Errors;
        LastErrno = errno;
      }
    }
  }
  const double Took = std::chrono::duration<double>(Clock::now() - Start).count();
  ::close(Sock);
  if (!O.Quiet) {
    std::printf("sent %s%lld lines in %lld datagrams over %.2f s (%.0f lines/s), %lld send errors%s%s\n",
                O.BadFirst.empty() ? "" : "one bad piece, then ", Sent, Datagrams, Took, Took > 0 ? Sent / Took : 0.0,
                Errors, Errors ? ": " : "", Errors ? std::strerror(LastErrno) : "");
  }
  return Errors ? 1 : 0;
}

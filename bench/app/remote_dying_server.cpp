// Commands of the remote control to a capture server that dies: the server
// answers "10", then closes the connection on "11"; the client goes on with
// "12", "22,0" and "11". Counts the seconds each command takes (until it is
// answered or given up) and the "timed OUT" and "not connected" lines logged.
//
//   bench_remote_dying_server [--benchmark_filter=...]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QListWidget>
#include <QPlainTextEdit>
#include <benchmark/benchmark.h>

#include <chrono>
#include <string>
#include <thread>

#include "app/RemoteControl.h"
#include "app/Unit_Globals.h"
#include "bench/app/OffscreenBenchMain.h"

namespace {

// Takes one connection: greets, answers every command with the prompt until "11", then closes.
class TDyingServer {
 public:
  TDyingServer() {
    Listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(Listener_, reinterpret_cast<sockaddr*>(&A), sizeof A);
    ::listen(Listener_, 1);
    socklen_t Len = sizeof A;
    ::getsockname(Listener_, reinterpret_cast<sockaddr*>(&A), &Len);
    Port = ntohs(A.sin_port);
    Thread_ = std::thread([this] { Serve(); });
  }
  ~TDyingServer() {
    ::shutdown(Listener_, SHUT_RDWR);
    Thread_.join();
    ::close(Listener_);
  }
  int Port = 0;

 private:
  void Serve() {
    const int C = ::accept(Listener_, nullptr, nullptr);
    if (C < 0) return;
    Send(C, "ready SCS>\n");
    std::string Buffer;
    char Chunk[256];
    for (ssize_t N; (N = ::recv(C, Chunk, sizeof Chunk, 0)) > 0;) {
      Buffer.append(Chunk, size_t(N));
      for (size_t At; (At = Buffer.find("\r\n")) != std::string::npos; Buffer.erase(0, At + 2)) {
        if (Buffer.compare(0, At, "11") == 0) {
          ::close(C);
          return;
        }
        Send(C, "SCS>\n");
      }
    }
    ::close(C);
  }
  static void Send(int C, const std::string& Text) { ::send(C, Text.data(), Text.size(), MSG_NOSIGNAL); }
  int Listener_ = -1;
  std::thread Thread_;
};

void BM_CommandsAfterTheServerDied(benchmark::State& state) {
  QListWidget Targets, Adapters, IPs, Status;
  Targets.addItem("local,PC");
  Targets.addItem("127.0.0.1,1");
  Status.addItem("---");
  Status.addItem("0:0");
  QPlainTextEdit Log;
  SetObjInfoMemo(&Log);
  for (auto _ : state) {
    TDyingServer Server;
    TRemoteControl Remote(&Targets, &Adapters, &IPs, &Status);
    Remote.ConnectTo("127.0.0.1", std::to_string(Server.Port), 1);
    Remote.WaitForReply(Remote.ReplyTimeout);
    int I = 0;
    for (const char* Command : {"10", "11", "12", "22,0", "11"}) {
      const auto Start = std::chrono::steady_clock::now();
      Remote.SendCommandAndWait(Command);
      state.counters["s" + std::to_string(I++) + "_" + Command] =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
    }
  }
  SetObjInfoMemo(nullptr);
  state.counters["timed_out_lines"] = Log.toPlainText().count("timed OUT");
  state.counters["not_connected_lines"] = Log.toPlainText().count("not connected");
}
BENCHMARK(BM_CommandsAfterTheServerDied)->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace

int main(int argc, char** argv) { return RunOffscreenBenchmarks(argc, argv); }

// The program: registers the units' classes, creates the main window and runs
// the message loop until it closes.
#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "Source/Materials/GLTexture.h"
#include "Source/Objects/GLObjects.h"
#include "Source/Scene/GLSceneGraph.h"
#include "Source/Viewer/GLEngineClasses.h"
#include "Source/Viewer/GLQtContext.h"
#include "Source/Viewer/GLSceneViewer.h"
#include "app/FrameTimes.h"
#include "app/PacketQueue.h"
#include "app/TrafficScene.h"
#include "app/Unit1.h"
#include "app/Unit2_3D.h"
#include "app/UserFiles.h"
#include "app/Unit_Globals.h"
#include "capture/Packet32.h"
#include "platform/KeyState.h"
#include "platform/Timing.h"
#include "sockets/WSocket.h"

namespace {

// Every unit's classes by name, lower layers first, so stored scenes and
// streams find them.
void RegisterUnits() {
  const auto Report = [](const std::exception& E) {
    std::fprintf(stderr, "tamrivel: class registration: %s\n", E.what());
  };
  try {
    RegisterWSocketClasses();
  } catch (const std::exception& E) {
    Report(E);
  }
  RegisterEngineClasses(Report);
}

// SIGINT and SIGTERM close the main window the normal way (settings and logs
// are saved): the handler only writes a byte that the event loop picks up.
int SignalPipe[2] = {-1, -1};

void OnSignal(int) {
  const char Byte = 1;
  [[maybe_unused]] ssize_t N = ::write(SignalPipe[1], &Byte, 1);
}

void CloseOnSignals(QWidget* Main) {
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, SignalPipe) != 0) return;
  auto* Notifier = new QSocketNotifier(SignalPipe[0], QSocketNotifier::Read, Main);
  QObject::connect(Notifier, &QSocketNotifier::activated, Main, [Main] {
    char Byte;
    [[maybe_unused]] ssize_t N = ::read(SignalPipe[0], &Byte, 1);
    Main->close();
  });
  struct sigaction Action = {};
  Action.sa_handler = OnSignal;
  sigemptyset(&Action.sa_mask);
  Action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &Action, nullptr);
  sigaction(SIGTERM, &Action, nullptr);
}

// With TAMRIVEL_BACKLOG_MS set, the packet queue's backlog, the 3D view's
// frame times since the previous line (frames, longest and median in ms), the
// MB of uploaded textures, the live texture and list names, the heap's
// allocated and free MB and the cubes and pipes in the scene are written to
// standard error at that interval: a read-only diagnostic for load
// measurements.
void ReportBacklog(QObject* Parent) {
  const char* Ms = std::getenv("TAMRIVEL_BACKLOG_MS");
  const int Interval = Ms ? std::atoi(Ms) : 0;
  if (Interval <= 0) return;
  auto* Timer = new QTimer(Parent);
  QObject::connect(Timer, &QTimer::timeout, [] {
    int64_t Now = 0, Frequency = 0;
    QueryPerformanceCounter(Now);
    QueryPerformanceFrequency(Frequency);
    const TFrameTimes::TSummary F = ViewFrameTimes().Take(Now, Frequency);
    // The heap's walk costs milliseconds with many free blocks: once a second.
    static double HeapUsed = 0, HeapFree = 0;
    static int64_t HeapRead = 0;
#if defined(__GLIBC__)
    if (HeapRead == 0 || Now - HeapRead >= Frequency) {
      HeapRead = Now;
      const struct mallinfo2 Heap = mallinfo2();
      HeapUsed = double(Heap.uordblks + Heap.hblkhd) / (1 << 20);
      HeapFree = double(Heap.fordblks) / (1 << 20);
    }
#endif
    int Cubes = 0, Pipes = 0;
    if (Form2_3D) {
      Cubes = Form2_3D->Traffic().PCs()->Count() + Form2_3D->Traffic().Groups()->Count();
      Pipes = Form2_3D->Traffic().Connections()->Count();
    }
    std::fprintf(stderr,
                 "backlog %d frames %d longest %.1f median %.1f textures %.1f names %d/%d heap %.1f/%.1f objects "
                 "%d/%d\n",
                 PacketQueue().QuePending(), F.Frames, F.LongestMs, F.MedianMs,
                 double(TGLTexture::UploadedBytes()) / (1 << 20), TGLContextHandle::LiveTextureNames(),
                 TGLContextHandle::LiveListNames(), HeapUsed, HeapFree, Cubes, Pipes);
  });
  Timer->start(Interval);
}

}  // namespace

int main(int argc, char** argv) {
#if defined(__GLIBC__)
  // The GL driver makes and frees buffers of megabytes each frame (vertices of thousands of pipes
  // and cubes). By default the C library would hand them back to the system and take them again
  // the next frame, a page fault for each page: they stay in the heap for reuse instead. What a
  // mass expiry frees is still given back (the scene trims the heap then).
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 128 << 20);
#endif
  // The 3D view reads held keys from the X server, whichever window has the
  // focus: on a Wayland session, the program runs on its X server.
  PreferX11Platform(argc, argv);
  QApplication App(argc, argv);
  // The main window decides when the program ends (after its close steps).
  App.setQuitOnLastWindowClosed(false);
  RegisterUnits();
  Link3DView();
  int Result = 0;
  {
    // The user's files are read from their own folder from the first file on.
    std::string UserFilesNotice;
    const std::vector<std::string> UserFilesNotes = UseUserFilesFolder(UserFilesNotice);
    auto* Main = new TForm1;
    for (const std::string& Note : UserFilesNotes) LogObjInfo(Note);
    Main->ShowUserFilesNotice(UserFilesNotice);
    QObject::connect(Main, &TForm1::Closed, &App, &QCoreApplication::quit, Qt::QueuedConnection);
    CloseOnSignals(Main);
    ReportBacklog(&App);
    Main->show();
    // Without a window manager nothing activates the window by itself.
    Main->activateWindow();
    Result = App.exec();
    // Settings or logs that could not be saved: the run did not end well.
    if (Result == 0 && !Main->SaveFailures().empty()) Result = 1;
    delete Main;
  }
  FreePacketDll();
  return Result;
}

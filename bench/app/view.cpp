// The traffic view in an 800 x 600 window (needs a display; Xvfb is fine).
// BM_TrafficView / BM_PlainLoop: a frame of the view holding N host cubes and
// 3N pipes, against a plain immediate-mode loop drawing the same objects in
// the same context: per object a matrix push, its own texture bound, its own
// material, the cube or the 4 x 4 cylinder drawn with glBegin/glEnd, after
// the view's ground plane (100 x 100 tiles) and axes. Both sides end with a
// buffer swap and glFinish. The second argument is the traffic's shape: 0 pipes
// mostly along the ring of cubes (to hosts 1, 38 and 75 further), 1 random
// pairs (pipes across the ring), 2 a star (each host to one of 20 servers); the third the
// packets of each conversation (each widens its pipe, 9 to its widest; more than one lays the
// hosts out as the program's shipped profiles do: cubes of 6 on a ring of 120).
// The shapes are also drawn at 10,000 hosts and 30,000 pipes: where the next limit is.
// BM_TrafficView also counts what the GL draws in one frame: triangles sent
// and left after clipping, fragments shaded and samples passing the depth test
// (where the GL can count them).
// BM_NewAddressBurst: 10,000 lines from new source addresses (each its own
// cube and pipe) queued at once, then frames (drain, frame handler, draw)
// until the queue is empty; the longest frame.
// BM_ExpiryRounds: rounds of 1,000 hosts / 3,000 pipes whose ports change on
// every line, drawn, then all expired; resident and allocated memory after
// each round.
#include "Source/Base/OpenGL1x.h"
#include "Source/Scene/GLCadencer.h"
#include "Source/Materials/GLColor.h"
#include "Source/Scene/GLContext.h"
#include "Source/Materials/GLMaterial.h"
#include "Source/Objects/GLObjects.h"
#include "Source/Scene/GLSceneBuffer.h"
#include "Source/Scene/GLSceneGraph.h"
#include "Source/Materials/GLTexture.h"
#include "Source/Viewer/GLQtContext.h"
#include "Source/Viewer/GLSceneViewer.h"
#include "app/MyCylinder.h"
#include "app/PacketQueue.h"
#include "app/SnifferObject.h"
#include "app/TrafficScene.h"
#include "app/Unit2_3D.h"
#include "platform/Paths.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <malloc.h>

#include <GL/glext.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include <dlfcn.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

class TQuietHost : public TViewHost {
 public:
  bool IgnoreARPChecked() const override { return false; }
  bool IgnoreICMPChecked() const override { return false; }
  bool IgnoreIPChecked() const override { return false; }
  bool IgnoreTimeOutChecked() const override { return keepCubes; }
  bool HideBelowThresholdChecked() const override { return false; }
  bool BufferPanelVisible() const override { return true; }
  void ShowBufferPanel() override {}
  void SetBufferLabel(const std::string&) override {}
  void SetCountCaptions(const std::string&, const std::string&, const std::string&) override {}
  void SetTotalBandwidthCaption(const std::string&) override {}
  void SetChartPoint(int, double) override {}
  QPlainTextEdit* OBJinfoMemo() override { return nullptr; }
  QLabel* BandwidthLabel() override { return nullptr; }
  void ShowSelection(const std::string&, const std::string&, const std::string&, const std::string&, const std::string&,
                     const std::string&) override {}
  bool keepCubes = true;  // no expiry while frames are timed
};

void Pump(int ms) {
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < ms) QApplication::processEvents(QEventLoop::AllEvents, 10);
}

double ResidentMB() {
  long pages = 0, resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return double(resident) * double(sysconf(_SC_PAGESIZE)) / (1 << 20);
}

double ProcessCpuMs() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return 1e3 * double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + 1e-3 * double(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

std::string HostIP(int i) { return "10." + std::to_string(i / 256) + "." + std::to_string(i % 256) + ".1"; }

// What the plain loop draws for one object, taken from the view's scene.
struct TPlainObject {
  bool cube = false;
  TMatrix4f matrix;
  GLuint texture = 0;
  GLenum envMode = GL_MODULATE;
  bool blended = false;
  float ambient[4], diffuse[4], specular[4], emission[4], shininess = 0;
  float size[3] = {1, 1, 1};  // cube sides, or radius, radius, height
  float texScale[3] = {1, 1, 1};
};

struct TView {
  QTemporaryDir dir;
  TQuietHost host;
  std::unique_ptr<TForm2_3D> form;
  std::vector<TPlainObject> plain;
  GLuint planeTexture = 0;
  TMatrix4f planeMatrix;
  double residentMB = 0;  // with the scene built and drawn once
  // Uploaded texture MB and texture names then (before the plain loop's copies).
  double textureMB = 0;
  int textureNames = 0;
};

void Copy(float* to, TGLColor* c) {
  const TVector4f v = c->Color();
  for (int i = 0; i < 4; ++i) to[i] = v[i];
}

TPlainObject PlainOf(TGLCustomSceneObject* o, TGLTexture* tex, TGLTextureExItem* item) {
  TPlainObject p;
  p.matrix = o->AbsoluteMatrix();
  p.texture = tex->GetTextureHandle();
  p.envMode = tex->TextureMode() == tmModulate ? GL_MODULATE : GL_DECAL;
  TGLMaterial* m = o->Material();
  p.blended = m->Blended();
  Copy(p.ambient, m->FrontProperties()->Ambient());
  Copy(p.diffuse, m->FrontProperties()->Diffuse());
  Copy(p.specular, m->FrontProperties()->Specular());
  Copy(p.emission, m->FrontProperties()->Emission());
  p.shininess = float(m->FrontProperties()->Shininess());
  if (item)
    p.texScale[0] = item->TextureScale()->X(), p.texScale[1] = item->TextureScale()->Y(),
    p.texScale[2] = item->TextureScale()->Z();
  return p;
}

// Built views, kept between benchmarks of the same size and shape; gone before the application.
std::map<std::pair<int, int>, std::unique_ptr<TView>> views;

// The 3N conversations of N hosts of a shape (see the top).
std::vector<std::pair<int, int>> Conversations(int hosts, int shape) {
  std::vector<std::pair<int, int>> out;
  std::set<std::pair<int, int>> taken;
  std::mt19937 rnd(1);
  constexpr int kServers = 20;
  while (int(out.size()) < 3 * hosts) {
    const int k = int(out.size());
    int a = k % hosts, b = (a + 1 + (k / hosts) * 37) % hosts;
    if (shape == 1) {
      a = int(rnd() % unsigned(hosts)), b = int(rnd() % unsigned(hosts));
    } else if (shape == 2) {
      a = int(rnd() % unsigned(hosts)), b = int(rnd() % kServers) * hosts / kServers;
    }
    if (shape != 0 && (a == b || !taken.insert({std::min(a, b), std::max(a, b)}).second)) continue;
    out.emplace_back(a, b);
  }
  return out;
}

TView& ViewOf(int hosts, int shape = 0, int packets = 1) {
  const std::pair<int, int> key{hosts, shape * 100 + packets};
  if (views.count(key)) return *views[key];
  views.clear();  // one view at a time, so its resident memory is its own
  malloc_trim(0);
  auto& v = views[key];
  v = std::make_unique<TView>();
  SetProgramFolder(v->dir.path().toStdString());
  // Fed pipes (more than one packet) stand between hosts laid out as the program ships them.
  std::ofstream(v->dir.path().toStdString() + "/SnifferPCsInfo.ini")
      << (packets > 1 ? "[Default]\nIP=203.0.113.1\nIPmin=0.0.0.0\nIPmax=255.255.255.255\nX=0\nY=0\nZ=5\n"
                        "NetType=other\nIPBlockRadius=40\nRADoffset=80\nIPBlockZmin=10\nIPBlockSpreadZ=0.1\n"
                        "Width=6\nHeight=6\nDepth=6\n"
                      : "[Default]\nNetType=other\nWidth=2\nHeight=2\nDepth=2\n");
  v->form = std::make_unique<TForm2_3D>(&v->host, nullptr, 0);
  v->form->resize(800, 600);
  v->form->show();
  Pump(300);
  v->form->GLCadencer1()->SetEnabled(false);  // frames by hand
  TTrafficScene& traffic = v->form->Traffic();
  const std::vector<std::pair<int, int>> conversations = Conversations(hosts, shape);
  for (int k = 0; k < 3 * hosts * packets; ++k) {
    const auto [a, b] = conversations[size_t(k % (3 * hosts))];
    traffic.ProcessLine("t\tm1\tm2\t0800\t100\t" + HostIP(a) + "\t" + std::to_string(1025 + k % (3 * hosts)) + "\t" +
                        HostIP(b) + "\t80\tTCP\tTCP-IP");
  }
  TGLSceneViewer* viewer = v->form->GLSceneViewer1();
  viewer->RenderNow();  // uploads every texture the view needs
  v->textureMB = double(TGLTexture::UploadedBytes()) / (1 << 20);
  v->textureNames = TGLContextHandle::LiveTextureNames();
  TGLContext* rc = viewer->Buffer()->RenderingContext();
  rc->ActivateNested();
  for (int i = 0; i < traffic.PCs()->Count(); ++i) {
    auto* c = static_cast<SnifferObject*>(traffic.PCs()->Children(i));
    TPlainObject p = PlainOf(c, c->Material()->Texture(), nullptr);
    p.cube = true;
    p.size[0] = c->CubeWidth(), p.size[1] = c->CubeHeight(), p.size[2] = c->CubeDepth();
    v->plain.push_back(p);
  }
  for (int i = 0; i < traffic.Connections()->Count(); ++i) {
    auto* pipe = static_cast<MyCylinder*>(traffic.Connections()->Children(i));
    TGLTextureExItem* item = pipe->Material()->TextureEx()->Items(0);
    TPlainObject p = PlainOf(pipe, item->Texture(), item);
    p.size[0] = p.size[1] = pipe->TopRadius(), p.size[2] = pipe->Height();
    v->plain.push_back(p);
  }
  auto* plane = static_cast<TGLCustomSceneObject*>(traffic.PCs()->Parent());
  v->planeTexture = plane->Material()->Texture()->GetTextureHandle();
  v->planeMatrix = plane->AbsoluteMatrix();
  rc->DeactivateNested();
  v->residentMB = ResidentMB();
  return *v;
}

void DrawCube(const float* s) {
  const float x = s[0] / 2, y = s[1] / 2, z = s[2] / 2;
  GL.glBegin(GL_QUADS);
  GL.glNormal3f(0, 0, 1);
  GL.glTexCoord2f(0, 1), GL.glVertex3f(-x, y, z), GL.glTexCoord2f(0, 0), GL.glVertex3f(-x, -y, z);
  GL.glTexCoord2f(1, 0), GL.glVertex3f(x, -y, z), GL.glTexCoord2f(1, 1), GL.glVertex3f(x, y, z);
  GL.glNormal3f(0, 0, -1);
  GL.glTexCoord2f(1, 1), GL.glVertex3f(-x, y, -z), GL.glTexCoord2f(0, 1), GL.glVertex3f(x, y, -z);
  GL.glTexCoord2f(0, 0), GL.glVertex3f(x, -y, -z), GL.glTexCoord2f(1, 0), GL.glVertex3f(-x, -y, -z);
  GL.glNormal3f(-1, 0, 0);
  GL.glTexCoord2f(1, 1), GL.glVertex3f(-x, y, z), GL.glTexCoord2f(0, 1), GL.glVertex3f(-x, y, -z);
  GL.glTexCoord2f(0, 0), GL.glVertex3f(-x, -y, -z), GL.glTexCoord2f(1, 0), GL.glVertex3f(-x, -y, z);
  GL.glNormal3f(1, 0, 0);
  GL.glTexCoord2f(0, 1), GL.glVertex3f(x, y, z), GL.glTexCoord2f(0, 0), GL.glVertex3f(x, -y, z);
  GL.glTexCoord2f(1, 0), GL.glVertex3f(x, -y, -z), GL.glTexCoord2f(1, 1), GL.glVertex3f(x, y, -z);
  GL.glNormal3f(0, 1, 0);
  GL.glTexCoord2f(0, 1), GL.glVertex3f(-x, y, -z), GL.glTexCoord2f(0, 0), GL.glVertex3f(-x, y, z);
  GL.glTexCoord2f(1, 0), GL.glVertex3f(x, y, z), GL.glTexCoord2f(1, 1), GL.glVertex3f(x, y, -z);
  GL.glNormal3f(0, -1, 0);
  GL.glTexCoord2f(0, 0), GL.glVertex3f(-x, -y, -z), GL.glTexCoord2f(1, 0), GL.glVertex3f(x, -y, -z);
  GL.glTexCoord2f(1, 1), GL.glVertex3f(x, -y, z), GL.glTexCoord2f(0, 1), GL.glVertex3f(-x, -y, z);
  GL.glEnd();
}

// Sides of a cylinder along Y, 4 slices and 4 stacks.
void DrawPipe(const float* s) {
  constexpr int kSlices = 4, kStacks = 4;
  for (int st = 0; st < kStacks; ++st) {
    const float y0 = s[2] * (float(st) / kStacks - 0.5f), y1 = s[2] * (float(st + 1) / kStacks - 0.5f);
    GL.glBegin(GL_QUAD_STRIP);
    for (int i = 0; i <= kSlices; ++i) {
      const float a = float(i) * 6.2831853f / kSlices, c = std::cos(a), sn = std::sin(a);
      GL.glNormal3f(c, 0, sn);
      GL.glTexCoord2f(float(i) / kSlices, float(st + 1) / kStacks), GL.glVertex3f(s[0] * c, y1, s[0] * sn);
      GL.glTexCoord2f(float(i) / kSlices, float(st) / kStacks), GL.glVertex3f(s[0] * c, y0, s[0] * sn);
    }
    GL.glEnd();
  }
}

void PlainFrame(TView& v) {
  TGLSceneBuffer* buffer = v.form->GLSceneViewer1()->Buffer();
  TGLContext* rc = buffer->RenderingContext();
  rc->ActivateNested();
  GL.glViewport(0, 0, buffer->Width(), buffer->Height());
  GL.glClearColor(0, 0, 0, 1);
  GLint depthBits = 0;
  GL.glGetIntegerv(GL_DEPTH_BITS, &depthBits);
  const bool depth = depthBits > 0 && buffer->DepthTest();
  GL.glClear(GL_COLOR_BUFFER_BIT | (depth ? GL_DEPTH_BUFFER_BIT : 0));
  if (depth) GL.glEnable(GL_DEPTH_TEST);
  GL.glMatrixMode(GL_PROJECTION);
  GL.glLoadMatrixf(&buffer->ProjectionMatrix()[0][0]);
  GL.glMatrixMode(GL_MODELVIEW);
  GL.glLoadMatrixf(&buffer->ModelViewMatrix()[0][0]);
  GL.glEnable(GL_LIGHTING);
  const float grey[4] = {0.75f, 0.75f, 0.75f, 1}, far[4] = {0, 0, 20000, 1};
  for (GLenum light : {GLenum(GL_LIGHT0), GLenum(GL_LIGHT1)}) {
    GL.glLightfv(light, GL_AMBIENT, grey);
    GL.glLightfv(light, GL_POSITION, far);
    GL.glEnable(light);
  }
  GL.glEnable(GL_TEXTURE_2D);
  GL.glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);

  // The ground plane as the view has it: 400 x 400 in 100 x 100 tiles, with its axes.
  GL.glPushMatrix();
  GL.glMultMatrixf(&v.planeMatrix[0][0]);
  GL.glBindTexture(GL_TEXTURE_2D, v.planeTexture);
  GL.glNormal3f(0, 0, 1);
  for (int j = 0; j < 100; ++j) {
    GL.glBegin(GL_TRIANGLE_STRIP);
    for (int i = 0; i <= 100; ++i) {
      GL.glTexCoord2f(float(i), float(j + 1)), GL.glVertex2f(float(i) * 4 - 200, float(j + 1) * 4 - 200);
      GL.glTexCoord2f(float(i), float(j)), GL.glVertex2f(float(i) * 4 - 200, float(j) * 4 - 200);
    }
    GL.glEnd();
  }
  GL.glDisable(GL_LIGHTING);
  GL.glDisable(GL_TEXTURE_2D);
  GL.glEnable(GL_LINE_STIPPLE);
  GL.glLineStipple(1, 0xCCCC);
  GL.glBegin(GL_LINES);
  GL.glColor3f(1, 0, 0), GL.glVertex3f(-10000, 0, 0), GL.glVertex3f(10000, 0, 0);
  GL.glColor3f(0, 1, 0), GL.glVertex3f(0, -10000, 0), GL.glVertex3f(0, 10000, 0);
  GL.glColor3f(0, 0, 1), GL.glVertex3f(0, 0, -10000), GL.glVertex3f(0, 0, 10000);
  GL.glEnd();
  GL.glDisable(GL_LINE_STIPPLE);
  GL.glEnable(GL_TEXTURE_2D);
  GL.glEnable(GL_LIGHTING);
  GL.glPopMatrix();

  for (const TPlainObject& o : v.plain) {
    GL.glPushMatrix();
    GL.glMultMatrixf(&o.matrix[0][0]);
    GL.glBindTexture(GL_TEXTURE_2D, o.texture);
    GL.glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GLint(o.envMode));
    GL.glMaterialfv(GL_FRONT, GL_AMBIENT, o.ambient);
    GL.glMaterialfv(GL_FRONT, GL_DIFFUSE, o.diffuse);
    GL.glMaterialfv(GL_FRONT, GL_SPECULAR, o.specular);
    GL.glMaterialfv(GL_FRONT, GL_EMISSION, o.emission);
    GL.glMaterialf(GL_FRONT, GL_SHININESS, o.shininess);
    if (o.blended)
      GL.glEnable(GL_BLEND);
    else
      GL.glDisable(GL_BLEND);
    if (o.cube) {
      DrawCube(o.size);
    } else {
      GL.glMatrixMode(GL_TEXTURE);
      GL.glLoadIdentity();
      GL.glScalef(o.texScale[0], o.texScale[1], o.texScale[2]);
      GL.glMatrixMode(GL_MODELVIEW);
      DrawPipe(o.size);
      GL.glMatrixMode(GL_TEXTURE);
      GL.glLoadIdentity();
      GL.glMatrixMode(GL_MODELVIEW);
    }
    GL.glPopMatrix();
  }
  GL.glDisable(GL_BLEND);
  GL.glDisable(GL_LIGHTING);
  GL.glDisable(GL_TEXTURE_2D);
  if (depth) GL.glDisable(GL_DEPTH_TEST);
  rc->SwapBuffers();
  GL.glFinish();
  rc->DeactivateNested();
}

void ViewFrame(TView& v) {
  TGLSceneViewer* viewer = v.form->GLSceneViewer1();
  viewer->RenderNow();
  TGLContext* rc = viewer->Buffer()->RenderingContext();
  rc->ActivateNested();
  GL.glFinish();
  rc->DeactivateNested();
}

// What the GL draws in one frame of the view, by its pipeline statistics and an occlusion
// query: none where it cannot count them.
void CountFrame(TView& v, benchmark::State& state) {
  TGLSceneViewer* viewer = v.form->GLSceneViewer1();
  TGLContext* rc = viewer->Buffer()->RenderingContext();
  rc->ActivateNested();
  // The engine's table has no queries: the GL library's own loader gives them.
  using TLoader = void* (*)(const GLubyte*);
  auto load = reinterpret_cast<TLoader>(dlsym(RTLD_DEFAULT, "glXGetProcAddressARB"));
  auto entry = [load](const char* name) { return load ? load(reinterpret_cast<const GLubyte*>(name)) : nullptr; };
  const auto* extensions = reinterpret_cast<const char*>(GL.glGetString(GL_EXTENSIONS));
  const bool statistics = extensions && std::strstr(extensions, "GL_ARB_pipeline_statistics_query");
  auto genQueries = reinterpret_cast<PFNGLGENQUERIESPROC>(entry("glGenQueries"));
  auto beginQuery = reinterpret_cast<PFNGLBEGINQUERYPROC>(entry("glBeginQuery"));
  auto endQuery = reinterpret_cast<PFNGLENDQUERYPROC>(entry("glEndQuery"));
  auto result = reinterpret_cast<PFNGLGETQUERYOBJECTUI64VPROC>(entry("glGetQueryObjectui64v"));
  auto deleteQueries = reinterpret_cast<PFNGLDELETEQUERIESPROC>(entry("glDeleteQueries"));
  rc->DeactivateNested();
  if (!statistics || !genQueries || !beginQuery || !endQuery || !result || !deleteQueries) return;
  const GLenum targets[] = {GL_PRIMITIVES_SUBMITTED_ARB, GL_CLIPPING_OUTPUT_PRIMITIVES_ARB,
                            GL_FRAGMENT_SHADER_INVOCATIONS_ARB, GL_SAMPLES_PASSED};
  const char* const names[] = {"triangles", "triangles_drawn", "fragments", "samples_passed"};
  GLuint queries[4] = {};
  // Every query over a frame of its own, the view drawn as usual (its own context current).
  for (int k = 0; k < 4; ++k) {
    rc->ActivateNested();
    genQueries(1, &queries[k]);
    beginQuery(targets[k], queries[k]);
    rc->DeactivateNested();
    viewer->RenderNow();
    rc->ActivateNested();
    endQuery(targets[k]);
    GLuint64 n = 0;
    result(queries[k], GL_QUERY_RESULT, &n);
    deleteQueries(1, &queries[k]);
    rc->DeactivateNested();
    state.counters[names[k]] = double(n);
  }
}

void BM_TrafficView(benchmark::State& state) {
  TView& v = ViewOf(int(state.range(0)), int(state.range(1)), int(state.range(2)));
  const double cpuBefore = ProcessCpuMs();
  for (auto _ : state) ViewFrame(v);
  // The CPU time of all threads a frame, the rasteriser's included: what a frame costs on a
  // machine whose cores are busy with other work.
  state.counters["cpu_all_ms"] = (ProcessCpuMs() - cpuBefore) / double(std::max<int64_t>(1, state.iterations()));
  CountFrame(v, state);
  state.counters["objects"] = double(v.plain.size());
  state.counters["rss_mb"] = v.residentMB;
  // What the pipes' labels hold: uploaded texture MB and texture names, and
  // how many pipes were drawn together from afar or one by one.
  state.counters["tex_mb"] = v.textureMB;
  state.counters["tex_names"] = v.textureNames;
  if (auto* group = dynamic_cast<TPipeGroup*>(v.form->Traffic().Connections())) {
    state.counters["far"] = group->DrawnTogether();
    state.counters["alone"] = group->DrawnAlone();
  }
}

void BM_PlainLoop(benchmark::State& state) {
  TView& v = ViewOf(int(state.range(0)), int(state.range(1)), int(state.range(2)));
  for (auto _ : state) PlainFrame(v);
  state.counters["objects"] = double(v.plain.size());
}

double AllocatedMB() { return double(mallinfo2().uordblks) / (1 << 20); }

void BM_ExpiryRounds(benchmark::State& state) {
  constexpr int kHosts = 1000, kLines = 30000, kLinesPerFrame = 500;
  views.clear();
  QTemporaryDir dir;
  SetProgramFolder(dir.path().toStdString());
  TQuietHost host;
  host.keepCubes = false;
  for (auto _ : state) {
    TForm2_3D form(&host, nullptr, 0);
    form.resize(800, 600);
    form.show();
    Pump(300);
    form.GLCadencer1()->SetEnabled(false);
    TTrafficScene& traffic = form.Traffic();
    int64_t now = 0;
    traffic.Now = [&now] { return now; };
    traffic.PerfFrequency = 1000;
    form.GLSceneViewer1()->RenderNow();
    malloc_trim(0);
    state.counters["rss_before"] = ResidentMB();
    state.counters["heap_before"] = AllocatedMB();
    for (int round = 1; round <= 4; ++round) {
      double peak = 0;
      for (int k = 0; k < kLines; ++k) {
        const int c = k % (3 * kHosts), a = c % kHosts, b = (a + 1 + (c / kHosts) * 37) % kHosts;
        traffic.ProcessLine("t	m1	m2	0800	100	" + HostIP(a) + "	" + std::to_string(1025 + k) +
                            "	" + HostIP(b) + "	80	TCP	TCP-IP");
        if (k % kLinesPerFrame == kLinesPerFrame - 1) {
          form.GLSceneViewer1()->RenderNow();
          peak = std::max(peak, ResidentMB());
        }
      }
      now += 60 * 1000;                          // every object idle past its time to live
      for (int check = 0; check < 2; ++check) {  // the expiry, and the check after it
        form.Timer_ChkLifeTimer();
        form.GLSceneViewer1()->RenderNow();
      }
      const std::string r = std::to_string(round);
      state.counters["rss_peak" + r] = peak;
      state.counters["rss_after" + r] = ResidentMB();
      state.counters["heap_after" + r] = AllocatedMB();
    }
  }
  SetProgramFolder("");
}

void BM_NewAddressBurst(benchmark::State& state) {
  constexpr int kAddresses = 10000;
  views.clear();
  QTemporaryDir dir;
  SetProgramFolder(dir.path().toStdString());
  TQuietHost host;
  for (auto _ : state) {
    TForm2_3D form(&host, nullptr, 0);
    form.resize(800, 600);
    form.show();
    Pump(300);
    form.GLCadencer1()->SetEnabled(false);
    std::string drop;
    while (PacketQueue().Take(drop)) {
    }
    for (int i = 0; i < kAddresses; ++i)
      QueLoad("t	m1	m2	0800	100	" + HostIP(i + 1) +
              "	1025	10.255.255.1	80	TCP	TCP-IP");
    double longest = 0, longestDrain = 0, longestDraw = 0, t = 0;
    int frames = 0;
    QElapsedTimer clock;
    while (PacketQueue().QuePending() > 0 && frames < 100000) {
      clock.start();
      form.GLCadencer1Progress(0.03, t += 0.03);
      const double drain = double(clock.nsecsElapsed()) / 1e6;
      form.GLSceneViewer1()->RenderNow();
      const double frame = double(clock.nsecsElapsed()) / 1e6;
      longest = std::max(longest, frame);
      longestDrain = std::max(longestDrain, drain);
      longestDraw = std::max(longestDraw, frame - drain);
      ++frames;
    }
    state.counters["longest_frame_ms"] = longest;
    state.counters["longest_drain_ms"] = longestDrain;
    state.counters["longest_draw_ms"] = longestDraw;
    state.counters["frames"] = frames;
    state.counters["cubes"] = form.Traffic().PCs()->Count();
  }
  SetProgramFolder("");
}

// Interleaved, so drift in the machine's load does not favour one side.
BENCHMARK(BM_TrafficView)->Args({500, 0, 1})->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_PlainLoop)->Args({500, 0, 1})->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_TrafficView)->Args({2000, 0, 1})->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(BM_PlainLoop)->Args({2000, 0, 1})->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(BM_TrafficView)->ArgsProduct({{2000, 10000}, {0, 1, 2}, {9}})->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(BM_NewAddressBurst)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_ExpiryRounds)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (QGuiApplication::platformName() == "offscreen") {
    std::fprintf(stderr, "needs a display\n");
    return 0;
  }
  RegisterGLQtContext();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  views.clear();
  return 0;
}

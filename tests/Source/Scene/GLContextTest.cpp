// Contexts, handles and the manager through a fake platform context; GL calls
// go to the call recorder, so no display is needed.
#include "Source/Scene/GLContext.h"

#include "Source/Base/GLRecorder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

std::vector<std::string> vLog;

class TFakeContext : public TGLContext {
  RTL_CLASS(TFakeContext, TGLContext)

 public:
  TFakeContext() = default;
  explicit TFakeContext(std::string name) : Name(std::move(name)) {}
  ~TFakeContext() override { DestroyQuietly(); }
  std::string Name = "?";
  bool Created = false;
  bool IsCreated() const override { return Created; }
  void SwapBuffers() override {}
  TGLOutputDevice OutputDevice() const override { return nullptr; }

 protected:
  void PlatformActivate() override { vLog.push_back("activate " + Name); }
  void PlatformDeactivate() override { vLog.push_back("deactivate " + Name); }
  void PlatformCreateContext(TGLOutputDevice) override { Created = true; }
  void PlatformCreateOffscreenContext(TGLOutputDevice, int, int) override { Created = true; }
  void PlatformShareLists(TGLContext*) override { vLog.push_back("share " + Name); }
  void PlatformDestroyContext() override {
    Created = false;
    vLog.push_back("destroy " + Name);
  }
};

std::string Current() {
  auto* c = dynamic_cast<TFakeContext*>(GetCurrentRenderingContext());
  return c ? c->Name : "none";
}

// A recorder whose glGenLists and glGenTextures hand out 1, 2, 3... and whose
// deletions are logged with the context current at the time (the recorder
// answers only calls with results, so the void ones are replaced here).
uint32_t vNextName = 0;
int vPendingErrors = 0;
bool vDeleteRaisesError = false;

void APIENTRY FakeGenTextures(GLsizei, GLuint* names) { *names = ++vNextName; }
void APIENTRY FakeDeleteLists(GLuint list, GLsizei) {
  vLog.push_back("delete list " + std::to_string(list) + " in " + Current());
  if (vDeleteRaisesError) vPendingErrors = 1;
}
void APIENTRY FakeDeleteTextures(GLsizei, const GLuint* names) {
  vLog.push_back("delete texture " + std::to_string(*names) + " in " + Current());
}

struct TNamingRecorder : TGLRecorder {
  TNamingRecorder() {
    vLog.clear();
    vNextName = 0, vPendingErrors = 0, vDeleteRaisesError = false;
    Results["glGenLists"] = [](const TGLCall&) { return ++vNextName; };
    Results["glIsTexture"] = [](const TGLCall&) { return 1; };
    Results["glGetError"] = [](const TGLCall&) {
      return vPendingErrors > 0 ? (--vPendingErrors, GL_INVALID_VALUE) : 0;
    };
    Results["gluErrorString"] = [](const TGLCall&) {
      return std::uintptr_t(reinterpret_cast<const char*>("invalid value"));
    };
    GL.glGenTextures = FakeGenTextures;
    GL.glDeleteLists = FakeDeleteLists;
    GL.glDeleteTextures = FakeDeleteTextures;
  }
};

std::unique_ptr<TFakeContext> Created(const std::string& name) {
  auto c = std::make_unique<TFakeContext>(name);
  c->CreateForDevice(nullptr);
  return c;
}

template <class F>
std::string ErrorOf(F&& f) {
  try {
    f();
  } catch (const Exception& e) {
    return e.ClassName() + ": " + e.Message();
  }
  return "no error";
}

}  // namespace

TEST(GLContextActivation, NestsAndReportsMisuse) {
  TNamingRecorder rec;
  TFakeContext a("a");
  EXPECT_EQ(ErrorOf([&] { a.ActivateNested(); }), "EGLContext: Context not created");
  EXPECT_EQ(ErrorOf([&] { a.ShareDisplayLists(&a); }), "EGLContext: Context not created");
  a.CreateForDevice(nullptr);
  EXPECT_EQ(ErrorOf([&] { a.CreateForDevice(nullptr); }), "EGLContext: Context already created");
  EXPECT_EQ(a.SharedContexts(), std::vector<TGLContext*>{&a});

  a.ActivateNested();
  a.ActivateNested();
  EXPECT_EQ(ErrorOf([&] { a.SetDepthBits(24); }), "EGLContext: Cannot alter an active context");
  a.DeactivateNested();
  EXPECT_EQ(Current(), "a");
  a.DeactivateNested();
  EXPECT_EQ(Current(), "none");
  EXPECT_EQ(vLog, (std::vector<std::string>{"activate a", "deactivate a"}));
  a.SetDepthBits(24);
  EXPECT_EQ(a.DepthBits(), 24);

  // One deactivation too many is an unbalanced activation, even while another
  // context is current.
  EXPECT_EQ(ErrorOf([&] { a.DeactivateNested(); }), "EGLContext: Unbalanced context activations");
  TFakeContext b("b");
  b.CreateForDevice(nullptr);
  b.ActivateNested();
  EXPECT_EQ(ErrorOf([&] { a.DeactivateNested(); }), "EGLContext: Unbalanced context activations");
  EXPECT_TRUE(b.ForceActiveState(false) == false);
  EXPECT_TRUE(a.ForceActiveState(true));
  EXPECT_EQ(Current(), "a");
  a.ForceActiveState(false);
}

TEST(GLContextHandles, NamesMoveToTheSurvivorOfASharingGroup) {
  TNamingRecorder rec;
  auto a = Created("a");
  auto b = Created("b");
  a->ShareDisplayLists(b.get());
  EXPECT_EQ(b->SharedContexts().size(), 2u);

  TGLListHandle list;
  TGLTextureHandle texture;
  a->ActivateNested();
  list.AllocateName();
  texture.AllocateName();
  a->DeactivateNested();
  EXPECT_EQ(list.Handle(), 1u);
  EXPECT_EQ(texture.Handle(), 2u);
  EXPECT_EQ(list.RenderingContext(), a.get());

  vLog.clear();
  a.reset();
  EXPECT_EQ(list.Handle(), 1u);
  EXPECT_EQ(texture.Handle(), 2u);
  EXPECT_EQ(list.RenderingContext(), b.get());
  EXPECT_EQ(b->OwnedHandles().size(), 2u);
  EXPECT_EQ(b->SharedContexts(), std::vector<TGLContext*>{b.get()});
  EXPECT_EQ(vLog, (std::vector<std::string>{"activate a", "deactivate a", "destroy a"}));

  // Freed later, in the survivor, which is made current for it.
  vLog.clear();
  list.FreeName();
  EXPECT_EQ(vLog, (std::vector<std::string>{"activate b", "delete list 1 in b", "deactivate b"}));
  EXPECT_EQ(list.Handle(), 0u);
}

TEST(GLContextHandles, AnUnsharedContextDeletesItsNamesWhileCurrent) {
  TNamingRecorder rec;
  auto a = Created("a");
  auto other = Created("other");
  TGLListHandle list;
  TGLTextureHandle texture;
  a->ActivateNested();
  list.AllocateName();
  texture.AllocateName();
  a->DeactivateNested();

  // Destroyed while another context is current: that one is current again after.
  other->ActivateNested();
  vLog.clear();
  a.reset();
  EXPECT_EQ(vLog, (std::vector<std::string>{"deactivate other", "activate a", "delete texture 2 in a",
                                            "delete list 1 in a", "deactivate a", "destroy a", "activate other"}));
  EXPECT_EQ(list.Handle(), 0u);
  EXPECT_EQ(list.RenderingContext(), nullptr);
  EXPECT_EQ(Current(), "other");
  EXPECT_EQ(other->ActivationCount(), 1);
  other->DeactivateNested();
}

TEST(GLContextHandles, NamesFreedInAnyOrderLeaveExactlyTheOthersListed) {
  TNamingRecorder rec;
  auto a = Created("a");
  std::vector<std::unique_ptr<TGLListHandle>> lists;
  a->ActivateNested();
  for (int i = 0; i < 6; ++i) {
    lists.push_back(std::make_unique<TGLListHandle>());
    lists.back()->AllocateName();
  }
  for (int i : {2, 0, 5, 3}) lists[size_t(i)]->FreeName();
  lists[2]->FreeName();  // nothing left to free
  a->DeactivateNested();
  std::vector<TGLContextHandle*> owned = a->OwnedHandles();
  std::sort(owned.begin(), owned.end());
  std::vector<TGLContextHandle*> left{lists[1].get(), lists[4].get()};
  std::sort(left.begin(), left.end());
  EXPECT_EQ(owned, left);
  // The rest go with the context, each once.
  vLog.clear();
  a.reset();
  EXPECT_EQ(std::count(vLog.begin(), vLog.end(), "delete list 2 in a"), 1);
  EXPECT_EQ(std::count(vLog.begin(), vLog.end(), "delete list 5 in a"), 1);
  EXPECT_EQ(std::count_if(vLog.begin(), vLog.end(), [](const std::string& s) { return s.rfind("delete", 0) == 0; }), 2);
  EXPECT_EQ(lists[4]->Handle(), 0u);
}

TEST(GLContextHandles, FreeingFromANestedRenderRestoresTheRenderingContext) {
  TNamingRecorder rec;
  auto a = Created("a");
  auto b = Created("b");
  TGLListHandle list;
  b->ActivateNested();
  list.AllocateName();
  b->DeactivateNested();

  a->ActivateNested();
  a->ActivateNested();
  vLog.clear();
  list.FreeName();
  EXPECT_EQ(vLog, (std::vector<std::string>{"deactivate a", "activate b", "delete list 1 in b", "deactivate b",
                                            "activate a"}));
  EXPECT_EQ(Current(), "a");
  EXPECT_EQ(a->ActivationCount(), 2);
  a->DeactivateNested();
  a->DeactivateNested();
  EXPECT_EQ(Current(), "none");
}

TEST(GLContextHandles, ErrorsAndMisuse) {
  TNamingRecorder rec;
  TGLListHandle list;
  EXPECT_THROW(list.AllocateName(), EAssertionFailed);  // no current context
  auto a = Created("a");
  a->ActivateNested();
  list.AllocateName();
  EXPECT_THROW(list.AllocateName(), EAssertionFailed);

  // A GL error while deleting reaches FreeName's caller but never a destructor.
  vDeleteRaisesError = true;
  EXPECT_EQ(ErrorOf([&] { list.FreeName(); }), "EOpenGLError: invalid value");
  EXPECT_EQ(list.Handle(), 0u);
  {
    auto doomed = std::make_unique<TGLVirtualHandle>();
    doomed->OnAllocate = [](TGLVirtualHandle*, uint32_t& name) { name = 77; };
    doomed->OnDestroy = [](TGLVirtualHandle*, uint32_t&) { vPendingErrors = 3; };
    doomed->AllocateName();
    EXPECT_EQ(doomed->Handle(), 77u);
    EXPECT_NO_THROW(doomed.reset());
  }
  EXPECT_TRUE(a->OwnedHandles().empty());

  // A name whose context is no longer created is forgotten: nothing to delete.
  TGLTextureHandle texture;
  texture.AllocateName();
  a->DeactivateNested();
  static_cast<TFakeContext*>(a.get())->Created = false;
  const size_t calls = rec.Calls.size();
  vLog.clear();
  EXPECT_NO_THROW(texture.FreeName());
  EXPECT_EQ(texture.Handle(), 0u);
  EXPECT_TRUE(vLog.empty());
  EXPECT_EQ(rec.Calls.size(), calls);
}

TEST(GLContextErrors, RaiseOnGLErrorDrainsAtMostSevenMore) {
  TGLRecorder rec;
  int pending = 20;
  rec.Results["glGetError"] = [&](const TGLCall&) { return pending > 0 ? (--pending, GL_OUT_OF_MEMORY) : 0; };
  rec.Results["gluErrorString"] = [](const TGLCall&) {
    return std::uintptr_t(reinterpret_cast<const char*>("out of memory"));
  };
  EXPECT_EQ(ErrorOf([] { RaiseOnGLError(); }), "EOpenGLError: out of memory");
  EXPECT_EQ(rec.Count("glGetError"), 8);
  EXPECT_EQ(pending, 12);
  DrainGLErrors();
  EXPECT_EQ(pending, 5);
  pending = 0;
  EXPECT_NO_THROW(RaiseOnGLError());
}

TEST(GLContextManagerTest, RegistrationAndTermination) {
  TGLContextManager m;
  TFakeContext a("a");
  EXPECT_EQ(a.Manager(), GLContextManager());
  const int before = GLContextManager()->ContextCount();
  a.SetManager(&m);
  EXPECT_EQ(GLContextManager()->ContextCount(), before - 1);
  EXPECT_EQ(m.ContextCount(), 1);
  EXPECT_EQ(ErrorOf([&] { m.RegisterContext(&a); }), "EGLContext: Invalid context registration");
  TFakeContext b("b");
  EXPECT_EQ(ErrorOf([&] { m.UnregisterContext(&b); }), "EGLContext: Invalid context registration");

  m.Terminate();
  EXPECT_TRUE(m.Terminated());
  EXPECT_EQ(m.ContextCount(), 1);  // still serving its context
  a.SetManager(nullptr);
  EXPECT_EQ(m.ContextCount(), 0);

  // The fake class is made only while it is registered (and first).
  TGLContextManager::AddRenderingContextClass(TFakeContext::StaticClass());
  std::unique_ptr<TGLContext> made(GLContextManager()->InstantiateContext());
  TGLContextManager::RemoveRenderingContextClass(TFakeContext::StaticClass());
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(made->ClassName(), "TFakeContext");
  EXPECT_EQ(made->Manager(), GLContextManager());
  std::unique_ptr<TGLContext> after(GLContextManager()->InstantiateContext());
  EXPECT_TRUE(!after || after->ClassName() != "TFakeContext");
}

// Render points: callbacks called in order, each safe while it registers more, clears the list or
// frees the render point.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "Source/Scene/GLSceneGraph.h"

namespace {

// A callback that registers others while it runs still reads its own captures afterwards: the
// list it lives in grows (and moves) meanwhile. The blocks the list gave up are taken and
// overwritten here, so that a callback still running from one of them reads the overwrite.
TEST(RenderPoint, ACallbackRegisteringOthersKeepsItsOwnState) {
  TGLRenderPoint point(nullptr);
  TRenderContextInfo rci;
  std::vector<int> seen;
  // Small captures, kept inside the list's own entries rather than apart from them.
  struct TContext {
    TGLRenderPoint* point;
    std::vector<int>* seen;
  } context{&point, &seen};
  const TContext* ctx = &context;
  const int id = 7;
  point.RegisterCallBack(
      [ctx, id](TObject*, TRenderContextInfo&) {
        const TContext c = *ctx;
        for (int i = 0; i < 3; ++i)
          c.point->RegisterCallBack([seen = c.seen](TObject*, TRenderContextInfo&) { seen->push_back(1); }, nullptr);
        std::vector<void*> reused;
        for (int i = 0; i < 8; ++i) {
          void* block = std::malloc(sizeof(TDirectRenderEvent));
          std::memset(block, 0xAB, sizeof(TDirectRenderEvent));
          reused.push_back(block);
        }
        c.seen->push_back(id);  // read from the running callback's own captures
        for (void* block : reused) std::free(block);
      },
      nullptr);
  point.BuildList(rci);
  // The running one saw its own id; those it registered wait for the next pass.
  EXPECT_EQ(seen, (std::vector<int>{7}));
  EXPECT_EQ(point.CallBackCount(), 4);
  seen.clear();
  point.BuildList(rci);
  EXPECT_EQ(seen, (std::vector<int>{7, 1, 1, 1}));
}

// A callback that clears the list: the rest are not called, and the free callbacks ran.
TEST(RenderPoint, ACallbackClearingTheListEndsThePass) {
  TGLRenderPoint point(nullptr);
  TRenderContextInfo rci;
  int freed = 0, after = 0;
  point.RegisterCallBack([&point](TObject*, TRenderContextInfo&) { point.Clear(); }, [&freed](TObject*) { ++freed; });
  point.RegisterCallBack([&after](TObject*, TRenderContextInfo&) { ++after; }, [&freed](TObject*) { ++freed; });
  point.BuildList(rci);
  EXPECT_EQ(after, 0);
  EXPECT_EQ(freed, 2);
  EXPECT_EQ(point.CallBackCount(), 0);
}

// A callback that frees the render point: the others are not called, their free callbacks ran.
TEST(RenderPoint, ACallbackFreeingTheRenderPointEndsThePass) {
  auto* point = new TGLRenderPoint(nullptr);
  TRenderContextInfo rci;
  int freed = 0, after = 0;
  point->RegisterCallBack([&point](TObject*, TRenderContextInfo&) { delete std::exchange(point, nullptr); },
                          [&freed](TObject*) { ++freed; });
  point->RegisterCallBack([&after](TObject*, TRenderContextInfo&) { ++after; }, [&freed](TObject*) { ++freed; });
  point->BuildList(rci);
  EXPECT_EQ(point, nullptr);
  EXPECT_EQ(after, 0);
  EXPECT_EQ(freed, 2);
}

}  // namespace

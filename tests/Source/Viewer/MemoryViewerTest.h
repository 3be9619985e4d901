// A scene with a camera and an off-screen viewer on a real Qt context (test aid).
#pragma once

#include <gtest/gtest.h>

#include "Source/Scene/GLSceneGraph.h"
#include "Source/Viewer/GLQtContext.h"
#include "Source/Viewer/GLSceneViewer.h"

struct TMemoryViewerTest : ::testing::Test {
  static void SetUpTestSuite() {
    static const bool registered = (RegisterGLQtContext(), true);
    (void)registered;
  }

  TGLSceneGraph scene{nullptr};
  TGLMemoryViewer viewer{nullptr};
  TGLCamera* cam = scene.Cameras()->AddNewChild<TGLCamera>();
};

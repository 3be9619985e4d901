// A scene with a camera and an off-screen viewer on a real Qt context, and reading back the
// pixels a memory viewer's last frame left (test aid).
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "Source/Further/GLzBuffer.h"
#include "Source/Objects/GLObjects.h"
#include "Source/Scene/GLSceneGraph.h"
#include "Source/Viewer/GLQtContext.h"
#include "Source/Viewer/GLSceneViewer.h"

using TRgb = std::array<int, 3>;

inline std::string Rgb(const TRgb& p) {
  return std::to_string(p[0]) + "," + std::to_string(p[1]) + "," + std::to_string(p[2]);
}

// A size x size view over a black background, looking down -Z from z 10 at the XY plane, 5
// units across there; with a stencil buffer where asked.
inline void LookDownAtXY(TGLMemoryViewer& viewer, TGLCamera* cam, int size, bool stencil) {
  viewer.SetWidth(size);
  viewer.SetHeight(size);
  viewer.Buffer()->SetContextOptions(stencil ? TContextOptions{roDoubleBuffer, roStencilBuffer, roRenderToWindow}
                                             : TContextOptions{roDoubleBuffer, roRenderToWindow});
  viewer.Buffer()->SetBackgroundColor(0);
  cam->Position()->SetXYZAsPoint(0, 0, 10);
  cam->SetFocalLength(12.5f);
  viewer.SetCamera(cam);
}

// Reads a rectangle of the viewer's last frame (window coordinates, origin bottom-left) with its
// context current.
inline void ReadViewerPixels(TGLMemoryViewer& viewer, int x, int y, int w, int h, GLenum format, GLenum type,
                             void* out) {
  TGLContext* ctx = viewer.Buffer()->RenderingContext();
  ctx->ActivateNested();
  GL.glReadPixels(x, y, w, h, format, type, out);
  ctx->DeactivateNested();
}

// RGB of the pixel where a world point shows in the viewer's last frame.
inline TRgb PixelAt(TGLMemoryViewer& viewer, float x, float y, float z) {
  const TVector4f s = viewer.Buffer()->WorldToScreen(TVector4f{x, y, z, 1});
  uint8_t px[4] = {};
  ReadViewerPixels(viewer, int(s[0]), int(s[1]), 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, px);
  return {px[0], px[1], px[2]};
}

// The depth buffer's value where a world point shows (0 near, 1 far).
inline float DepthAt(TGLMemoryViewer& viewer, float x, float y, float z) {
  const TVector4f s = viewer.Buffer()->WorldToScreen(TVector4f{x, y, z, 1});
  float depth = 1;
  ReadViewerPixels(viewer, int(s[0]), int(s[1]), 1, 1, GL_DEPTH_COMPONENT, GL_FLOAT, &depth);
  return depth;
}

// The whole last frame: RGBA, rows from the bottom.
inline std::vector<uint8_t> FramePixels(TGLMemoryViewer& viewer) {
  std::vector<uint8_t> px(size_t(viewer.Width()) * size_t(viewer.Height()) * 4);
  ReadViewerPixels(viewer, 0, 0, viewer.Width(), viewer.Height(), GL_RGBA, GL_UNSIGNED_BYTE, px.data());
  return px;
}

struct TMemoryViewerTest : ::testing::Test {
  static void SetUpTestSuite() {
    static const bool registered = (RegisterGLQtContext(), true);
    (void)registered;
  }

  void LookDownAtXY(int size, bool stencil) { ::LookDownAtXY(viewer, cam, size, stencil); }
  TRgb PixelAt(float x, float y, float z) { return ::PixelAt(viewer, x, y, z); }
  // Renders a frame and reads it back.
  std::vector<uint8_t> Frame() {
    viewer.Render();
    return FramePixels(viewer);
  }
  // A 10 x 10 floor in the XY plane under parent.
  TGLPlane* Floor(TGLBaseSceneObject* parent) {
    auto* floor = parent->AddNewChild<TGLPlane>();
    floor->SetWidth(10);
    floor->SetHeight(10);
    return floor;
  }
  // Unlit, the floor with a cube 1.5 above its middle, shadowed from the depth that caster sees:
  // a view the size of this one from (casterX, 0, 6) at the floor's middle.
  TGLZShadows* DepthShadowScene(TGLMemoryViewer& caster, float casterX) {
    viewer.Buffer()->SetLighting(false);
    Floor(scene.Objects());
    auto* cube = scene.Objects()->AddNewChild<TGLCube>();
    cube->Position()->SetXYZAsPoint(0, 0, 1.5f);
    auto* target = scene.Objects()->AddNewChild<TGLDummyCube>();
    auto* lightCam = scene.Cameras()->AddNewChild<TGLCamera>();
    lightCam->Position()->SetXYZAsPoint(casterX, 0, 6);
    lightCam->SetTargetObject(target);
    lightCam->SetFocalLength(12.5f);
    caster.SetWidth(viewer.Width());
    caster.SetHeight(viewer.Height());
    caster.Buffer()->SetLighting(false);
    caster.SetCamera(lightCam);
    auto* shadows = scene.Objects()->AddNewChild<TGLZShadows>();
    shadows->SetViewer(&viewer);
    shadows->SetCaster(&caster);
    return shadows;
  }

  TGLSceneGraph scene{nullptr};
  TGLMemoryViewer viewer{nullptr};
  TGLCamera* cam = scene.Cameras()->AddNewChild<TGLCamera>();
};

// An off-screen Qt/Mesa context drawing into a framebuffer object with colour, depth and
// stencil, every such context sharing lists and textures with the others alive (test aid).
// Kept apart from the engine headers, whose EGLContext exception class clashes with the EGL
// type that Qt's context header brings in.
#pragma once

class TShadowPixelSurface {
 public:
  TShadowPixelSurface();
  ~TShadowPixelSurface();
  TShadowPixelSurface(const TShadowPixelSurface&) = delete;
  TShadowPixelSurface& operator=(const TShadowPixelSurface&) = delete;
  // False when no context or complete framebuffer can be made.
  bool Create(int width, int height);
  void Destroy();
  bool MakeCurrent();
  void DoneCurrent();
  void* ProcAddress(const char* name) const;

 private:
  struct TImpl;
  TImpl* impl_;
};

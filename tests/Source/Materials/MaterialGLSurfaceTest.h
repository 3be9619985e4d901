// An off-screen Qt/Mesa context with a framebuffer object as its draw target (test aid).
#pragma once

class TQtFboSurface {
 public:
  TQtFboSurface();
  ~TQtFboSurface();
  TQtFboSurface(const TQtFboSurface&) = delete;
  TQtFboSurface& operator=(const TQtFboSurface&) = delete;
  // False when no context or complete framebuffer can be made.
  bool Create(int width, int height);
  bool MakeCurrent();
  void DoneCurrent();
  void* ProcAddress(const char* name) const;

 private:
  struct TImpl;
  TImpl* impl_;
};

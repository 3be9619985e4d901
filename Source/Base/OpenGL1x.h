// OpenGL binding: one table of entry points through which the engine makes every
// GL, GLU and GLX call, and the flags that say which version and extensions the
// current implementation offers.
//
// The table `GL` starts with the OpenGL 1.1 core and GLU bound to the linked
// libraries and every later entry point null. `LoadGLExtensionEntryPoints` and
// `LoadWGLExtensionEntryPoints` fill the later ones through a loader function
// (a context's getProcAddress, or a fake in tests); detection then sets the flags
// in `GLCaps` and nulls every entry point whose version or extension is absent,
// because on this platform the loader answers non-null even for names the driver
// does not know. Callers test the matching flag (or the pointer) before a call.
//
// Tests replace entries of `GL` with recording functions; `GL = TGLEntryPoints{}`
// restores the linked state.
//
// Thread safety: none. The table and the flags are global and belong to the
// thread that renders (the GUI thread).
#pragma once

#include <GL/gl.h>
#include <GL/glu.h>

#include <functional>
#include <string>

// Window-system types, declared opaquely so that no X11 header leaks into the
// engine (they are the same structures the X11 and GLX headers name).
struct _XDisplay;
struct __GLXFBConfigRec;
struct __GLXcontextRec;

// Signatures the current system headers no longer carry.
typedef void(APIENTRYP PFNGLARRAYELEMENTARRAYEXTPROC)(GLenum mode, GLsizei count, const GLvoid* pi);
typedef void(APIENTRYP PFNGLADDSWAPHINTRECTWINPROC)(GLint x, GLint y, GLsizei width, GLsizei height);
typedef void(APIENTRYP PFNGLSAMPLEPASSARBPROC)(GLenum pass);
typedef void*(APIENTRYP PFN_glXAllocateMemoryNV)(GLsizei size, GLfloat readfreq, GLfloat writefreq, GLfloat priority);
typedef void(APIENTRYP PFN_glXFreeMemoryNV)(void* pointer);
typedef GLUnurbs*(APIENTRYP PFN_gluNewNurbsTessellatorEXT)();
typedef void(APIENTRYP PFN_gluDeleteNurbsTessellatorEXT)(GLUnurbs* nurb);
typedef const char*(APIENTRYP PFN_glXQueryExtensionsString)(_XDisplay* dpy, int screen);
typedef int(APIENTRYP PFN_glXGetFBConfigAttrib)(_XDisplay* dpy, __GLXFBConfigRec* config, int attribute, int* value);
typedef __GLXFBConfigRec**(APIENTRYP PFN_glXChooseFBConfig)(_XDisplay* dpy, int screen, const int* attribList,
                                                            int* nitems);
typedef unsigned long(APIENTRYP PFN_glXCreatePbuffer)(_XDisplay* dpy, __GLXFBConfigRec* config, const int* attribList);
typedef void(APIENTRYP PFN_glXDestroyPbuffer)(_XDisplay* dpy, unsigned long pbuf);
typedef void(APIENTRYP PFN_glXQueryDrawable)(_XDisplay* dpy, unsigned long draw, int attribute, unsigned int* value);
typedef int(APIENTRYP PFN_glXSwapIntervalMESA)(unsigned int interval);
typedef int(APIENTRYP PFN_glXGetSwapIntervalMESA)();
typedef void(APIENTRYP PFN_glXSwapIntervalEXT)(_XDisplay* dpy, unsigned long drawable, int interval);
typedef int(APIENTRYP PFN_glXSwapIntervalSGI)(int interval);
typedef unsigned long(APIENTRYP PFN_glXGetCurrentDrawable)();
typedef _XDisplay*(APIENTRYP PFN_glXGetCurrentDisplay)();
typedef int(APIENTRYP PFN_glXQueryVersion)(_XDisplay* dpy, int* major, int* minor);
typedef __GLXcontextRec*(APIENTRYP PFN_glXGetCurrentContext)();
typedef int(APIENTRYP PFN_glXQueryContext)(_XDisplay* dpy, __GLXcontextRec* ctx, int attribute, int* value);

// ---------------------------------------------------------------------------
// Name tables. Each list is written once here and expanded wherever the names
// are needed (declarations, fetching, nulling, name lists, test fakes).
// clang-format off

// OpenGL 1.0/1.1 core, bound to the linked library: X(name).
#define OPENGL1X_CORE_ENTRIES(X) \
  X(glClearIndex) \
  X(glClearColor) \
  X(glClear) \
  X(glIndexMask) \
  X(glColorMask) \
  X(glAlphaFunc) \
  X(glBlendFunc) \
  X(glLogicOp) \
  X(glCullFace) \
  X(glFrontFace) \
  X(glPointSize) \
  X(glLineWidth) \
  X(glLineStipple) \
  X(glPolygonMode) \
  X(glPolygonOffset) \
  X(glPolygonStipple) \
  X(glGetPolygonStipple) \
  X(glEdgeFlag) \
  X(glEdgeFlagv) \
  X(glScissor) \
  X(glClipPlane) \
  X(glGetClipPlane) \
  X(glDrawBuffer) \
  X(glReadBuffer) \
  X(glEnable) \
  X(glDisable) \
  X(glIsEnabled) \
  X(glEnableClientState) \
  X(glDisableClientState) \
  X(glGetBooleanv) \
  X(glGetDoublev) \
  X(glGetFloatv) \
  X(glGetIntegerv) \
  X(glPushAttrib) \
  X(glPopAttrib) \
  X(glPushClientAttrib) \
  X(glPopClientAttrib) \
  X(glRenderMode) \
  X(glGetError) \
  X(glGetString) \
  X(glFinish) \
  X(glFlush) \
  X(glHint) \
  X(glClearDepth) \
  X(glDepthFunc) \
  X(glDepthMask) \
  X(glDepthRange) \
  X(glClearAccum) \
  X(glAccum) \
  X(glMatrixMode) \
  X(glOrtho) \
  X(glFrustum) \
  X(glViewport) \
  X(glPushMatrix) \
  X(glPopMatrix) \
  X(glLoadIdentity) \
  X(glLoadMatrixd) \
  X(glLoadMatrixf) \
  X(glMultMatrixd) \
  X(glMultMatrixf) \
  X(glRotated) \
  X(glRotatef) \
  X(glScaled) \
  X(glScalef) \
  X(glTranslated) \
  X(glTranslatef) \
  X(glIsList) \
  X(glDeleteLists) \
  X(glGenLists) \
  X(glNewList) \
  X(glEndList) \
  X(glCallList) \
  X(glCallLists) \
  X(glListBase) \
  X(glBegin) \
  X(glEnd) \
  X(glVertex2d) \
  X(glVertex2f) \
  X(glVertex2i) \
  X(glVertex2s) \
  X(glVertex3d) \
  X(glVertex3f) \
  X(glVertex3i) \
  X(glVertex3s) \
  X(glVertex4d) \
  X(glVertex4f) \
  X(glVertex4i) \
  X(glVertex4s) \
  X(glVertex2dv) \
  X(glVertex2fv) \
  X(glVertex2iv) \
  X(glVertex2sv) \
  X(glVertex3dv) \
  X(glVertex3fv) \
  X(glVertex3iv) \
  X(glVertex3sv) \
  X(glVertex4dv) \
  X(glVertex4fv) \
  X(glVertex4iv) \
  X(glVertex4sv) \
  X(glNormal3b) \
  X(glNormal3d) \
  X(glNormal3f) \
  X(glNormal3i) \
  X(glNormal3s) \
  X(glNormal3bv) \
  X(glNormal3dv) \
  X(glNormal3fv) \
  X(glNormal3iv) \
  X(glNormal3sv) \
  X(glIndexd) \
  X(glIndexf) \
  X(glIndexi) \
  X(glIndexs) \
  X(glIndexub) \
  X(glIndexdv) \
  X(glIndexfv) \
  X(glIndexiv) \
  X(glIndexsv) \
  X(glIndexubv) \
  X(glColor3b) \
  X(glColor3d) \
  X(glColor3f) \
  X(glColor3i) \
  X(glColor3s) \
  X(glColor3ub) \
  X(glColor3ui) \
  X(glColor3us) \
  X(glColor4b) \
  X(glColor4d) \
  X(glColor4f) \
  X(glColor4i) \
  X(glColor4s) \
  X(glColor4ub) \
  X(glColor4ui) \
  X(glColor4us) \
  X(glColor3bv) \
  X(glColor3dv) \
  X(glColor3fv) \
  X(glColor3iv) \
  X(glColor3sv) \
  X(glColor3ubv) \
  X(glColor3uiv) \
  X(glColor3usv) \
  X(glColor4bv) \
  X(glColor4dv) \
  X(glColor4fv) \
  X(glColor4iv) \
  X(glColor4sv) \
  X(glColor4ubv) \
  X(glColor4uiv) \
  X(glColor4usv) \
  X(glTexCoord1d) \
  X(glTexCoord1f) \
  X(glTexCoord1i) \
  X(glTexCoord1s) \
  X(glTexCoord2d) \
  X(glTexCoord2f) \
  X(glTexCoord2i) \
  X(glTexCoord2s) \
  X(glTexCoord3d) \
  X(glTexCoord3f) \
  X(glTexCoord3i) \
  X(glTexCoord3s) \
  X(glTexCoord4d) \
  X(glTexCoord4f) \
  X(glTexCoord4i) \
  X(glTexCoord4s) \
  X(glTexCoord1dv) \
  X(glTexCoord1fv) \
  X(glTexCoord1iv) \
  X(glTexCoord1sv) \
  X(glTexCoord2dv) \
  X(glTexCoord2fv) \
  X(glTexCoord2iv) \
  X(glTexCoord2sv) \
  X(glTexCoord3dv) \
  X(glTexCoord3fv) \
  X(glTexCoord3iv) \
  X(glTexCoord3sv) \
  X(glTexCoord4dv) \
  X(glTexCoord4fv) \
  X(glTexCoord4iv) \
  X(glTexCoord4sv) \
  X(glRasterPos2d) \
  X(glRasterPos2f) \
  X(glRasterPos2i) \
  X(glRasterPos2s) \
  X(glRasterPos3d) \
  X(glRasterPos3f) \
  X(glRasterPos3i) \
  X(glRasterPos3s) \
  X(glRasterPos4d) \
  X(glRasterPos4f) \
  X(glRasterPos4i) \
  X(glRasterPos4s) \
  X(glRasterPos2dv) \
  X(glRasterPos2fv) \
  X(glRasterPos2iv) \
  X(glRasterPos2sv) \
  X(glRasterPos3dv) \
  X(glRasterPos3fv) \
  X(glRasterPos3iv) \
  X(glRasterPos3sv) \
  X(glRasterPos4dv) \
  X(glRasterPos4fv) \
  X(glRasterPos4iv) \
  X(glRasterPos4sv) \
  X(glRectd) \
  X(glRectf) \
  X(glRecti) \
  X(glRects) \
  X(glRectdv) \
  X(glRectfv) \
  X(glRectiv) \
  X(glRectsv) \
  X(glVertexPointer) \
  X(glNormalPointer) \
  X(glColorPointer) \
  X(glIndexPointer) \
  X(glTexCoordPointer) \
  X(glEdgeFlagPointer) \
  X(glGetPointerv) \
  X(glArrayElement) \
  X(glDrawArrays) \
  X(glDrawElements) \
  X(glInterleavedArrays) \
  X(glShadeModel) \
  X(glLightf) \
  X(glLighti) \
  X(glLightfv) \
  X(glLightiv) \
  X(glGetLightfv) \
  X(glGetLightiv) \
  X(glLightModelf) \
  X(glLightModeli) \
  X(glLightModelfv) \
  X(glLightModeliv) \
  X(glMaterialf) \
  X(glMateriali) \
  X(glMaterialfv) \
  X(glMaterialiv) \
  X(glGetMaterialfv) \
  X(glGetMaterialiv) \
  X(glColorMaterial) \
  X(glPixelZoom) \
  X(glPixelStoref) \
  X(glPixelStorei) \
  X(glPixelTransferf) \
  X(glPixelTransferi) \
  X(glPixelMapfv) \
  X(glPixelMapuiv) \
  X(glPixelMapusv) \
  X(glGetPixelMapfv) \
  X(glGetPixelMapuiv) \
  X(glGetPixelMapusv) \
  X(glBitmap) \
  X(glReadPixels) \
  X(glDrawPixels) \
  X(glCopyPixels) \
  X(glStencilFunc) \
  X(glStencilMask) \
  X(glStencilOp) \
  X(glClearStencil) \
  X(glTexGend) \
  X(glTexGenf) \
  X(glTexGeni) \
  X(glTexGendv) \
  X(glTexGenfv) \
  X(glTexGeniv) \
  X(glGetTexGendv) \
  X(glGetTexGenfv) \
  X(glGetTexGeniv) \
  X(glTexEnvf) \
  X(glTexEnvi) \
  X(glTexEnvfv) \
  X(glTexEnviv) \
  X(glGetTexEnvfv) \
  X(glGetTexEnviv) \
  X(glTexParameterf) \
  X(glTexParameteri) \
  X(glTexParameterfv) \
  X(glTexParameteriv) \
  X(glGetTexParameterfv) \
  X(glGetTexParameteriv) \
  X(glGetTexLevelParameterfv) \
  X(glGetTexLevelParameteriv) \
  X(glTexImage1D) \
  X(glTexImage2D) \
  X(glGetTexImage) \
  X(glGenTextures) \
  X(glDeleteTextures) \
  X(glBindTexture) \
  X(glPrioritizeTextures) \
  X(glAreTexturesResident) \
  X(glIsTexture) \
  X(glTexSubImage1D) \
  X(glTexSubImage2D) \
  X(glCopyTexImage1D) \
  X(glCopyTexImage2D) \
  X(glCopyTexSubImage1D) \
  X(glCopyTexSubImage2D) \
  X(glMap1d) \
  X(glMap1f) \
  X(glMap2d) \
  X(glMap2f) \
  X(glGetMapdv) \
  X(glGetMapfv) \
  X(glGetMapiv) \
  X(glEvalCoord1d) \
  X(glEvalCoord1f) \
  X(glEvalCoord1dv) \
  X(glEvalCoord1fv) \
  X(glEvalCoord2d) \
  X(glEvalCoord2f) \
  X(glEvalCoord2dv) \
  X(glEvalCoord2fv) \
  X(glMapGrid1d) \
  X(glMapGrid1f) \
  X(glMapGrid2d) \
  X(glMapGrid2f) \
  X(glEvalPoint1) \
  X(glEvalPoint2) \
  X(glEvalMesh1) \
  X(glEvalMesh2) \
  X(glFogf) \
  X(glFogi) \
  X(glFogfv) \
  X(glFogiv) \
  X(glFeedbackBuffer) \
  X(glPassThrough) \
  X(glSelectBuffer) \
  X(glInitNames) \
  X(glLoadName) \
  X(glPushName) \
  X(glPopName)

// GLU, bound to the linked library: X(name).
#define OPENGL1X_GLU_ENTRIES(X) \
  X(gluBeginCurve) \
  X(gluBeginPolygon) \
  X(gluBeginSurface) \
  X(gluBeginTrim) \
  X(gluBuild1DMipmapLevels) \
  X(gluBuild1DMipmaps) \
  X(gluBuild2DMipmapLevels) \
  X(gluBuild2DMipmaps) \
  X(gluBuild3DMipmapLevels) \
  X(gluBuild3DMipmaps) \
  X(gluCheckExtension) \
  X(gluCylinder) \
  X(gluDeleteNurbsRenderer) \
  X(gluDeleteQuadric) \
  X(gluDeleteTess) \
  X(gluDisk) \
  X(gluEndCurve) \
  X(gluEndPolygon) \
  X(gluEndSurface) \
  X(gluEndTrim) \
  X(gluErrorString) \
  X(gluGetNurbsProperty) \
  X(gluGetString) \
  X(gluGetTessProperty) \
  X(gluLoadSamplingMatrices) \
  X(gluLookAt) \
  X(gluNewNurbsRenderer) \
  X(gluNewQuadric) \
  X(gluNewTess) \
  X(gluNextContour) \
  X(gluNurbsCallback) \
  X(gluNurbsCallbackData) \
  X(gluNurbsCurve) \
  X(gluNurbsProperty) \
  X(gluNurbsSurface) \
  X(gluOrtho2D) \
  X(gluPartialDisk) \
  X(gluPerspective) \
  X(gluPickMatrix) \
  X(gluProject) \
  X(gluPwlCurve) \
  X(gluQuadricCallback) \
  X(gluQuadricDrawStyle) \
  X(gluQuadricNormals) \
  X(gluQuadricOrientation) \
  X(gluQuadricTexture) \
  X(gluScaleImage) \
  X(gluSphere) \
  X(gluTessBeginContour) \
  X(gluTessBeginPolygon) \
  X(gluTessCallback) \
  X(gluTessEndContour) \
  X(gluTessEndPolygon) \
  X(gluTessNormal) \
  X(gluTessProperty) \
  X(gluTessVertex) \
  X(gluUnProject) \
  X(gluUnProject4)

// Later GL entry points, fetched in this order by LoadGLExtensionEntryPoints:
//   E(type, name, requirement)  fetched through the loader;
//   R(name)                     fetched again (a second name for an entry above);
//   U(type, name, requirement)  fetched from the GLU library.
// The requirement is evaluated after detection, with `c` the flags and
// `ext("...")` a whole-word test of the GL extension string; when false the
// entry point is nulled.
#define OPENGL1X_GL_EXTENSION_ENTRIES(E, R, U)                                                                         \
  /* OpenGL 1.2 core and imaging subset */                                                                             \
  E(decltype(&::glDrawRangeElements), glDrawRangeElements, c.Version_1_2)                                              \
  E(decltype(&::glTexImage3D), glTexImage3D, c.Version_1_2)                                                            \
  E(decltype(&::glBlendColor), glBlendColor, c.Version_1_4 || c.ARB_imaging)                                           \
  E(decltype(&::glBlendEquation), glBlendEquation, c.Version_1_4 || c.ARB_imaging)                                     \
  E(decltype(&::glColorTable), glColorTable, c.ARB_imaging)                                                            \
  E(decltype(&::glColorSubTable), glColorSubTable, c.ARB_imaging)                                                      \
  E(decltype(&::glCopyColorSubTable), glCopyColorSubTable, c.ARB_imaging)                                              \
  E(decltype(&::glCopyColorTable), glCopyColorTable, c.ARB_imaging)                                                    \
  E(decltype(&::glColorTableParameteriv), glColorTableParameteriv, c.ARB_imaging)                                      \
  E(decltype(&::glColorTableParameterfv), glColorTableParameterfv, c.ARB_imaging)                                      \
  E(decltype(&::glGetColorTable), glGetColorTable, c.ARB_imaging)                                                      \
  E(decltype(&::glGetColorTableParameteriv), glGetColorTableParameteriv, c.ARB_imaging)                                \
  E(decltype(&::glGetColorTableParameterfv), glGetColorTableParameterfv, c.ARB_imaging)                                \
  E(decltype(&::glConvolutionFilter1D), glConvolutionFilter1D, c.ARB_imaging)                                          \
  E(decltype(&::glConvolutionFilter2D), glConvolutionFilter2D, c.ARB_imaging)                                          \
  E(decltype(&::glCopyConvolutionFilter1D), glCopyConvolutionFilter1D, c.ARB_imaging)                                  \
  E(decltype(&::glCopyConvolutionFilter2D), glCopyConvolutionFilter2D, c.ARB_imaging)                                  \
  E(decltype(&::glGetConvolutionFilter), glGetConvolutionFilter, c.ARB_imaging)                                        \
  E(decltype(&::glSeparableFilter2D), glSeparableFilter2D, c.ARB_imaging)                                              \
  E(decltype(&::glGetSeparableFilter), glGetSeparableFilter, c.ARB_imaging)                                            \
  E(decltype(&::glConvolutionParameteri), glConvolutionParameteri, c.ARB_imaging)                                      \
  E(decltype(&::glConvolutionParameteriv), glConvolutionParameteriv, c.ARB_imaging)                                    \
  E(decltype(&::glConvolutionParameterf), glConvolutionParameterf, c.ARB_imaging)                                      \
  E(decltype(&::glConvolutionParameterfv), glConvolutionParameterfv, c.ARB_imaging)                                    \
  E(decltype(&::glGetConvolutionParameteriv), glGetConvolutionParameteriv, c.ARB_imaging)                              \
  E(decltype(&::glGetConvolutionParameterfv), glGetConvolutionParameterfv, c.ARB_imaging)                              \
  E(decltype(&::glHistogram), glHistogram, c.ARB_imaging)                                                              \
  E(decltype(&::glResetHistogram), glResetHistogram, c.ARB_imaging)                                                    \
  E(decltype(&::glGetHistogram), glGetHistogram, c.ARB_imaging)                                                        \
  E(decltype(&::glGetHistogramParameteriv), glGetHistogramParameteriv, c.ARB_imaging)                                  \
  E(decltype(&::glGetHistogramParameterfv), glGetHistogramParameterfv, c.ARB_imaging)                                  \
  E(decltype(&::glMinmax), glMinmax, c.ARB_imaging)                                                                    \
  E(decltype(&::glResetMinmax), glResetMinmax, c.ARB_imaging)                                                          \
  E(decltype(&::glGetMinmax), glGetMinmax, c.ARB_imaging)                                                              \
  E(decltype(&::glGetMinmaxParameteriv), glGetMinmaxParameteriv, c.ARB_imaging)                                        \
  E(decltype(&::glGetMinmaxParameterfv), glGetMinmaxParameterfv, c.ARB_imaging)                                        \
  /* EXT texture, palette and array functions */                                                                       \
  E(PFNGLARRAYELEMENTARRAYEXTPROC, glArrayElementArrayEXT, false)                                                      \
  E(PFNGLCOLORTABLEEXTPROC, glColorTableEXT, c.EXT_paletted_texture)                                                   \
  E(PFNGLCOLORSUBTABLEEXTPROC, glColorSubTableEXT, ext("GL_EXT_color_subtable"))                                       \
  E(PFNGLGETCOLORTABLEEXTPROC, glGetColorTableEXT, c.EXT_paletted_texture)                                             \
  E(PFNGLGETCOLORTABLEPARAMETERIVEXTPROC, glGetColorTableParameterivEXT, c.EXT_paletted_texture)                       \
  E(PFNGLGETCOLORTABLEPARAMETERFVEXTPROC, glGetColorTableParameterfvEXT, c.EXT_paletted_texture)                       \
  E(PFNGLCOPYTEXIMAGE1DEXTPROC, glCopyTexImage1DEXT, c.EXT_copy_texture)                                               \
  E(PFNGLCOPYTEXIMAGE2DEXTPROC, glCopyTexImage2DEXT, c.EXT_copy_texture)                                               \
  E(PFNGLCOPYTEXSUBIMAGE1DEXTPROC, glCopyTexSubImage1DEXT, c.EXT_copy_texture)                                         \
  E(PFNGLCOPYTEXSUBIMAGE2DEXTPROC, glCopyTexSubImage2DEXT, c.EXT_copy_texture)                                         \
  E(PFNGLCOPYTEXSUBIMAGE3DEXTPROC, glCopyTexSubImage3DEXT, c.EXT_copy_texture)                                         \
  E(PFNGLINDEXFUNCEXTPROC, glIndexFuncEXT, ext("GL_EXT_index_func"))                                                   \
  E(PFNGLINDEXMATERIALEXTPROC, glIndexMaterialEXT, ext("GL_EXT_index_material"))                                       \
  E(PFNGLPOLYGONOFFSETEXTPROC, glPolygonOffsetEXT, c.EXT_polygon_offset)                                               \
  E(PFNGLTEXSUBIMAGE1DEXTPROC, glTexSubImage1DEXT, ext("GL_EXT_subtexture"))                                           \
  E(PFNGLTEXSUBIMAGE2DEXTPROC, glTexSubImage2DEXT, ext("GL_EXT_subtexture"))                                           \
  E(PFNGLTEXSUBIMAGE3DEXTPROC, glTexSubImage3DEXT, c.EXT_texture3D)                                                    \
  E(PFNGLGENTEXTURESEXTPROC, glGenTexturesEXT, c.EXT_texture_object)                                                   \
  E(PFNGLDELETETEXTURESEXTPROC, glDeleteTexturesEXT, c.EXT_texture_object)                                             \
  E(PFNGLBINDTEXTUREEXTPROC, glBindTextureEXT, c.EXT_texture_object)                                                   \
  E(PFNGLPRIORITIZETEXTURESEXTPROC, glPrioritizeTexturesEXT, c.EXT_texture_object)                                     \
  E(PFNGLARETEXTURESRESIDENTEXTPROC, glAreTexturesResidentEXT, c.EXT_texture_object)                                   \
  E(PFNGLISTEXTUREEXTPROC, glIsTextureEXT, c.EXT_texture_object)                                                       \
  E(PFNGLLOCKARRAYSEXTPROC, glLockArraysEXT, c.EXT_compiled_vertex_array)                                              \
  E(PFNGLUNLOCKARRAYSEXTPROC, glUnlockArraysEXT, c.EXT_compiled_vertex_array)                                          \
  /* ARB multitexture */                                                                                               \
  E(PFNGLMULTITEXCOORD1DARBPROC, glMultiTexCoord1dARB, c.ARB_multitexture)                                             \
  E(PFNGLMULTITEXCOORD1DVARBPROC, glMultiTexCoord1dvARB, c.ARB_multitexture)                                           \
  E(PFNGLMULTITEXCOORD1FARBPROC, glMultiTexCoord1fARB, c.ARB_multitexture)                                             \
  E(PFNGLMULTITEXCOORD1FVARBPROC, glMultiTexCoord1fvARB, c.ARB_multitexture)                                           \
  E(PFNGLMULTITEXCOORD1IARBPROC, glMultiTexCoord1iARB, c.ARB_multitexture)                                             \
  E(PFNGLMULTITEXCOORD1IVARBPROC, glMultiTexCoord1ivARB, c.ARB_multitexture)                                           \
  E(PFNGLMULTITEXCOORD1SARBPROC, glMultiTexCoord1sARB, c.ARB_multitexture)                                             \
  E(PFNGLMULTITEXCOORD1SVARBPROC, glMultiTexCoord1svARB, c.ARB_multitexture)                                           \
  E(PFNGLMULTITEXCOORD2DARBPROC, glMultiTexCoord2dARB, c.ARB_multitexture)                                             \
  E(PFNGLMULTITEXCOORD2DVARBPROC, glMultiTexCoord2dvARB, c.ARB_multitexture)                                           \
  E(PFNGLMULTITEXCOORD2FARBPROC, glMultiTexCoord2fARB, c.ARB_multitexture)                                             \
  E(PFNGLMULTITEXCOORD2FVARBPROC, glMultiTexCoord2fvARB, c.ARB_multitexture)                                           \
  E(PFNGLMULTITEXCOORD2IARBPROC, glMultiTexCoord2iARB, c.ARB_multitexture)                                             \
  E(PFNGLMULTITEXCOORD2IVARBPROC, glMultiTexCoord2ivARB, c.ARB_multitexture)                                           \
  E(PFNGLMULTITEXCOORD2SARBPROC, glMultiTexCoord2sARB, c.ARB_multitexture)                                             \
  E(PFNGLMULTITEXCOORD2SVARBPROC, glMultiTexCoord2svARB, c.ARB_multitexture)                                           \
  E(PFNGLMULTITEXCOORD3DARBPROC, glMultiTexCoord3dARB, c.ARB_multitexture)                                             \
  E(PFNGLMULTITEXCOORD3DVARBPROC, glMultiTexCoord3dvARB, c.ARB_multitexture)                                           \
  E(PFNGLMULTITEXCOORD3FARBPROC, glMultiTexCoord3fARB, c.ARB_multitexture)                                             \
  E(PFNGLMULTITEXCOORD3FVARBPROC, glMultiTexCoord3fvARB, c.ARB_multitexture)                                           \
  E(PFNGLMULTITEXCOORD3IARBPROC, glMultiTexCoord3iARB, c.ARB_multitexture)                                             \
  E(PFNGLMULTITEXCOORD3IVARBPROC, glMultiTexCoord3ivARB, c.ARB_multitexture)                                           \
  E(PFNGLMULTITEXCOORD3SARBPROC, glMultiTexCoord3sARB, c.ARB_multitexture)                                             \
  E(PFNGLMULTITEXCOORD3SVARBPROC, glMultiTexCoord3svARB, c.ARB_multitexture)                                           \
  E(PFNGLMULTITEXCOORD4DARBPROC, glMultiTexCoord4dARB, c.ARB_multitexture)                                             \
  E(PFNGLMULTITEXCOORD4DVARBPROC, glMultiTexCoord4dvARB, c.ARB_multitexture)                                           \
  E(PFNGLMULTITEXCOORD4FARBPROC, glMultiTexCoord4fARB, c.ARB_multitexture)                                             \
  E(PFNGLMULTITEXCOORD4FVARBPROC, glMultiTexCoord4fvARB, c.ARB_multitexture)                                           \
  E(PFNGLMULTITEXCOORD4IARBPROC, glMultiTexCoord4iARB, c.ARB_multitexture)                                             \
  E(PFNGLMULTITEXCOORD4IVARBPROC, glMultiTexCoord4ivARB, c.ARB_multitexture)                                           \
  E(PFNGLMULTITEXCOORD4SARBPROC, glMultiTexCoord4sARB, c.ARB_multitexture)                                             \
  E(PFNGLMULTITEXCOORD4SVARBPROC, glMultiTexCoord4svARB, c.ARB_multitexture)                                           \
  E(PFNGLACTIVETEXTUREARBPROC, glActiveTextureARB, c.ARB_multitexture)                                                 \
  E(PFNGLCLIENTACTIVETEXTUREARBPROC, glClientActiveTextureARB, c.ARB_multitexture)                                     \
  /* single extensions */                                                                                              \
  E(PFNGLACTIVESTENCILFACEEXTPROC, glActiveStencilFaceEXT, c.EXT_stencil_two_side)                                     \
  E(PFNGLADDSWAPHINTRECTWINPROC, glAddSwapHintRectWIN, c.WIN_swap_hint)                                                \
  /* ARB point parameters, transpose matrix, multisample, texture compression */                                       \
  E(PFNGLPOINTPARAMETERFARBPROC, glPointParameterfARB, c.ARB_point_parameters)                                         \
  E(PFNGLPOINTPARAMETERFVARBPROC, glPointParameterfvARB, c.ARB_point_parameters)                                       \
  E(PFNGLLOADTRANSPOSEMATRIXFARBPROC, glLoadTransposeMatrixfARB, c.ARB_transpose_matrix)                               \
  E(PFNGLLOADTRANSPOSEMATRIXDARBPROC, glLoadTransposeMatrixdARB, c.ARB_transpose_matrix)                               \
  E(PFNGLMULTTRANSPOSEMATRIXFARBPROC, glMultTransposeMatrixfARB, c.ARB_transpose_matrix)                               \
  E(PFNGLMULTTRANSPOSEMATRIXDARBPROC, glMultTransposeMatrixdARB, c.ARB_transpose_matrix)                               \
  E(PFNGLSAMPLECOVERAGEARBPROC, glSampleCoverageARB, ext("GL_ARB_multisample"))                                        \
  E(PFNGLSAMPLEPASSARBPROC, glSamplePassARB, false)                                                                    \
  E(PFNGLCOMPRESSEDTEXIMAGE1DARBPROC, glCompressedTexImage1DARB, c.ARB_texture_compression)                            \
  E(PFNGLCOMPRESSEDTEXIMAGE2DARBPROC, glCompressedTexImage2DARB, c.ARB_texture_compression)                            \
  E(PFNGLCOMPRESSEDTEXIMAGE3DARBPROC, glCompressedTexImage3DARB, c.ARB_texture_compression)                            \
  E(PFNGLCOMPRESSEDTEXSUBIMAGE1DARBPROC, glCompressedTexSubImage1DARB, c.ARB_texture_compression)                      \
  E(PFNGLCOMPRESSEDTEXSUBIMAGE2DARBPROC, glCompressedTexSubImage2DARB, c.ARB_texture_compression)                      \
  E(PFNGLCOMPRESSEDTEXSUBIMAGE3DARBPROC, glCompressedTexSubImage3DARB, c.ARB_texture_compression)                      \
  E(PFNGLGETCOMPRESSEDTEXIMAGEARBPROC, glGetCompressedTexImageARB, c.ARB_texture_compression)                          \
  /* ARB vertex program */                                                                                             \
  E(PFNGLVERTEXATTRIB1SARBPROC, glVertexAttrib1sARB, c.ARB_vertex_program || c.ARB_vertex_shader)                      \
  E(PFNGLVERTEXATTRIB1FARBPROC, glVertexAttrib1fARB, c.ARB_vertex_program || c.ARB_vertex_shader)                      \
  E(PFNGLVERTEXATTRIB1DARBPROC, glVertexAttrib1dARB, c.ARB_vertex_program || c.ARB_vertex_shader)                      \
  E(PFNGLVERTEXATTRIB2SARBPROC, glVertexAttrib2sARB, c.ARB_vertex_program || c.ARB_vertex_shader)                      \
  E(PFNGLVERTEXATTRIB2FARBPROC, glVertexAttrib2fARB, c.ARB_vertex_program || c.ARB_vertex_shader)                      \
  E(PFNGLVERTEXATTRIB2DARBPROC, glVertexAttrib2dARB, c.ARB_vertex_program || c.ARB_vertex_shader)                      \
  E(PFNGLVERTEXATTRIB3SARBPROC, glVertexAttrib3sARB, c.ARB_vertex_program || c.ARB_vertex_shader)                      \
  E(PFNGLVERTEXATTRIB3FARBPROC, glVertexAttrib3fARB, c.ARB_vertex_program || c.ARB_vertex_shader)                      \
  E(PFNGLVERTEXATTRIB3DARBPROC, glVertexAttrib3dARB, c.ARB_vertex_program || c.ARB_vertex_shader)                      \
  E(PFNGLVERTEXATTRIB4SARBPROC, glVertexAttrib4sARB, c.ARB_vertex_program || c.ARB_vertex_shader)                      \
  E(PFNGLVERTEXATTRIB4FARBPROC, glVertexAttrib4fARB, c.ARB_vertex_program || c.ARB_vertex_shader)                      \
  E(PFNGLVERTEXATTRIB4DARBPROC, glVertexAttrib4dARB, c.ARB_vertex_program || c.ARB_vertex_shader)                      \
  E(PFNGLVERTEXATTRIB4NUBARBPROC, glVertexAttrib4NubARB, c.ARB_vertex_program || c.ARB_vertex_shader)                  \
  E(PFNGLVERTEXATTRIB1SVARBPROC, glVertexAttrib1svARB, c.ARB_vertex_program || c.ARB_vertex_shader)                    \
  E(PFNGLVERTEXATTRIB1FVARBPROC, glVertexAttrib1fvARB, c.ARB_vertex_program || c.ARB_vertex_shader)                    \
  E(PFNGLVERTEXATTRIB1DVARBPROC, glVertexAttrib1dvARB, c.ARB_vertex_program || c.ARB_vertex_shader)                    \
  E(PFNGLVERTEXATTRIB2SVARBPROC, glVertexAttrib2svARB, c.ARB_vertex_program || c.ARB_vertex_shader)                    \
  E(PFNGLVERTEXATTRIB2FVARBPROC, glVertexAttrib2fvARB, c.ARB_vertex_program || c.ARB_vertex_shader)                    \
  E(PFNGLVERTEXATTRIB2DVARBPROC, glVertexAttrib2dvARB, c.ARB_vertex_program || c.ARB_vertex_shader)                    \
  E(PFNGLVERTEXATTRIB3SVARBPROC, glVertexAttrib3svARB, c.ARB_vertex_program || c.ARB_vertex_shader)                    \
  E(PFNGLVERTEXATTRIB3FVARBPROC, glVertexAttrib3fvARB, c.ARB_vertex_program || c.ARB_vertex_shader)                    \
  E(PFNGLVERTEXATTRIB3DVARBPROC, glVertexAttrib3dvARB, c.ARB_vertex_program || c.ARB_vertex_shader)                    \
  E(PFNGLVERTEXATTRIB4BVARBPROC, glVertexAttrib4bvARB, c.ARB_vertex_program || c.ARB_vertex_shader)                    \
  E(PFNGLVERTEXATTRIB4SVARBPROC, glVertexAttrib4svARB, c.ARB_vertex_program || c.ARB_vertex_shader)                    \
  E(PFNGLVERTEXATTRIB4IVARBPROC, glVertexAttrib4ivARB, c.ARB_vertex_program || c.ARB_vertex_shader)                    \
  E(PFNGLVERTEXATTRIB4UBVARBPROC, glVertexAttrib4ubvARB, c.ARB_vertex_program || c.ARB_vertex_shader)                  \
  E(PFNGLVERTEXATTRIB4USVARBPROC, glVertexAttrib4usvARB, c.ARB_vertex_program || c.ARB_vertex_shader)                  \
  E(PFNGLVERTEXATTRIB4UIVARBPROC, glVertexAttrib4uivARB, c.ARB_vertex_program || c.ARB_vertex_shader)                  \
  E(PFNGLVERTEXATTRIB4FVARBPROC, glVertexAttrib4fvARB, c.ARB_vertex_program || c.ARB_vertex_shader)                    \
  E(PFNGLVERTEXATTRIB4DVARBPROC, glVertexAttrib4dvARB, c.ARB_vertex_program || c.ARB_vertex_shader)                    \
  E(PFNGLVERTEXATTRIB4NBVARBPROC, glVertexAttrib4NbvARB, c.ARB_vertex_program || c.ARB_vertex_shader)                  \
  E(PFNGLVERTEXATTRIB4NSVARBPROC, glVertexAttrib4NsvARB, c.ARB_vertex_program || c.ARB_vertex_shader)                  \
  E(PFNGLVERTEXATTRIB4NIVARBPROC, glVertexAttrib4NivARB, c.ARB_vertex_program || c.ARB_vertex_shader)                  \
  E(PFNGLVERTEXATTRIB4NUBVARBPROC, glVertexAttrib4NubvARB, c.ARB_vertex_program || c.ARB_vertex_shader)                \
  E(PFNGLVERTEXATTRIB4NUSVARBPROC, glVertexAttrib4NusvARB, c.ARB_vertex_program || c.ARB_vertex_shader)                \
  E(PFNGLVERTEXATTRIB4NUIVARBPROC, glVertexAttrib4NuivARB, c.ARB_vertex_program || c.ARB_vertex_shader)                \
  E(PFNGLVERTEXATTRIBPOINTERARBPROC, glVertexAttribPointerARB, c.ARB_vertex_program || c.ARB_vertex_shader)            \
  E(PFNGLENABLEVERTEXATTRIBARRAYARBPROC, glEnableVertexAttribArrayARB, c.ARB_vertex_program || c.ARB_vertex_shader)    \
  E(PFNGLDISABLEVERTEXATTRIBARRAYARBPROC, glDisableVertexAttribArrayARB, c.ARB_vertex_program || c.ARB_vertex_shader)  \
  E(PFNGLPROGRAMSTRINGARBPROC, glProgramStringARB, c.ARB_vertex_program || c.ARB_fragment_program)                     \
  E(PFNGLBINDPROGRAMARBPROC, glBindProgramARB, c.ARB_vertex_program || c.ARB_fragment_program)                         \
  E(PFNGLDELETEPROGRAMSARBPROC, glDeleteProgramsARB, c.ARB_vertex_program || c.ARB_fragment_program)                   \
  E(PFNGLGENPROGRAMSARBPROC, glGenProgramsARB, c.ARB_vertex_program || c.ARB_fragment_program)                         \
  E(PFNGLPROGRAMENVPARAMETER4DARBPROC, glProgramEnvParameter4dARB, c.ARB_vertex_program || c.ARB_fragment_program)     \
  E(PFNGLPROGRAMENVPARAMETER4DVARBPROC, glProgramEnvParameter4dvARB, c.ARB_vertex_program || c.ARB_fragment_program)   \
  E(PFNGLPROGRAMENVPARAMETER4FARBPROC, glProgramEnvParameter4fARB, c.ARB_vertex_program || c.ARB_fragment_program)     \
  E(PFNGLPROGRAMENVPARAMETER4FVARBPROC, glProgramEnvParameter4fvARB, c.ARB_vertex_program || c.ARB_fragment_program)   \
  E(PFNGLPROGRAMLOCALPARAMETER4DARBPROC, glProgramLocalParameter4dARB, c.ARB_vertex_program || c.ARB_fragment_program) \
  E(PFNGLPROGRAMLOCALPARAMETER4DVARBPROC, glProgramLocalParameter4dvARB,                                               \
    c.ARB_vertex_program || c.ARB_fragment_program)                                                                    \
  E(PFNGLPROGRAMLOCALPARAMETER4FARBPROC, glProgramLocalParameter4fARB, c.ARB_vertex_program || c.ARB_fragment_program) \
  E(PFNGLPROGRAMLOCALPARAMETER4FVARBPROC, glProgramLocalParameter4fvARB,                                               \
    c.ARB_vertex_program || c.ARB_fragment_program)                                                                    \
  E(PFNGLGETPROGRAMENVPARAMETERDVARBPROC, glGetProgramEnvParameterdvARB,                                               \
    c.ARB_vertex_program || c.ARB_fragment_program)                                                                    \
  E(PFNGLGETPROGRAMENVPARAMETERFVARBPROC, glGetProgramEnvParameterfvARB,                                               \
    c.ARB_vertex_program || c.ARB_fragment_program)                                                                    \
  E(PFNGLGETPROGRAMLOCALPARAMETERDVARBPROC, glGetProgramLocalParameterdvARB,                                           \
    c.ARB_vertex_program || c.ARB_fragment_program)                                                                    \
  E(PFNGLGETPROGRAMLOCALPARAMETERFVARBPROC, glGetProgramLocalParameterfvARB,                                           \
    c.ARB_vertex_program || c.ARB_fragment_program)                                                                    \
  E(PFNGLGETPROGRAMIVARBPROC, glGetProgramivARB, c.ARB_vertex_program || c.ARB_fragment_program)                       \
  E(PFNGLGETPROGRAMSTRINGARBPROC, glGetProgramStringARB, c.ARB_vertex_program || c.ARB_fragment_program)               \
  E(PFNGLGETVERTEXATTRIBDVARBPROC, glGetVertexAttribdvARB, c.ARB_vertex_program || c.ARB_vertex_shader)                \
  E(PFNGLGETVERTEXATTRIBFVARBPROC, glGetVertexAttribfvARB, c.ARB_vertex_program || c.ARB_vertex_shader)                \
  E(PFNGLGETVERTEXATTRIBIVARBPROC, glGetVertexAttribivARB, c.ARB_vertex_program || c.ARB_vertex_shader)                \
  E(PFNGLGETVERTEXATTRIBPOINTERVARBPROC, glGetVertexAttribPointervARB, c.ARB_vertex_program || c.ARB_vertex_shader)    \
  E(PFNGLISPROGRAMARBPROC, glIsProgramARB, c.ARB_vertex_program || c.ARB_fragment_program)                             \
  /* ARB vertex buffer object */                                                                                       \
  E(PFNGLBINDBUFFERARBPROC, glBindBufferARB, c.ARB_vertex_buffer_object)                                               \
  E(PFNGLDELETEBUFFERSARBPROC, glDeleteBuffersARB, c.ARB_vertex_buffer_object)                                         \
  E(PFNGLGENBUFFERSARBPROC, glGenBuffersARB, c.ARB_vertex_buffer_object)                                               \
  E(PFNGLISBUFFERARBPROC, glIsBufferARB, c.ARB_vertex_buffer_object)                                                   \
  E(PFNGLBUFFERDATAARBPROC, glBufferDataARB, c.ARB_vertex_buffer_object)                                               \
  E(PFNGLBUFFERSUBDATAARBPROC, glBufferSubDataARB, c.ARB_vertex_buffer_object)                                         \
  E(PFNGLGETBUFFERSUBDATAARBPROC, glGetBufferSubDataARB, c.ARB_vertex_buffer_object)                                   \
  E(PFNGLMAPBUFFERARBPROC, glMapBufferARB, c.ARB_vertex_buffer_object)                                                 \
  E(PFNGLUNMAPBUFFERARBPROC, glUnmapBufferARB, c.ARB_vertex_buffer_object)                                             \
  E(PFNGLGETBUFFERPARAMETERIVARBPROC, glGetBufferParameterivARB, c.ARB_vertex_buffer_object)                           \
  E(PFNGLGETBUFFERPOINTERVARBPROC, glGetBufferPointervARB, c.ARB_vertex_buffer_object)                                 \
  /* ARB shader objects */                                                                                             \
  E(PFNGLDELETEOBJECTARBPROC, glDeleteObjectARB, c.ARB_shader_objects)                                                 \
  E(PFNGLGETHANDLEARBPROC, glGetHandleARB, c.ARB_shader_objects)                                                       \
  E(PFNGLDETACHOBJECTARBPROC, glDetachObjectARB, c.ARB_shader_objects)                                                 \
  E(PFNGLCREATESHADEROBJECTARBPROC, glCreateShaderObjectARB, c.ARB_shader_objects)                                     \
  E(PFNGLSHADERSOURCEARBPROC, glShaderSourceARB, c.ARB_shader_objects)                                                 \
  E(PFNGLCOMPILESHADERARBPROC, glCompileShaderARB, c.ARB_shader_objects)                                               \
  E(PFNGLCREATEPROGRAMOBJECTARBPROC, glCreateProgramObjectARB, c.ARB_shader_objects)                                   \
  E(PFNGLATTACHOBJECTARBPROC, glAttachObjectARB, c.ARB_shader_objects)                                                 \
  E(PFNGLLINKPROGRAMARBPROC, glLinkProgramARB, c.ARB_shader_objects)                                                   \
  E(PFNGLUSEPROGRAMOBJECTARBPROC, glUseProgramObjectARB, c.ARB_shader_objects)                                         \
  E(PFNGLVALIDATEPROGRAMARBPROC, glValidateProgramARB, c.ARB_shader_objects)                                           \
  E(PFNGLUNIFORM1FARBPROC, glUniform1fARB, c.ARB_shader_objects)                                                       \
  E(PFNGLUNIFORM2FARBPROC, glUniform2fARB, c.ARB_shader_objects)                                                       \
  E(PFNGLUNIFORM3FARBPROC, glUniform3fARB, c.ARB_shader_objects)                                                       \
  E(PFNGLUNIFORM4FARBPROC, glUniform4fARB, c.ARB_shader_objects)                                                       \
  E(PFNGLUNIFORM1IARBPROC, glUniform1iARB, c.ARB_shader_objects)                                                       \
  E(PFNGLUNIFORM2IARBPROC, glUniform2iARB, c.ARB_shader_objects)                                                       \
  E(PFNGLUNIFORM3IARBPROC, glUniform3iARB, c.ARB_shader_objects)                                                       \
  E(PFNGLUNIFORM4IARBPROC, glUniform4iARB, c.ARB_shader_objects)                                                       \
  E(PFNGLUNIFORM1FVARBPROC, glUniform1fvARB, c.ARB_shader_objects)                                                     \
  E(PFNGLUNIFORM2FVARBPROC, glUniform2fvARB, c.ARB_shader_objects)                                                     \
  E(PFNGLUNIFORM3FVARBPROC, glUniform3fvARB, c.ARB_shader_objects)                                                     \
  E(PFNGLUNIFORM4FVARBPROC, glUniform4fvARB, c.ARB_shader_objects)                                                     \
  E(PFNGLUNIFORM1IVARBPROC, glUniform1ivARB, c.ARB_shader_objects)                                                     \
  E(PFNGLUNIFORM2IVARBPROC, glUniform2ivARB, c.ARB_shader_objects)                                                     \
  E(PFNGLUNIFORM3IVARBPROC, glUniform3ivARB, c.ARB_shader_objects)                                                     \
  E(PFNGLUNIFORM4IVARBPROC, glUniform4ivARB, c.ARB_shader_objects)                                                     \
  E(PFNGLUNIFORMMATRIX2FVARBPROC, glUniformMatrix2fvARB, c.ARB_shader_objects)                                         \
  E(PFNGLUNIFORMMATRIX3FVARBPROC, glUniformMatrix3fvARB, c.ARB_shader_objects)                                         \
  E(PFNGLUNIFORMMATRIX4FVARBPROC, glUniformMatrix4fvARB, c.ARB_shader_objects)                                         \
  E(PFNGLGETOBJECTPARAMETERFVARBPROC, glGetObjectParameterfvARB, c.ARB_shader_objects)                                 \
  E(PFNGLGETOBJECTPARAMETERIVARBPROC, glGetObjectParameterivARB, c.ARB_shader_objects)                                 \
  E(PFNGLGETINFOLOGARBPROC, glGetInfoLogARB, c.ARB_shader_objects)                                                     \
  E(PFNGLGETATTACHEDOBJECTSARBPROC, glGetAttachedObjectsARB, c.ARB_shader_objects)                                     \
  E(PFNGLGETUNIFORMLOCATIONARBPROC, glGetUniformLocationARB, c.ARB_shader_objects)                                     \
  E(PFNGLGETACTIVEUNIFORMARBPROC, glGetActiveUniformARB, c.ARB_shader_objects)                                         \
  E(PFNGLGETUNIFORMFVARBPROC, glGetUniformfvARB, c.ARB_shader_objects)                                                 \
  E(PFNGLGETUNIFORMIVARBPROC, glGetUniformivARB, c.ARB_shader_objects)                                                 \
  E(PFNGLGETSHADERSOURCEARBPROC, glGetShaderSourceARB, c.ARB_shader_objects)                                           \
  E(PFNGLBINDATTRIBLOCATIONARBPROC, glBindAttribLocationARB, c.ARB_vertex_shader)                                      \
  E(PFNGLGETACTIVEATTRIBARBPROC, glGetActiveAttribARB, c.ARB_vertex_shader)                                            \
  E(PFNGLGETATTRIBLOCATIONARBPROC, glGetAttribLocationARB, c.ARB_vertex_shader)                                        \
  /* duplicates under EXT and SGIS names */                                                                            \
  E(PFNGLBLENDCOLOREXTPROC, glBlendColorEXT, c.EXT_blend_color)                                                        \
  E(PFNGLTEXIMAGE3DEXTPROC, glTexImage3DEXT, c.EXT_texture3D)                                                          \
  E(PFNGLSAMPLEMASKSGISPROC, glSampleMaskSGIS, c.SGIS_multisample)                                                     \
  E(PFNGLSAMPLEPATTERNSGISPROC, glSamplePatternSGIS, c.SGIS_multisample)                                               \
  E(PFNGLBLENDEQUATIONEXTPROC, glBlendEquationEXT, c.EXT_blend_minmax || c.EXT_blend_subtract)                         \
  R(glGetColorTableParameterivEXT)                                                                                     \
  R(glGetColorTableParameterfvEXT)                                                                                     \
  E(PFNGLDRAWRANGEELEMENTSEXTPROC, glDrawRangeElementsEXT, c.EXT_draw_range_elements)                                  \
  /* EXT secondary colour, multi-draw, fog coordinate, separate blend */                                               \
  E(PFNGLSECONDARYCOLOR3BEXTPROC, glSecondaryColor3bEXT, c.EXT_secondary_color)                                        \
  E(PFNGLSECONDARYCOLOR3BVEXTPROC, glSecondaryColor3bvEXT, c.EXT_secondary_color)                                      \
  E(PFNGLSECONDARYCOLOR3DEXTPROC, glSecondaryColor3dEXT, c.EXT_secondary_color)                                        \
  E(PFNGLSECONDARYCOLOR3DVEXTPROC, glSecondaryColor3dvEXT, c.EXT_secondary_color)                                      \
  E(PFNGLSECONDARYCOLOR3FEXTPROC, glSecondaryColor3fEXT, c.EXT_secondary_color)                                        \
  E(PFNGLSECONDARYCOLOR3FVEXTPROC, glSecondaryColor3fvEXT, c.EXT_secondary_color)                                      \
  E(PFNGLSECONDARYCOLOR3IEXTPROC, glSecondaryColor3iEXT, c.EXT_secondary_color)                                        \
  E(PFNGLSECONDARYCOLOR3IVEXTPROC, glSecondaryColor3ivEXT, c.EXT_secondary_color)                                      \
  E(PFNGLSECONDARYCOLOR3SEXTPROC, glSecondaryColor3sEXT, c.EXT_secondary_color)                                        \
  E(PFNGLSECONDARYCOLOR3SVEXTPROC, glSecondaryColor3svEXT, c.EXT_secondary_color)                                      \
  E(PFNGLSECONDARYCOLOR3UBEXTPROC, glSecondaryColor3ubEXT, c.EXT_secondary_color)                                      \
  E(PFNGLSECONDARYCOLOR3UBVEXTPROC, glSecondaryColor3ubvEXT, c.EXT_secondary_color)                                    \
  E(PFNGLSECONDARYCOLOR3UIEXTPROC, glSecondaryColor3uiEXT, c.EXT_secondary_color)                                      \
  E(PFNGLSECONDARYCOLOR3UIVEXTPROC, glSecondaryColor3uivEXT, c.EXT_secondary_color)                                    \
  E(PFNGLSECONDARYCOLOR3USEXTPROC, glSecondaryColor3usEXT, c.EXT_secondary_color)                                      \
  E(PFNGLSECONDARYCOLOR3USVEXTPROC, glSecondaryColor3usvEXT, c.EXT_secondary_color)                                    \
  E(PFNGLSECONDARYCOLORPOINTEREXTPROC, glSecondaryColorPointerEXT, c.EXT_secondary_color)                              \
  E(PFNGLMULTIDRAWARRAYSEXTPROC, glMultiDrawArraysEXT, c.EXT_multi_draw_arrays)                                        \
  E(PFNGLMULTIDRAWELEMENTSEXTPROC, glMultiDrawElementsEXT, c.EXT_multi_draw_arrays)                                    \
  E(PFNGLFOGCOORDFEXTPROC, glFogCoordfEXT, c.EXT_fog_coord)                                                            \
  E(PFNGLFOGCOORDFVEXTPROC, glFogCoordfvEXT, c.EXT_fog_coord)                                                          \
  E(PFNGLFOGCOORDDEXTPROC, glFogCoorddEXT, c.EXT_fog_coord)                                                            \
  E(PFNGLFOGCOORDDVEXTPROC, glFogCoorddvEXT, c.EXT_fog_coord)                                                          \
  E(PFNGLFOGCOORDPOINTEREXTPROC, glFogCoordPointerEXT, c.EXT_fog_coord)                                                \
  E(PFNGLBLENDFUNCSEPARATEEXTPROC, glBlendFuncSeparateEXT, c.EXT_blend_func_separate)                                  \
  /* NV vertex array range (memory allocation through GLX here) */                                                     \
  E(PFNGLFLUSHVERTEXARRAYRANGENVPROC, glFlushVertexArrayRangeNV, c.NV_vertex_array_range)                              \
  E(PFNGLVERTEXARRAYRANGENVPROC, glVertexArrayRangeNV, c.NV_vertex_array_range)                                        \
  E(PFN_glXAllocateMemoryNV, glXAllocateMemoryNV, c.NV_vertex_array_range)                                             \
  E(PFN_glXFreeMemoryNV, glXFreeMemoryNV, c.NV_vertex_array_range)                                                     \
  /* NV register combiners */                                                                                          \
  E(PFNGLCOMBINERPARAMETERFVNVPROC, glCombinerParameterfvNV, c.NV_register_combiners)                                  \
  E(PFNGLCOMBINERPARAMETERFNVPROC, glCombinerParameterfNV, c.NV_register_combiners)                                    \
  E(PFNGLCOMBINERPARAMETERIVNVPROC, glCombinerParameterivNV, c.NV_register_combiners)                                  \
  E(PFNGLCOMBINERPARAMETERINVPROC, glCombinerParameteriNV, c.NV_register_combiners)                                    \
  E(PFNGLCOMBINERINPUTNVPROC, glCombinerInputNV, c.NV_register_combiners)                                              \
  E(PFNGLCOMBINEROUTPUTNVPROC, glCombinerOutputNV, c.NV_register_combiners)                                            \
  E(PFNGLFINALCOMBINERINPUTNVPROC, glFinalCombinerInputNV, c.NV_register_combiners)                                    \
  E(PFNGLGETCOMBINERINPUTPARAMETERFVNVPROC, glGetCombinerInputParameterfvNV, c.NV_register_combiners)                  \
  E(PFNGLGETCOMBINERINPUTPARAMETERIVNVPROC, glGetCombinerInputParameterivNV, c.NV_register_combiners)                  \
  E(PFNGLGETCOMBINEROUTPUTPARAMETERFVNVPROC, glGetCombinerOutputParameterfvNV, c.NV_register_combiners)                \
  E(PFNGLGETCOMBINEROUTPUTPARAMETERIVNVPROC, glGetCombinerOutputParameterivNV, c.NV_register_combiners)                \
  E(PFNGLGETFINALCOMBINERINPUTPARAMETERFVNVPROC, glGetFinalCombinerInputParameterfvNV, c.NV_register_combiners)        \
  E(PFNGLGETFINALCOMBINERINPUTPARAMETERIVNVPROC, glGetFinalCombinerInputParameterivNV, c.NV_register_combiners)        \
  /* NV fence, NV occlusion query */                                                                                   \
  E(PFNGLGENFENCESNVPROC, glGenFencesNV, c.NV_fence)                                                                   \
  E(PFNGLDELETEFENCESNVPROC, glDeleteFencesNV, c.NV_fence)                                                             \
  E(PFNGLSETFENCENVPROC, glSetFenceNV, c.NV_fence)                                                                     \
  E(PFNGLTESTFENCENVPROC, glTestFenceNV, c.NV_fence)                                                                   \
  E(PFNGLFINISHFENCENVPROC, glFinishFenceNV, c.NV_fence)                                                               \
  E(PFNGLISFENCENVPROC, glIsFenceNV, c.NV_fence)                                                                       \
  E(PFNGLGETFENCEIVNVPROC, glGetFenceivNV, c.NV_fence)                                                                 \
  E(PFNGLGENOCCLUSIONQUERIESNVPROC, glGenOcclusionQueriesNV, c.NV_occlusion_query)                                     \
  E(PFNGLDELETEOCCLUSIONQUERIESNVPROC, glDeleteOcclusionQueriesNV, c.NV_occlusion_query)                               \
  E(PFNGLISOCCLUSIONQUERYNVPROC, glIsOcclusionQueryNV, c.NV_occlusion_query)                                           \
  E(PFNGLBEGINOCCLUSIONQUERYNVPROC, glBeginOcclusionQueryNV, c.NV_occlusion_query)                                     \
  E(PFNGLENDOCCLUSIONQUERYNVPROC, glEndOcclusionQueryNV, c.NV_occlusion_query)                                         \
  E(PFNGLGETOCCLUSIONQUERYIVNVPROC, glGetOcclusionQueryivNV, c.NV_occlusion_query)                                     \
  E(PFNGLGETOCCLUSIONQUERYUIVNVPROC, glGetOcclusionQueryuivNV, c.NV_occlusion_query)                                   \
  /* single extensions */                                                                                              \
  E(PFNGLRESIZEBUFFERSMESAPROC, glResizeBuffersMESA, c.MESA_resize_buffers)                                            \
  E(PFNGLTBUFFERMASK3DFXPROC, glTbufferMask3DFX, c._3DFX_tbuffer)                                                      \
  E(PFNGLSAMPLEMASKEXTPROC, glSampleMaskEXT, c.EXT_multisample)                                                        \
  E(PFNGLSAMPLEPATTERNEXTPROC, glSamplePatternEXT, c.EXT_multisample)                                                  \
  E(PFNGLTEXTURECOLORMASKSGISPROC, glTextureColorMaskSGIS, c.SGIS_texture_color_mask)                                  \
  /* GLU NURBS tessellator (read from the GLU library) */                                                              \
  U(decltype(&::gluNurbsCallbackDataEXT), gluNurbsCallbackDataEXT, c.Glu_EXT_nurbs_tessellator)                        \
  U(PFN_gluNewNurbsTessellatorEXT, gluNewNurbsTessellatorEXT, c.Glu_EXT_nurbs_tessellator)                             \
  U(PFN_gluDeleteNurbsTessellatorEXT, gluDeleteNurbsTessellatorEXT, c.Glu_EXT_nurbs_tessellator)                       \
  /* NV vertex program */                                                                                              \
  E(PFNGLAREPROGRAMSRESIDENTNVPROC, glAreProgramsResidentNV, c.NV_vertex_program)                                      \
  E(PFNGLBINDPROGRAMNVPROC, glBindProgramNV, c.NV_vertex_program)                                                      \
  E(PFNGLDELETEPROGRAMSNVPROC, glDeleteProgramsNV, c.NV_vertex_program)                                                \
  E(PFNGLEXECUTEPROGRAMNVPROC, glExecuteProgramNV, c.NV_vertex_program)                                                \
  E(PFNGLGENPROGRAMSNVPROC, glGenProgramsNV, c.NV_vertex_program)                                                      \
  E(PFNGLGETPROGRAMPARAMETERDVNVPROC, glGetProgramParameterdvNV, c.NV_vertex_program)                                  \
  E(PFNGLGETPROGRAMPARAMETERFVNVPROC, glGetProgramParameterfvNV, c.NV_vertex_program)                                  \
  E(PFNGLGETPROGRAMIVNVPROC, glGetProgramivNV, c.NV_vertex_program)                                                    \
  E(PFNGLGETPROGRAMSTRINGNVPROC, glGetProgramStringNV, c.NV_vertex_program)                                            \
  E(PFNGLGETTRACKMATRIXIVNVPROC, glGetTrackMatrixivNV, c.NV_vertex_program)                                            \
  E(PFNGLGETVERTEXATTRIBDVNVPROC, glGetVertexAttribdvNV, c.NV_vertex_program)                                          \
  E(PFNGLGETVERTEXATTRIBFVNVPROC, glGetVertexAttribfvNV, c.NV_vertex_program)                                          \
  E(PFNGLGETVERTEXATTRIBIVNVPROC, glGetVertexAttribivNV, c.NV_vertex_program)                                          \
  E(PFNGLGETVERTEXATTRIBPOINTERVNVPROC, glGetVertexAttribPointervNV, c.NV_vertex_program)                              \
  E(PFNGLISPROGRAMNVPROC, glIsProgramNV, c.NV_vertex_program)                                                          \
  E(PFNGLLOADPROGRAMNVPROC, glLoadProgramNV, c.NV_vertex_program)                                                      \
  E(PFNGLPROGRAMPARAMETER4DNVPROC, glProgramParameter4dNV, c.NV_vertex_program)                                        \
  E(PFNGLPROGRAMPARAMETER4DVNVPROC, glProgramParameter4dvNV, c.NV_vertex_program)                                      \
  E(PFNGLPROGRAMPARAMETER4FNVPROC, glProgramParameter4fNV, c.NV_vertex_program)                                        \
  E(PFNGLPROGRAMPARAMETER4FVNVPROC, glProgramParameter4fvNV, c.NV_vertex_program)                                      \
  E(PFNGLPROGRAMPARAMETERS4DVNVPROC, glProgramParameters4dvNV, c.NV_vertex_program)                                    \
  E(PFNGLPROGRAMPARAMETERS4FVNVPROC, glProgramParameters4fvNV, c.NV_vertex_program)                                    \
  E(PFNGLREQUESTRESIDENTPROGRAMSNVPROC, glRequestResidentProgramsNV, c.NV_vertex_program)                              \
  E(PFNGLTRACKMATRIXNVPROC, glTrackMatrixNV, c.NV_vertex_program)                                                      \
  E(PFNGLVERTEXATTRIBPOINTERNVPROC, glVertexAttribPointerNV, c.NV_vertex_program)                                      \
  E(PFNGLVERTEXATTRIB1DNVPROC, glVertexAttrib1dNV, c.NV_vertex_program)                                                \
  E(PFNGLVERTEXATTRIB1DVNVPROC, glVertexAttrib1dvNV, c.NV_vertex_program)                                              \
  E(PFNGLVERTEXATTRIB1FNVPROC, glVertexAttrib1fNV, c.NV_vertex_program)                                                \
  E(PFNGLVERTEXATTRIB1FVNVPROC, glVertexAttrib1fvNV, c.NV_vertex_program)                                              \
  E(PFNGLVERTEXATTRIB1SNVPROC, glVertexAttrib1sNV, c.NV_vertex_program)                                                \
  E(PFNGLVERTEXATTRIB1SVNVPROC, glVertexAttrib1svNV, c.NV_vertex_program)                                              \
  E(PFNGLVERTEXATTRIB2DNVPROC, glVertexAttrib2dNV, c.NV_vertex_program)                                                \
  E(PFNGLVERTEXATTRIB2DVNVPROC, glVertexAttrib2dvNV, c.NV_vertex_program)                                              \
  E(PFNGLVERTEXATTRIB2FNVPROC, glVertexAttrib2fNV, c.NV_vertex_program)                                                \
  E(PFNGLVERTEXATTRIB2FVNVPROC, glVertexAttrib2fvNV, c.NV_vertex_program)                                              \
  E(PFNGLVERTEXATTRIB2SNVPROC, glVertexAttrib2sNV, c.NV_vertex_program)                                                \
  E(PFNGLVERTEXATTRIB2SVNVPROC, glVertexAttrib2svNV, c.NV_vertex_program)                                              \
  E(PFNGLVERTEXATTRIB3DNVPROC, glVertexAttrib3dNV, c.NV_vertex_program)                                                \
  E(PFNGLVERTEXATTRIB3DVNVPROC, glVertexAttrib3dvNV, c.NV_vertex_program)                                              \
  E(PFNGLVERTEXATTRIB3FNVPROC, glVertexAttrib3fNV, c.NV_vertex_program)                                                \
  E(PFNGLVERTEXATTRIB3FVNVPROC, glVertexAttrib3fvNV, c.NV_vertex_program)                                              \
  E(PFNGLVERTEXATTRIB3SNVPROC, glVertexAttrib3sNV, c.NV_vertex_program)                                                \
  E(PFNGLVERTEXATTRIB3SVNVPROC, glVertexAttrib3svNV, c.NV_vertex_program)                                              \
  E(PFNGLVERTEXATTRIB4DNVPROC, glVertexAttrib4dNV, c.NV_vertex_program)                                                \
  E(PFNGLVERTEXATTRIB4DVNVPROC, glVertexAttrib4dvNV, c.NV_vertex_program)                                              \
  E(PFNGLVERTEXATTRIB4FNVPROC, glVertexAttrib4fNV, c.NV_vertex_program)                                                \
  E(PFNGLVERTEXATTRIB4FVNVPROC, glVertexAttrib4fvNV, c.NV_vertex_program)                                              \
  E(PFNGLVERTEXATTRIB4SNVPROC, glVertexAttrib4sNV, c.NV_vertex_program)                                                \
  E(PFNGLVERTEXATTRIB4SVNVPROC, glVertexAttrib4svNV, c.NV_vertex_program)                                              \
  E(PFNGLVERTEXATTRIB4UBVNVPROC, glVertexAttrib4ubvNV, c.NV_vertex_program)                                            \
  E(PFNGLVERTEXATTRIBS1DVNVPROC, glVertexAttribs1dvNV, c.NV_vertex_program)                                            \
  E(PFNGLVERTEXATTRIBS1FVNVPROC, glVertexAttribs1fvNV, c.NV_vertex_program)                                            \
  E(PFNGLVERTEXATTRIBS1SVNVPROC, glVertexAttribs1svNV, c.NV_vertex_program)                                            \
  E(PFNGLVERTEXATTRIBS2DVNVPROC, glVertexAttribs2dvNV, c.NV_vertex_program)                                            \
  E(PFNGLVERTEXATTRIBS2FVNVPROC, glVertexAttribs2fvNV, c.NV_vertex_program)                                            \
  E(PFNGLVERTEXATTRIBS2SVNVPROC, glVertexAttribs2svNV, c.NV_vertex_program)                                            \
  E(PFNGLVERTEXATTRIBS3DVNVPROC, glVertexAttribs3dvNV, c.NV_vertex_program)                                            \
  E(PFNGLVERTEXATTRIBS3FVNVPROC, glVertexAttribs3fvNV, c.NV_vertex_program)                                            \
  E(PFNGLVERTEXATTRIBS3SVNVPROC, glVertexAttribs3svNV, c.NV_vertex_program)                                            \
  E(PFNGLVERTEXATTRIBS4DVNVPROC, glVertexAttribs4dvNV, c.NV_vertex_program)                                            \
  E(PFNGLVERTEXATTRIBS4FVNVPROC, glVertexAttribs4fvNV, c.NV_vertex_program)                                            \
  E(PFNGLVERTEXATTRIBS4SVNVPROC, glVertexAttribs4svNV, c.NV_vertex_program)                                            \
  E(PFNGLVERTEXATTRIBS4UBVNVPROC, glVertexAttribs4ubvNV, c.NV_vertex_program)                                          \
  /* ATI draw buffers */                                                                                               \
  E(PFNGLDRAWBUFFERSATIPROC, glDrawBuffersATI, c.ATI_draw_buffers)

// The window-system list (GLX where an equivalent of the original list exists,
// plus the GLX calls that detection needs), fetched by LoadWGLExtensionEntryPoints:
//   G(type, name, requirement); `glx.Offers("...")` is a whole-word test of the GLX extension string.
#define OPENGL1X_GLX_ENTRIES(G)                                                              \
  G(PFN_glXQueryExtensionsString, glXQueryExtensionsString, true)                            \
  G(PFN_glXGetFBConfigAttrib, glXGetFBConfigAttrib, c.WGL_ARB_pixel_format)                  \
  G(PFN_glXChooseFBConfig, glXChooseFBConfig, c.WGL_ARB_pixel_format)                        \
  G(PFN_glXCreatePbuffer, glXCreatePbuffer, c.WGL_ARB_pbuffer)                               \
  G(PFN_glXDestroyPbuffer, glXDestroyPbuffer, c.WGL_ARB_pbuffer)                             \
  G(PFN_glXQueryDrawable, glXQueryDrawable, c.WGL_ARB_pbuffer)                               \
  G(PFN_glXSwapIntervalMESA, glXSwapIntervalMESA, glx.Offers("GLX_MESA_swap_control"))       \
  G(PFN_glXGetSwapIntervalMESA, glXGetSwapIntervalMESA, glx.Offers("GLX_MESA_swap_control")) \
  G(PFN_glXSwapIntervalEXT, glXSwapIntervalEXT, glx.Offers("GLX_EXT_swap_control"))          \
  G(PFN_glXSwapIntervalSGI, glXSwapIntervalSGI, glx.Offers("GLX_SGI_swap_control"))          \
  G(PFN_glXGetCurrentDrawable, glXGetCurrentDrawable, true)                                  \
  G(PFN_glXGetCurrentDisplay, glXGetCurrentDisplay, true)                                    \
  G(PFN_glXQueryVersion, glXQueryVersion, true)                                              \
  G(PFN_glXGetCurrentContext, glXGetCurrentContext, true)                                    \
  G(PFN_glXQueryContext, glXQueryContext, c.WGL_ARB_pixel_format)

// Extension literals tested against the GL extension string, in this order:
//   F(flag, "literal"). The literals are kept exactly, blanks included.
#define OPENGL1X_GL_EXTENSION_FLAGS(F)                                   \
  F(_3DFX_multisample, "GL_3DFX_multisample")                            \
  F(_3DFX_tbuffer, "GL_3DFX_tbuffer")                                    \
  F(_3DFX_texture_compression_FXT1, "GL_3DFX_texture_compression_FXT1")  \
  F(ARB_imaging, "GL_ARB_imaging")                                       \
  F(ARB_multisample, " GL_ARB_multisample")                              \
  F(ARB_multitexture, "GL_ARB_multitexture")                             \
  F(ARB_depth_texture, "GL_ARB_depth_texture")                           \
  F(ARB_shadow, "GL_ARB_shadow")                                         \
  F(ARB_texture_border_clamp, "GL_ARB_texture_border_clamp")             \
  F(ARB_texture_compression, "GL_ARB_texture_compression")               \
  F(ARB_texture_cube_map, "GL_ARB_texture_cube_map")                     \
  F(ARB_transpose_matrix, "GL_ARB_transpose_matrix")                     \
  F(ARB_vertex_blend, "GL_ARB_vertex_blend")                             \
  F(ARB_point_parameters, "GL_ARB_point_parameters")                     \
  F(ARB_texture_env_combine, "GL_ARB_texture_env_combine")               \
  F(ARB_texture_env_crossbar, "GL_ARB_texture_env_crossbar")             \
  F(ARB_texture_env_dot3, "GL_ARB_texture_env_dot3")                     \
  F(ARB_vertex_program, "GL_ARB_vertex_program")                         \
  F(ARB_vertex_buffer_object, "GL_ARB_vertex_buffer_object")             \
  F(ARB_shader_objects, "GL_ARB_shader_objects")                         \
  F(ARB_vertex_shader, "GL_ARB_vertex_shader")                           \
  F(ARB_fragment_shader, "GL_ARB_fragment_shader")                       \
  F(ARB_fragment_program, "GL_ARB_fragment_program")                     \
  F(EXT_abgr, "GL_EXT_abgr")                                             \
  F(EXT_bgra, "GL_EXT_bgra")                                             \
  F(EXT_blend_color, "GL_EXT_blend_color")                               \
  F(EXT_blend_func_separate, "GL_EXT_blend_func_separate")               \
  F(EXT_blend_logic_op, "GL_EXT_blend_logic_op")                         \
  F(EXT_blend_minmax, "GL_EXT_blend_minmax")                             \
  F(EXT_blend_subtract, "GL_EXT_blend_subtract")                         \
  F(EXT_Cg_shader, "GL_EXT_Cg_shader")                                   \
  F(EXT_compiled_vertex_array, "GL_EXT_compiled_vertex_array")           \
  F(EXT_copy_texture, "GL_EXT_copy_texture")                             \
  F(EXT_draw_range_elements, "GL_EXT_draw_range_elements")               \
  F(EXT_fog_coord, "GL_EXT_fog_coord")                                   \
  F(EXT_multi_draw_arrays, "GL_EXT_multi_draw_arrays")                   \
  F(EXT_multisample, "GL_EXT_multisample")                               \
  F(EXT_packed_pixels, "GL_EXT_packed_pixels")                           \
  F(EXT_paletted_texture, "GL_EXT_paletted_texture")                     \
  F(EXT_polygon_offset, "GL_EXT_polygon_offset")                         \
  F(EXT_rescale_normal, "GL_EXT_rescale_normal")                         \
  F(EXT_secondary_color, "GL_EXT_secondary_color")                       \
  F(EXT_separate_specular_color, "GL_EXT_separate_specular_color")       \
  F(EXT_shared_texture_palette, "GL_EXT_shared_texture_palette")         \
  F(EXT_stencil_wrap, "GL_EXT_stencil_wrap")                             \
  F(EXT_stencil_two_side, "EXT_stencil_two_side")                        \
  F(EXT_texture_compression_s3tc, "GL_EXT_texture_compression_s3tc")     \
  F(EXT_texture_cube_map, "GL_EXT_texture_cube_map")                     \
  F(EXT_texture_edge_clamp, "GL_EXT_texture_edge_clamp")                 \
  F(EXT_texture_env_add, "GL_EXT_texture_env_add")                       \
  F(EXT_texture_env_combine, "GL_EXT_texture_env_combine")               \
  F(EXT_texture_filter_anisotropic, "GL_EXT_texture_filter_anisotropic") \
  F(EXT_texture_lod_bias, "GL_EXT_texture_lod_bias")                     \
  F(EXT_texture_object, "GL_EXT_texture_object")                         \
  F(EXT_texture3D, "GL_EXT_texture3D")                                   \
  F(EXT_clip_volume_hint, "GL_EXT_clip_volume_hint")                     \
  F(HP_occlusion_test, "GL_HP_occlusion_test")                           \
  F(IBM_rasterpos_clip, "GL_IBM_rasterpos_clip")                         \
  F(KTX_buffer_region, "GL_KTX_buffer_region")                           \
  F(MESA_resize_buffers, "GL_MESA_resize_buffers")                       \
  F(NV_blend_square, "GL_NV_blend_square")                               \
  F(NV_fog_distance, "GL_NV_fog_distance")                               \
  F(NV_light_max_exponent, "GL_NV_light_max_exponent")                   \
  F(NV_register_combiners, "GL_NV_register_combiners")                   \
  F(NV_texgen_reflection, "GL_NV_texgen_reflection")                     \
  F(NV_texture_env_combine4, "GL_NV_texture_env_combine4")               \
  F(NV_vertex_array_range, "GL_NV_vertex_array_range")                   \
  F(NV_multisample_filter_hint, "GL_NV_multisample_filter_hint")         \
  F(NV_vertex_program, "GL_NV_vertex_program")                           \
  F(NV_fence, "GL_NV_fence")                                             \
  F(NV_occlusion_query, "GL_NV_occlusion_query")                         \
  F(NV_texture_rectangle, "GL_NV_texture_rectangle")                     \
  F(ATI_texture_float, "GL_ATI_texture_float")                           \
  F(ATI_draw_buffers, "GL_ATI_draw_buffers")                             \
  F(SGI_color_matrix, "GL_SGI_color_matrix")                             \
  F(SGIS_generate_mipmap, "GL_SGIS_generate_mipmap")                     \
  F(SGIS_multisample, "GL_SGIS_multisample")                             \
  F(SGIS_texture_border_clamp, "GL_SGIS_texture_border_clamp")           \
  F(SGIS_texture_color_mask, "GL_SGIS_texture_color_mask")               \
  F(SGIS_texture_edge_clamp, "GL_SGIS_texture_edge_clamp")               \
  F(SGIS_texture_lod, "GL_SGIS_texture_lod")                             \
  F(SGIX_depth_texture, "GL_SGIX_depth_texture")                         \
  F(SGIX_shadow, "GL_SGIX_shadow")                                       \
  F(SGIX_shadow_ambient, "GL_SGIX_shadow_ambient")                       \
  F(WIN_swap_hint, "GL_WIN_swap_hint")                                   \
  F(WGL_ARB_extensions_string, "WGL_ARB_extensions_string")

// Literals tested against the GLU extension string: F(flag, "literal").
#define OPENGL1X_GLU_EXTENSION_FLAGS(F)                     \
  F(Glu_EXT_TEXTURE, "GLU_EXT_TEXTURE")                     \
  F(Glu_EXT_object_space_tess, "GLU_EXT_object_space_tess") \
  F(Glu_EXT_nurbs_tessellator, "GLU_EXT_nurbs_tessellator")

// Window-system flags, in this order: W(flag, "literal", rule), where the rule
// says what sets the flag on GLX (`glx.Has("...")` tests the GLX extension
// string, `glx.Offers("...")` the same as a whole word, `glx.Version13` is GLX 1.3 or later, `glx.Read` that the string could
// be read). D(...) is the same for a flag declared by the GL list.
#define OPENGL1X_WGL_EXTENSION_FLAGS(W, D)                                                                           \
  W(WGL_ARB_multisample, "WGL_ARB_multisample", glx.Has("GLX_ARB_multisample"))                                      \
  W(WGL_EXT_swap_control, "WGL_EXT_swap_control",                                                                    \
    glx.Offers("GLX_EXT_swap_control") || glx.Offers("GLX_MESA_swap_control") || glx.Offers("GLX_SGI_swap_control")) \
  W(WGL_ARB_buffer_region, "WGL_ARB_buffer_region", false)                                                           \
  D(WGL_ARB_extensions_string, "WGL_ARB_extensions_string", glx.Read)                                                \
  W(WGL_ARB_pbuffer, "WGL_ARB_pbuffer ", glx.Version13)                                                              \
  W(WGL_ARB_pixel_format, "WGL_ARB_pixel_format", glx.Version13)                                                     \
  W(WGL_ATI_pixel_format_float, "WGL_ATI_pixel_format_float", glx.Has("GLX_ARB_fbconfig_float"))

// clang-format on

// ---------------------------------------------------------------------------

// The entry-point table. A default-constructed table is the linked state: core
// GL and GLU bound, every later entry point null.
struct TGLEntryPoints {
#define OPENGL1X_DECLARE_LINKED(name) decltype(&::name) name = &::name;
  OPENGL1X_CORE_ENTRIES(OPENGL1X_DECLARE_LINKED)
  OPENGL1X_GLU_ENTRIES(OPENGL1X_DECLARE_LINKED)
#undef OPENGL1X_DECLARE_LINKED
#define OPENGL1X_DECLARE_FETCHED(type, name, requirement) type name = nullptr;
#define OPENGL1X_DECLARE_NOTHING(name)
  OPENGL1X_GL_EXTENSION_ENTRIES(OPENGL1X_DECLARE_FETCHED, OPENGL1X_DECLARE_NOTHING, OPENGL1X_DECLARE_FETCHED)
  OPENGL1X_GLX_ENTRIES(OPENGL1X_DECLARE_FETCHED)
#undef OPENGL1X_DECLARE_FETCHED
#undef OPENGL1X_DECLARE_NOTHING
};

extern TGLEntryPoints GL;

// Version and extension flags, all false until the first detection.
struct TGLCapabilities {
  bool Version_1_0 = false, Version_1_1 = false, Version_1_2 = false;
  bool Version_1_3 = false, Version_1_4 = false, Version_1_5 = false;
  bool GLUVersion_1_1 = false, GLUVersion_1_2 = false, GLUVersion_1_3 = false;
#define OPENGL1X_DECLARE_FLAG(flag, literal, ...) bool flag = false;
#define OPENGL1X_DECLARE_NO_FLAG(flag, literal, rule)
  OPENGL1X_GL_EXTENSION_FLAGS(OPENGL1X_DECLARE_FLAG)
  OPENGL1X_GLU_EXTENSION_FLAGS(OPENGL1X_DECLARE_FLAG)
  OPENGL1X_WGL_EXTENSION_FLAGS(OPENGL1X_DECLARE_FLAG, OPENGL1X_DECLARE_NO_FLAG)
#undef OPENGL1X_DECLARE_FLAG
#undef OPENGL1X_DECLARE_NO_FLAG
};

extern TGLCapabilities GLCaps;

// Number of fetches made by LoadGLExtensionEntryPoints and LoadWGLExtensionEntryPoints.
extern const int GLExtensionEntryPointCount;  // 363
extern const int WGLExtensionEntryPointCount;

// Resolves an entry-point name in the current context; null when unknown.
using TGLProcLoader = std::function<void*(const char* name)>;

// Libraries. The names default to the system's GL and GLU libraries.
bool EnsureOpenGLLibrariesLoaded();
bool LoadOpenGLLibraries(const std::string& glName, const std::string& gluName);
void CloseOpenGLLibraries();
// True when the loaded GL library exports "glResizeBuffersMESA".
bool OpenGLLibraryIsMesa();

// Fetch the GL list (then the window-system list) / only the window-system list.
void LoadGLExtensionEntryPoints(const TGLProcLoader& loader);
void LoadWGLExtensionEntryPoints(const TGLProcLoader& loader);

// Set the flags from the current context, then null the absent entry points.
// DetectGLVersionAndExtensions ends with DetectWGLExtensions. Need a current context.
void DetectGLVersionAndExtensions();
void DetectWGLExtensions();

// The re-read made on each activation of a context: nothing when formatKey is
// the last one seen; otherwise everything when the GL vendor or the extension
// string differs from the last ones seen (the first time always), else only the
// window-system side. formatKey identifies the drawable's pixel format (or the
// context) and is never 0.
void ReadEntryPointsOnActivation(int formatKey, const TGLProcLoader& loader);
// Forgets the last format and vendor, so the next activation reads everything.
void ForgetLastSeenImplementation();

// Swap interval of the current drawable, through whichever swap-control
// extension the driver offers (EXT, MESA, then SGI). GetSwapInterval is -1
// when none can tell (SGI has no query: the last interval set through it).
// SetSwapInterval is false when no extension can set that interval (SGI
// refuses 0). Need a current context.
int GetSwapInterval();
bool SetSwapInterval(int interval);

// Major and minor out of a driver's version text; 0.0 when malformed.
void SplitVersionString(const std::string& version, int& major, int& minor);

// Whole-word test (first occurrence only, followed by a blank or the end).
bool HasGLExtension(const std::string& name, const std::string& extensions);
// Plain substring test.
bool HasWGLExtension(const std::string& name, const std::string& extensions);

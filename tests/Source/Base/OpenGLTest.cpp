// Entry-point table, version parsing and extension detection, without a context.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Source/Base/GLRecorder.h"
#include "Source/Base/OpenGL1x.h"

namespace {

struct TVersionCase {
  const char* Text;
  int Major, Minor;
};

TEST(OpenGL1x, SplitVersionStringTakesTheDigitRunsAroundTheFirstDot) {
  const TVersionCase cases[] = {
      {"1.5.2 Vendor", 1, 5},
      {"4.5 (Compatibility Profile) Mesa 22.3.6", 4, 5},
      {" 1.2", 1, 2},
      {"10.2", 10, 2},
      {"Version 2.1a", 2, 1},
      {"abc", 0, 0},
      {".5", 0, 0},
      {"1.", 0, 0},
      {"1.x", 0, 0},
      {"x.1", 0, 0},
      {"", 0, 0},
      {"99999999999999999999.1", 0, 0},  // does not fit: malformed, not garbage
  };
  for (const auto& c : cases) {
    int major = -1, minor = -1;
    SplitVersionString(c.Text, major, minor);
    EXPECT_EQ(major, c.Major) << c.Text;
    EXPECT_EQ(minor, c.Minor) << c.Text;
  }
}

TEST(OpenGL1x, ExtensionTestsKeepTheirMatchingRules) {
  // Whole word, first occurrence only; the character before is not examined.
  EXPECT_TRUE(HasGLExtension("GL_EXT_texture3D", "GL_EXT_texture3D GL_EXT_texture_object"));
  EXPECT_TRUE(HasGLExtension("GL_EXT_texture_object", "GL_EXT_texture3D GL_EXT_texture_object"));
  EXPECT_FALSE(HasGLExtension("GL_EXT_texture3D", "GL_EXT_texture3Dx GL_EXT_texture3D"));
  EXPECT_FALSE(HasGLExtension(" GL_ARB_multisample", "GL_ARB_multisample GL_ARB_multitexture"));
  EXPECT_TRUE(HasGLExtension(" GL_ARB_multisample", "GL_A GL_ARB_multisample"));
  EXPECT_TRUE(HasGLExtension("EXT_stencil_two_side", "GL_EXT_stencil_two_side GL_X"));
  EXPECT_FALSE(HasGLExtension("GL_X", ""));
  // Plain substring.
  EXPECT_FALSE(HasWGLExtension("WGL_ARB_pbuffer ", "WGL_ARB_pixel_format WGL_ARB_pbuffer"));
  EXPECT_TRUE(HasWGLExtension("WGL_ARB_pbuffer ", "WGL_ARB_pbuffer WGL_ARB_pixel_format"));
  EXPECT_TRUE(HasWGLExtension("WGL_ARB_multi", "WGL_ARB_multisample"));
}

// A recorder that plays a context with the given strings.
struct TFakeImplementation : TGLRecorder {
  explicit TFakeImplementation(const std::string& version, const std::string& extensions = "",
                               const std::string& gluVersion = "1.3", const std::string& gluExtensions = "") {
    Strings[GL_VERSION] = version;
    Strings[GL_EXTENSIONS] = extensions;
    Strings[GL_VENDOR] = "Vendor A";
    GluStrings[GLU_VERSION] = gluVersion;
    GluStrings[GLU_EXTENSIONS] = gluExtensions;
  }
  void LoadAndDetect() {
    LoadGLExtensionEntryPoints(Loader());
    DetectGLVersionAndExtensions();
  }
};

TEST(OpenGL1x, VersionFlagsFollowMajorAndMinor) {
  struct {
    const char* Version;
    bool Flags[6];
  } const cases[] = {
      {"1.1", {true, true, false, false, false, false}},
      {"1.5.0 Vendor", {true, true, true, true, true, true}},
      {"2.0.1", {true, true, true, true, true, true}},
      {"garbage", {true, false, false, false, false, false}},
  };
  for (const auto& c : cases) {
    TFakeImplementation fake(c.Version);
    DetectGLVersionAndExtensions();
    const bool got[6] = {GLCaps.Version_1_0, GLCaps.Version_1_1, GLCaps.Version_1_2,
                         GLCaps.Version_1_3, GLCaps.Version_1_4, GLCaps.Version_1_5};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(got[i], c.Flags[i]) << c.Version << " flag 1." << i;
  }
  {
    TFakeImplementation fake("1.1", "", "1.2.2");
    DetectGLVersionAndExtensions();
    EXPECT_TRUE(GLCaps.GLUVersion_1_1);
    EXPECT_TRUE(GLCaps.GLUVersion_1_2);
    EXPECT_FALSE(GLCaps.GLUVersion_1_3);
  }
}

TEST(OpenGL1x, FlagsFromAMesaLikeExtensionString) {
  // Mesa lists GL_ARB_multisample first, and GL_EXT_polygon_offset_clamp before
  // GL_EXT_polygon_offset: the literal rules make both flags false.
  TFakeImplementation fake("4.5 (Compatibility Profile) Mesa",
                           "GL_ARB_multisample GL_EXT_abgr GL_ARB_multitexture "
                           "GL_EXT_polygon_offset_clamp GL_EXT_polygon_offset GL_SGIS_generate_mipmap "
                           "GL_EXT_stencil_two_side",
                           "1.3", "GLU_EXT_nurbs_tessellator GLU_EXT_object_space_tess");
  DetectGLVersionAndExtensions();
  EXPECT_FALSE(GLCaps.ARB_multisample);
  EXPECT_FALSE(GLCaps.EXT_polygon_offset);
  EXPECT_TRUE(GLCaps.ARB_multitexture);
  EXPECT_TRUE(GLCaps.SGIS_generate_mipmap);
  EXPECT_TRUE(GLCaps.EXT_abgr);
  EXPECT_TRUE(GLCaps.EXT_stencil_two_side);
  EXPECT_FALSE(GLCaps.EXT_texture3D);
  EXPECT_TRUE(GLCaps.Glu_EXT_nurbs_tessellator);
  EXPECT_TRUE(GLCaps.Glu_EXT_object_space_tess);
  EXPECT_FALSE(GLCaps.Glu_EXT_TEXTURE);
}

TEST(OpenGL1x, AbsentEntryPointsReadAsNullAlthoughTheLoaderAnswersEveryName) {
  {
    TFakeImplementation fake("1.1", "GL_ARB_multitexture GL_EXT_compiled_vertex_array");
    fake.LoadAndDetect();
    EXPECT_NE(GL.glActiveTextureARB, nullptr);
    EXPECT_NE(GL.glMultiTexCoord2fARB, nullptr);
    EXPECT_NE(GL.glLockArraysEXT, nullptr);
    EXPECT_EQ(GL.glDrawRangeElements, nullptr);   // needs 1.2
    EXPECT_EQ(GL.glPointParameterfARB, nullptr);  // extension absent
    EXPECT_EQ(GL.glSamplePassARB, nullptr);       // exists nowhere
    EXPECT_EQ(GL.glXAllocateMemoryNV, nullptr);   // NV vertex array range absent
    EXPECT_NE(GL.glEnable, nullptr);              // the core is never dropped
  }
  {
    // The ARB multisample entry point is decided by a real word test, even
    // though the quirky flag stays false for a first word.
    TFakeImplementation fake("1.2", "GL_ARB_multisample GL_EXT_texture3D");
    fake.LoadAndDetect();
    EXPECT_NE(GL.glDrawRangeElements, nullptr);
    EXPECT_NE(GL.glTexImage3DEXT, nullptr);
    EXPECT_NE(GL.glSampleCoverageARB, nullptr);
    EXPECT_FALSE(GLCaps.ARB_multisample);
    EXPECT_EQ(GL.glActiveTextureARB, nullptr);
  }
}

TEST(OpenGL1x, TheGLUPartOfTheListComesFromTheGLULibrary) {
  TFakeImplementation fake("1.5", "", "1.3", "GLU_EXT_nurbs_tessellator");
  fake.LoadAndDetect();
  // Exported by the system GLU; the other two are not, whatever the loader says.
  EXPECT_NE(GL.gluNurbsCallbackDataEXT, nullptr);
  EXPECT_EQ(GL.gluNewNurbsTessellatorEXT, nullptr);
  EXPECT_EQ(GL.gluDeleteNurbsTessellatorEXT, nullptr);
}

TEST(OpenGL1x, LoadersAskForTheListsInTableOrder) {
  TFakeImplementation fake("1.5");
  std::vector<std::string> asked;
  const TGLProcLoader inner = fake.Loader();
  const TGLProcLoader loader = [&](const char* name) {
    asked.emplace_back(name);
    return inner(name);
  };
  LoadGLExtensionEntryPoints(loader);
  // The three GLU names are read from the GLU library, not through the loader.
  ASSERT_EQ(int(asked.size()), GLExtensionEntryPointCount - 3 + WGLExtensionEntryPointCount);
  EXPECT_EQ(GLExtensionEntryPointCount, 363);
  EXPECT_EQ(asked.front(), "glDrawRangeElements");
  EXPECT_EQ(asked[GLExtensionEntryPointCount - 4], "glDrawBuffersATI");
  EXPECT_EQ(asked[GLExtensionEntryPointCount - 3], "glXQueryExtensionsString");
  asked.clear();
  LoadWGLExtensionEntryPoints(loader);
  EXPECT_EQ(int(asked.size()), WGLExtensionEntryPointCount);
}

// Makes the fake answer a current GLX display of the given version.
void FakeGLXDisplay(TGLRecorder& rec, int major, int minor) {
  rec.Results["glXGetCurrentDisplay"] = [](const TGLCall&) { return std::uintptr_t(0x1000); };
  rec.Results["glXQueryVersion"] = [major, minor](const TGLCall& call) {
    *reinterpret_cast<int*>(std::uintptr_t(call.Args[1])) = major;
    *reinterpret_cast<int*>(std::uintptr_t(call.Args[2])) = minor;
    return std::uintptr_t(1);
  };
}

TEST(OpenGL1x, WindowSystemFlagsComeFromGLX) {
  {
    TFakeImplementation fake("1.5");
    FakeGLXDisplay(fake, 1, 4);
    fake.GLXExtensions = "GLX_ARB_multisample GLX_MESA_swap_control GLX_ARB_fbconfig_float";
    fake.LoadAndDetect();
    EXPECT_TRUE(GLCaps.WGL_ARB_multisample);
    EXPECT_TRUE(GLCaps.WGL_EXT_swap_control);
    EXPECT_TRUE(GLCaps.WGL_ARB_extensions_string);
    EXPECT_TRUE(GLCaps.WGL_ARB_pbuffer);
    EXPECT_TRUE(GLCaps.WGL_ARB_pixel_format);
    EXPECT_TRUE(GLCaps.WGL_ATI_pixel_format_float);
    EXPECT_FALSE(GLCaps.WGL_ARB_buffer_region);
    EXPECT_NE(GL.glXCreatePbuffer, nullptr);
    EXPECT_NE(GL.glXSwapIntervalMESA, nullptr);
  }
  {
    // GLX 1.2 without swap control: no pbuffers, no pixel-format queries.
    TFakeImplementation fake("1.5");
    FakeGLXDisplay(fake, 1, 2);
    fake.GLXExtensions = "GLX_EXT_visual_info";
    fake.LoadAndDetect();
    EXPECT_TRUE(GLCaps.WGL_ARB_extensions_string);
    EXPECT_FALSE(GLCaps.WGL_ARB_pbuffer);
    EXPECT_FALSE(GLCaps.WGL_ARB_pixel_format);
    EXPECT_FALSE(GLCaps.WGL_EXT_swap_control);
    EXPECT_EQ(GL.glXCreatePbuffer, nullptr);
    EXPECT_EQ(GL.glXChooseFBConfig, nullptr);
    EXPECT_EQ(GL.glXSwapIntervalMESA, nullptr);
    EXPECT_EQ(fake.Count("glXQueryContext"), 0);  // a GLX 1.3 call is not made on 1.2
  }
  {
    // No current GLX display (another window system): every flag false.
    TFakeImplementation fake("1.5", "WGL_ARB_extensions_string");
    fake.LoadAndDetect();
    EXPECT_FALSE(GLCaps.WGL_ARB_extensions_string);  // the GLX side is written last
    EXPECT_FALSE(GLCaps.WGL_ARB_pixel_format);
    EXPECT_EQ(fake.Count("glXQueryExtensionsString"), 0);
  }
}

TEST(OpenGL1x, SwapIntervalGoesThroughWhicheverSwapControlTheDriverOffers) {
  const struct {
    const char* Extension;
    const char* Setter;
  } cases[] = {{"GLX_EXT_swap_control", "glXSwapIntervalEXT"},
               {"GLX_MESA_swap_control", "glXSwapIntervalMESA"},
               {"GLX_SGI_swap_control", "glXSwapIntervalSGI"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Extension);
    TFakeImplementation fake("1.5");
    FakeGLXDisplay(fake, 1, 4);
    fake.Results["glXGetCurrentDrawable"] = [](const TGLCall&) { return std::uintptr_t(0x2000); };
    fake.GLXExtensions = std::string("GLX_ARB_multisample ") + c.Extension;
    fake.LoadAndDetect();
    EXPECT_TRUE(GLCaps.WGL_EXT_swap_control);
    fake.Clear();
    EXPECT_TRUE(SetSwapInterval(1));
    ASSERT_EQ(fake.Count(c.Setter), 1);
    EXPECT_EQ(fake.CallsTo(c.Setter)[0].Args.back(), 1);
    EXPECT_EQ(fake.Count("glXSwapIntervalEXT") + fake.Count("glXSwapIntervalMESA") + fake.Count("glXSwapIntervalSGI"),
              1);
  }
  {
    // The EXT interval is read from the current drawable; SGI cannot turn swapping sync off.
    TFakeImplementation fake("1.5");
    FakeGLXDisplay(fake, 1, 4);
    fake.Results["glXGetCurrentDrawable"] = [](const TGLCall&) { return std::uintptr_t(0x2000); };
    fake.GLXExtensions = "GLX_EXT_swap_control";
    fake.LoadAndDetect();
    fake.Clear();
    EXPECT_EQ(GetSwapInterval(), 0);
    ASSERT_EQ(fake.Count("glXQueryDrawable"), 1);
    EXPECT_EQ(fake.Calls.back().Args[1], 0x2000);
    EXPECT_EQ(fake.Calls.back().Args[2], 0x20F1);  // GLX_SWAP_INTERVAL_EXT
    fake.GLXExtensions = "GLX_SGI_swap_control";
    fake.LoadAndDetect();
    EXPECT_FALSE(SetSwapInterval(0));
    EXPECT_EQ(fake.Count("glXSwapIntervalSGI"), 0);
    fake.GLXExtensions = "GLX_EXT_swap_control_tear";  // another extension, not swap control
    fake.LoadAndDetect();
    EXPECT_FALSE(GLCaps.WGL_EXT_swap_control);
    EXPECT_EQ(GL.glXSwapIntervalEXT, nullptr);
    EXPECT_EQ(GetSwapInterval(), -1);
    EXPECT_FALSE(SetSwapInterval(1));
  }
}

TEST(OpenGL1x, ActivationRereadsOnlyWhatMayHaveChanged) {
  TFakeImplementation fake("1.5", "GL_ARB_multitexture");
  auto extensionReads = [&] {
    int n = 0;
    for (const auto& call : fake.CallsTo("glGetString")) n += GLenum(call.Args[0]) == GL_EXTENSIONS;
    return n;
  };
  ReadEntryPointsOnActivation(7, fake.Loader());
  EXPECT_EQ(extensionReads(), 2);  // compared, then detected
  EXPECT_TRUE(GLCaps.ARB_multitexture);

  fake.Clear();
  ReadEntryPointsOnActivation(7, fake.Loader());  // same format: nothing at all
  EXPECT_TRUE(fake.Calls.empty());

  fake.Clear();
  ReadEntryPointsOnActivation(8, fake.Loader());  // new format, same vendor: window-system side
  EXPECT_EQ(fake.Count("glXGetCurrentDisplay"), 1);
  EXPECT_EQ(fake.Count("glActiveTextureARB"), 0);
  EXPECT_EQ(fake.Count("glGetString"), 2);  // vendor and extensions compared, nothing detected
  EXPECT_EQ(fake.Count("gluGetString"), 0);

  fake.Clear();
  fake.Strings[GL_EXTENSIONS] = "GL_ARB_multitexture GL_EXT_texture3D";
  ReadEntryPointsOnActivation(10, fake.Loader());  // same vendor, other extensions: everything
  EXPECT_TRUE(GLCaps.EXT_texture3D);

  fake.Clear();
  fake.Strings[GL_VENDOR] = "Vendor B";
  fake.Strings[GL_EXTENSIONS] = "";
  ReadEntryPointsOnActivation(9, fake.Loader());  // new vendor: everything
  EXPECT_EQ(extensionReads(), 2);
  EXPECT_FALSE(GLCaps.ARB_multitexture);
  EXPECT_EQ(GL.glActiveTextureARB, nullptr);
}

TEST(OpenGL1x, LibrariesLoadByNameAndFailCleanly) {
  EXPECT_FALSE(LoadOpenGLLibraries("libDoesNotExist.so.9", "libGLU.so.1"));
  EXPECT_FALSE(OpenGLLibraryIsMesa());  // no handle is left behind
  EXPECT_TRUE(EnsureOpenGLLibrariesLoaded());
  EXPECT_TRUE(EnsureOpenGLLibrariesLoaded());
  EXPECT_TRUE(OpenGLLibraryIsMesa());
}

}  // namespace

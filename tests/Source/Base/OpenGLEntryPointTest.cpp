// Entry points that belong to more than one extension, or to an extension of
// their own, and version texts at the edges of what a driver may answer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Source/Base/GLRecorder.h"
#include "Source/Base/OpenGL1x.h"

namespace {

// The fetched entry point of the given name (null when dropped or unknown).
void* EntryPoint(const std::string& name) {
#define REVIEW_ENTRY(type, entry, requirement) \
  if (name == #entry) return reinterpret_cast<void*>(GL.entry);
#define REVIEW_NONE(entry)
  OPENGL1X_GL_EXTENSION_ENTRIES(REVIEW_ENTRY, REVIEW_NONE, REVIEW_ENTRY)
#undef REVIEW_ENTRY
#undef REVIEW_NONE
  ADD_FAILURE() << "no entry point " << name;
  return nullptr;
}

TEST(OpenGL1xEntryPoints, EachIsKeptOnlyWithAnExtensionThatDefinesIt) {
  struct {
    const char* Extensions;
    std::vector<std::string> Kept, Dropped;
  } const cases[] = {
      // Texture objects do not bring the colour sub-table call.
      {"GL_EXT_texture_object GL_EXT_paletted_texture",
       {"glBindTextureEXT", "glColorTableEXT"},
       {"glColorSubTableEXT"}},
      {"GL_EXT_color_subtable", {"glColorSubTableEXT"}, {"glBindTextureEXT"}},
      // The program-object calls are shared by the vertex and fragment program
      // extensions; the vertex attributes are not.
      {"GL_ARB_fragment_program",
       {"glProgramStringARB", "glBindProgramARB", "glGenProgramsARB", "glProgramLocalParameter4fvARB",
        "glGetProgramEnvParameterfvARB", "glGetProgramivARB", "glIsProgramARB"},
       {"glVertexAttrib4fARB", "glEnableVertexAttribArrayARB"}},
      {"GL_EXT_abgr", {}, {"glProgramStringARB", "glIsProgramARB"}},
  };
  for (const auto& c : cases) {
    TGLRecorder rec;
    rec.Strings[GL_VERSION] = "1.5";
    rec.Strings[GL_EXTENSIONS] = c.Extensions;
    rec.Strings[GL_VENDOR] = "Vendor";
    LoadGLExtensionEntryPoints(rec.Loader());
    DetectGLVersionAndExtensions();
    for (const auto& name : c.Kept) EXPECT_NE(EntryPoint(name), nullptr) << name << " with " << c.Extensions;
    for (const auto& name : c.Dropped) EXPECT_EQ(EntryPoint(name), nullptr) << name << " with " << c.Extensions;
  }
}

TEST(OpenGL1xEntryPoints, VersionTextsAtTheEdges) {
  struct {
    std::string Text;
    int Major, Minor;
  } const cases[] = {
      // The first dot is searched in the whole text, however long its prefix.
      {std::string(300, ' ') + "2.1 Vendor", 2, 1},
      {"Vendor " + std::string(260, 'x') + " 1.4.0", 1, 4},
      // Any digit run that fits an int converts; a larger one is malformed.
      {"2147483647.7", 2147483647, 7},
      {"0000000000001.0000000000002", 1, 2},
      {"2147483648.1", 0, 0},
      {"1.2147483648", 0, 0},
  };
  for (const auto& c : cases) {
    int major = -1, minor = -1;
    SplitVersionString(c.Text, major, minor);
    EXPECT_EQ(major, c.Major) << c.Text;
    EXPECT_EQ(minor, c.Minor) << c.Text;
  }
}

}  // namespace

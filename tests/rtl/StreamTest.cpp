// Tests of streams: memory and string streams, copying, file streams and their errors, and a
// handle stream over a pipe.
#include "rtl/Classes.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <unistd.h>

namespace {

// A scratch folder per test, removed afterwards.
struct StreamFiles : ::testing::Test {
  std::string dir;
  void SetUp() override {
    char tmpl[] = "/tmp/rtl-stream-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
  }
  void TearDown() override { std::system(("rm -rf '" + dir + "'").c_str()); }
  std::string Path(const char* name) const { return dir + "/" + name; }
};

// Shared behaviour of the in-memory streams.
template <class S>
void ExerciseMemoryStream(S& s) {
  const char data[] = "0123456789";
  s.WriteBuffer(data, 10);
  EXPECT_EQ(s.Position(), 10);
  EXPECT_EQ(s.Size(), 10);
  s.SetPosition(4);
  char buf[8] = {};
  EXPECT_EQ(s.Read(buf, 100), 6);  // Read gives what is there
  EXPECT_EQ(std::string(buf, 6), "456789");
  s.SetPosition(8);
  try {
    s.ReadBuffer(buf, 3);  // ReadBuffer refuses a short read
    FAIL() << "no exception";
  } catch (const EReadError& e) {
    EXPECT_EQ(e.Message(), "Stream read error");
  }
  EXPECT_THROW(s.ReadBuffer(buf, -1), EReadError);
  EXPECT_EQ(s.Read(buf, -5), 0);
  // Writing past the end extends with zeros; SetSize clamps the position.
  EXPECT_EQ(s.Seek(2, soEnd), 12);
  s.WriteBuffer("X", 1);
  EXPECT_EQ(s.Size(), 13);
  s.SetPosition(10);
  s.ReadBuffer(buf, 3);
  EXPECT_EQ(std::string(buf, 3), std::string("\0\0X", 3));
  s.SetSize(5);
  EXPECT_EQ(s.Position(), 5);
  EXPECT_EQ(s.Seek(-2, soCurrent), 3);
  EXPECT_THROW(s.SetSize(-1), EStreamError);
  EXPECT_THROW(s.Seek(std::numeric_limits<std::int64_t>::max(), soCurrent), EStreamError);
  s.SetPosition(-3);
  EXPECT_EQ(s.Read(buf, 1), 0);
  EXPECT_THROW(s.WriteBuffer("a", 1), EWriteError);
}

}  // namespace

TEST(Stream, MemoryAndStringStreamsReadWriteSeek) {
  TMemoryStream m;
  ExerciseMemoryStream(m);
  TStringStream s;
  ExerciseMemoryStream(s);
  EXPECT_EQ(s.Size(), 5);
  EXPECT_EQ(s.DataString(), "01234");

  TStringStream text("hello world");
  EXPECT_EQ(text.ReadString(5), "hello");
  EXPECT_EQ(text.ReadString(100), " world");
  EXPECT_EQ(text.ReadString(1), "");
  text.WriteString("!");
  EXPECT_EQ(text.DataString(), "hello world!");
}

TEST(Stream, CopyFromCopiesAllOrACountAndRefusesAShortSource) {
  TStringStream src("abcdefgh");
  TMemoryStream dst;
  src.SetPosition(5);
  EXPECT_EQ(dst.CopyFrom(&src, 0), 8);  // 0: everything from the start
  EXPECT_EQ(std::memcmp(dst.Memory(), "abcdefgh", 8), 0);
  src.SetPosition(2);
  TStringStream part;
  EXPECT_EQ(part.CopyFrom(&src, 3), 3);
  EXPECT_EQ(part.DataString(), "cde");
  EXPECT_THROW(part.CopyFrom(&src, 10), EReadError);
}

TEST_F(StreamFiles, FileStreamsCreateOpenAndReportFailuresWithTheName) {
  const std::string name = Path("data.bin");
  {
    TFileStream f(name, fmCreate);
    f.WriteBuffer("abcdef", 6);
    EXPECT_EQ(f.Size(), 6);
    f.SetSize(4);
    EXPECT_EQ(f.Position(), 4);
  }
  {
    TFileStream f(name, fmOpenRead | fmShareDenyNone);
    char buf[8];
    EXPECT_EQ(f.Read(buf, 8), 4);
    f.SetPosition(1);
    EXPECT_THROW(f.ReadBuffer(buf, 4), EReadError);
    EXPECT_THROW(f.WriteBuffer("z", 1), EWriteError);  // opened for reading only
  }
  {
    TFileStream f(name, fmOpenReadWrite);
    f.Seek(0, soEnd);
    f.WriteBuffer("Z", 1);
  }
  TMemoryStream m;
  m.LoadFromFile(name);
  EXPECT_EQ(std::string(static_cast<const char*>(m.Memory()), 5), "abcdZ");
  m.SaveToFile(Path("copy.bin"));
  EXPECT_TRUE(FileExists(Path("copy.bin")));

  try {
    TFileStream missing(Path("missing.bin"), fmOpenRead);
    FAIL() << "no exception";
  } catch (const EFOpenError& e) {
    EXPECT_EQ(e.Message(), "Cannot open file \"" + Path("missing.bin") + "\". No such file or directory");
  }
  EXPECT_THROW(TFileStream(dir, fmOpenRead), EFOpenError);  // a folder is not a file
  try {
    TFileStream bad(Path("no/such/folder.bin"), fmCreate);
    FAIL() << "no exception";
  } catch (const EFCreateError& e) {
    EXPECT_NE(e.Message().find("Cannot create file \"" + Path("no/such/folder.bin") + "\""), std::string::npos);
  }
}

TEST(Stream, HandleStreamOverAPipeReadsEverythingWritten) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  THandleStream w(fds[1]), r(fds[0]);
  w.WriteBuffer("pipe", 4);
  close(fds[1]);
  char buf[8];
  r.ReadBuffer(buf, 4);
  EXPECT_EQ(std::string(buf, 4), "pipe");
  EXPECT_THROW(r.ReadBuffer(buf, 1), EReadError);  // end of data
  EXPECT_THROW(r.SetSize(0), EStreamError);
  close(fds[0]);
}

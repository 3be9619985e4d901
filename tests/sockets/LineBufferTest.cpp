// Tests of the line buffer of sockets in line mode, without a socket: line ends split across
// arrivals, lines read in pieces, and the editor's backspaces and tabs.
#include <gtest/gtest.h>

#include <string>

#include "sockets/LineBuffer.h"

TEST(LineBuffer, LineEndSplitAcrossArrivalsIsFound) {
  TLineBuffer b;
  int start = b.Append("ab\r", 3, 2);
  EXPECT_FALSE(b.FindLine(start, "\r\n"));
  start = b.Append("\ncd", 3, 2);
  ASSERT_TRUE(b.FindLine(start, "\r\n"));
  EXPECT_EQ(b.WaitingLine(), 4);
  char out[16];
  EXPECT_EQ(b.Read(out, 3, true), 3);  // a line read in pieces
  EXPECT_EQ(b.WaitingLine(), 1);
  EXPECT_EQ(b.Read(out + 3, 16, true), 1);
  EXPECT_EQ(std::string(out, 4), "ab\r\n");
  EXPECT_EQ(b.Read(out, 16, true), 0);  // "cd" is no line yet
  EXPECT_EQ(b.Data(), "cd");
  EXPECT_EQ(b.Read(out, 1, false), 1);    // but can be read raw
  start = b.Append("e\r\nfg\r\n", 7, 2);  // lines after a partly read front
  ASSERT_TRUE(b.FindLine(start, "\r\n"));
  EXPECT_EQ(b.Read(out, 16, true), 4);
  EXPECT_EQ(std::string(out, 4), "de\r\n");
  ASSERT_TRUE(b.FindLine(0, "\r\n"));
  EXPECT_EQ(b.WaitingLine(), 4);
  EXPECT_EQ(b.Data(), "fg\r\n");
}

TEST(LineBuffer, EditorHandlesBackspaceAndTabs) {
  TLineBuffer b;
  b.Append("ab\bc\r\n", 6, 2);
  EXPECT_EQ(b.Edit(0, true), std::string("ab\b \bc\r\n"));
  EXPECT_EQ(b.Data(), "ac\r\n");
  TLineBuffer t;
  t.Append("x\ty", 3, 2);
  EXPECT_EQ(t.Edit(0, false), "");
  EXPECT_EQ(t.Data(), "x       y");
  TLineBuffer e;
  e.Append("\b\ba", 3, 2);  // nothing to remove at the start of a line
  e.Edit(0, false);
  EXPECT_EQ(e.Data(), "a");
}

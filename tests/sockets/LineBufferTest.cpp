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

TEST(LineBuffer, MessagesStayApartInLinesAndRawReads) {
  TLineBuffer b;
  b.Append("A-partial", 9, 2);
  b.MarkMessageEnd();
  int start = b.Append("\r\nB1\r\nB2", 8, 2);  // a line end right at the start of the next message
  b.MarkMessageEnd();
  char out[32];
  ASSERT_TRUE(b.FindLine(start, "\r\n"));
  EXPECT_EQ(b.Read(out, 32, true), 9);
  EXPECT_EQ(std::string(out, 9), "A-partial");
  ASSERT_TRUE(b.FindLine(0, "\r\n"));
  EXPECT_EQ(b.Read(out, 32, true), 2);
  ASSERT_TRUE(b.FindLine(0, "\r\n"));
  EXPECT_EQ(b.Read(out, 32, true), 4);
  EXPECT_EQ(b.RawAvailable(), 2);
  b.Append("C", 1, 2);
  b.MarkMessageEnd();
  EXPECT_EQ(b.Read(out, 32, false), 2);  // a raw read stops at the message end too
  EXPECT_EQ(std::string(out, 2), "B2");
  EXPECT_EQ(b.Read(out, 32, false), 1);
  EXPECT_EQ(b.Received(), 0);
}

TEST(LineBuffer, SkippingTheRestOfALineFindsASplitLineEnd) {
  TLineBuffer b;
  EXPECT_TRUE(b.EndsWithLineEnd("\r\n"));
  b.Append("xxxx\r", 5, 2);
  EXPECT_FALSE(b.EndsWithLineEnd("\r\n"));
  EXPECT_FALSE(b.SkipPastLineEnd("\r\n"));
  EXPECT_EQ(b.Data(), "\r");  // what could begin the line end is kept
  b.Append("\nnext\r\n", 7, 2);
  EXPECT_TRUE(b.SkipPastLineEnd("\r\n"));
  EXPECT_EQ(b.Data(), "next\r\n");
  EXPECT_TRUE(b.EndsWithLineEnd("\r\n"));
}

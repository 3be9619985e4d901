// Tests of string lists: sorting and duplicates, name=value pairs, line ends, comma text, change
// events, objects, and files.
#include "rtl/Classes.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

std::vector<std::string> Lines(const TStrings& s) {
  std::vector<std::string> r;
  for (int i = 0; i < s.Count(); ++i) r.push_back(s.Strings(i));
  return r;
}

using V = std::vector<std::string>;

}  // namespace

TEST(StringList, SortedListsFindAndTreatDuplicatesAsConfigured) {
  TStringList list;
  list.Add("pear");
  list.Add("Apple");
  list.Add("fig");
  list.SetSorted(true);
  EXPECT_EQ(Lines(list), (V{"Apple", "fig", "pear"}));
  int index = -1;
  EXPECT_TRUE(list.Find("PEAR", index));
  EXPECT_EQ(index, 2);
  EXPECT_FALSE(list.Find("grape", index));
  EXPECT_EQ(index, 2);  // where it would go
  EXPECT_EQ(list.Add("banana"), 1);

  // dupIgnore (default): the existing index comes back, nothing is added.
  EXPECT_EQ(list.Add("FIG"), 2);
  EXPECT_EQ(list.Count(), 4);
  list.SetDuplicates(dupError);
  try {
    list.Add("fig");
    FAIL() << "no exception";
  } catch (const EStringListError& e) {
    EXPECT_EQ(e.Message(), "String list does not allow duplicates");
  }
  list.SetDuplicates(dupAccept);
  list.Add("Fig");
  EXPECT_EQ(Lines(list), (V{"Apple", "banana", "Fig", "fig", "pear"}));
  EXPECT_EQ(list.IndexOf("FIG"), 2);  // the first of the equal ones

  try {
    list.Insert(0, "zzz");
    FAIL() << "no exception";
  } catch (const EStringListError& e) {
    EXPECT_EQ(e.Message(), "Operation not allowed on sorted list");
  }
  EXPECT_THROW(list.Put(0, "x"), EStringListError);

  // Case-sensitive order puts upper case first and tells "Fig" from "fig".
  list.SetCaseSensitive(true);
  EXPECT_EQ(Lines(list), (V{"Apple", "Fig", "banana", "fig", "pear"}));
  EXPECT_EQ(list.IndexOf("FIG"), -1);
  EXPECT_EQ(list.IndexOf("fig"), 3);

  // A foreign order would break the binary search: a sorted list keeps its own.
  auto reverse = [](TStringList* l, int a, int b) { return CompareStr(l->Strings(b), l->Strings(a)); };
  list.CustomSort(reverse);
  EXPECT_EQ(Lines(list), (V{"Apple", "Fig", "banana", "fig", "pear"}));
  list.SetSorted(false);
  list.CustomSort(reverse);
  EXPECT_EQ(Lines(list), (V{"pear", "fig", "banana", "Fig", "Apple"}));
}

TEST(StringList, NameValuePairs) {
  TStringList list;
  list.SetText("Left=10\r\nTop=20\r\nNoValue\r\nEmpty=\r\nExpr=a=b\r\n");
  EXPECT_EQ(list.Values("left"), "10");  // names compare without case by default
  EXPECT_EQ(list.Values("Expr"), "a=b");
  EXPECT_EQ(list.Values("NoValue"), "");
  EXPECT_EQ(list.Values("Missing"), "");
  EXPECT_EQ(list.Names(2), "");
  EXPECT_EQ(list.Names(4), "Expr");
  EXPECT_EQ(list.ValueFromIndex(1), "20");
  EXPECT_EQ(list.IndexOfName("EMPTY"), 3);
  list.SetValues("Top", "25");
  list.SetValues("Width", "300");
  list.SetValues("Left", "");  // an empty value deletes the line
  EXPECT_EQ(Lines(list), (V{"Top=25", "NoValue", "Empty=", "Expr=a=b", "Width=300"}));
}

TEST(StringList, TextSplitsOnAnyLineEndAndJoinsWithCrLf) {
  TStringList list;
  list.SetText("a\r\nb\nc\rd\r\n\r\ne");
  EXPECT_EQ(Lines(list), (V{"a", "b", "c", "d", "", "e"}));
  list.SetText("one\n");
  EXPECT_EQ(Lines(list), (V{"one"}));  // a final break adds no empty line
  list.SetText("\n");
  EXPECT_EQ(Lines(list), (V{""}));
  list.SetText("");
  EXPECT_EQ(list.Count(), 0);
  list.SetText(std::string("x\0y\r\rz", 6));
  EXPECT_EQ(Lines(list), (V{std::string("x\0y", 3), "", "z"}));
  EXPECT_EQ(list.Text(), std::string("x\0y\r\n\r\nz\r\n", 10));
}

TEST(StringList, CommaTextQuotesWhatNeedsItAndReadsItBack) {
  TStringList list;
  list.Add("plain");
  list.Add("with space");
  list.Add("say \"hi\"");
  list.Add("");
  list.Add("a,b");
  EXPECT_EQ(list.CommaText(), "plain,\"with space\",\"say \"\"hi\"\"\",,\"a,b\"");
  TStringList back;
  back.SetCommaText(list.CommaText());
  EXPECT_EQ(Lines(back), Lines(list));
  // Unquoted blanks separate items; a trailing comma gives an empty last item.
  back.SetCommaText(" x y,z, ");
  EXPECT_EQ(Lines(back), (V{"x", "y", "z"}));
  back.SetCommaText("a,");
  EXPECT_EQ(Lines(back), (V{"a", ""}));
  back.SetCommaText("\"unterminated");
  EXPECT_EQ(Lines(back), (V{"unterminated"}));
  TStringList one;
  one.Add("");
  EXPECT_EQ(one.CommaText(), "\"\"");
}

TEST(StringList, ChangeEventsFireOncePerUpdateBlock) {
  TStringList list;
  int changing = 0, changed = 0;
  list.OnChanging = [&](TObject* sender) {
    EXPECT_EQ(sender, &list);
    ++changing;
  };
  list.OnChange = [&](TObject*) { ++changed; };
  list.Add("a");
  list.Add("b");
  EXPECT_EQ(changing, 2);
  EXPECT_EQ(changed, 2);
  list.BeginUpdate();
  list.Add("c");
  list.Delete(0);
  list.Exchange(0, 1);
  list.EndUpdate();
  EXPECT_EQ(changing, 3);
  EXPECT_EQ(changed, 3);
  EXPECT_EQ(Lines(list), (V{"c", "b"}));
  list.SetText("x\ny\nz");  // a whole-text change is one change
  EXPECT_EQ(changed, 4);
}

TEST(StringList, ObjectsIndexErrorsAndOwnership) {
  TStringList list(/*OwnsObjects=*/true);
  auto* obj = new TComponent(nullptr);
  list.AddObject("c", obj);
  list.Add("d");
  EXPECT_EQ(list.Objects(0), obj);
  EXPECT_EQ(list.IndexOfObject(obj), 0);
  list.Move(0, 1);
  EXPECT_EQ(list.Objects(1), obj);
  try {
    list.Strings(2);
    FAIL() << "no exception";
  } catch (const EStringListError& e) {
    EXPECT_EQ(e.Message(), "List index out of bounds (2)");
  }
  EXPECT_THROW(list.Delete(-1), EStringListError);
  EXPECT_THROW(list.Insert(3, "x"), EStringListError);
  EXPECT_THROW(list.Move(0, 5), EStringListError);
  TStringList copy;
  copy.Assign(&list);
  EXPECT_EQ(copy.Objects(1), obj);
  EXPECT_TRUE(copy.Equals(&list));
  copy.Clear();  // copy does not own: obj survives; list frees it (checked by sanitizers)
}

TEST(StringList, FilesAreWrittenWithCrLfAndReadWithAnyLineEnd) {
  char tmpl[] = "/tmp/rtl-strings-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl;
  const std::string name = dir + "/Senders.txt";
  TStringList list;
  list.Add("10.0.0.1");
  list.Add("host name=value");
  list.SaveToFile(name);
  TMemoryStream raw;
  raw.LoadFromFile(name);
  EXPECT_EQ(std::string(static_cast<const char*>(raw.Memory()), raw.Size()), "10.0.0.1\r\nhost name=value\r\n");

  TStringStream mixed(
      "\xEF\xBB\xBF"
      "first\nsecond\r\nthird\rfourth");
  TStringList read;
  read.LoadFromStream(&mixed);
  EXPECT_EQ(Lines(read), (V{"first", "second", "third", "fourth"}));  // byte-order mark dropped
  read.LoadFromFile(name);
  EXPECT_EQ(Lines(read), Lines(list));
  // A stream without a size (a pipe) is read to its end.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  THandleStream(fds[1]).WriteBuffer("p1\np2", 5);
  close(fds[1]);
  THandleStream pipeIn(fds[0]);
  TStringList fromPipe;
  fromPipe.LoadFromStream(&pipeIn);
  close(fds[0]);
  EXPECT_EQ(Lines(fromPipe), (V{"p1", "p2"}));
  EXPECT_THROW(read.LoadFromFile(dir + "/missing.txt"), EFOpenError);
  EXPECT_EQ(read.Count(), 2);  // a failed load leaves the list as it was
  std::system(("rm -rf '" + dir + "'").c_str());
}

// Tests of packet-line parsing: eleven fields, wrong counts, bad lengths, the filters, and the
// info-line text.
#include "app/PacketParse.h"
#include "app/Unit_Globals.h"
#include "rtl/SysUtils.h"

#include <QPlainTextEdit>
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <utility>

namespace {
const std::string kLine =
    "10:00:00:000\t00-11-22-33-44-55\t66-77-88-99-aa-bb\t0800\t60\t10.1.2.3\t1025\t10.1.2.4\t80\tTCP\tTCP-IP";
}

TEST(ParseTest, ElevenFieldsFillTheRecord) {
  PKTinfo info;
  ParsePacketLine(kLine, info);
  EXPECT_EQ(info.SrcMAC, "00-11-22-33-44-55");
  EXPECT_EQ(info.DstMAC, "66-77-88-99-aa-bb");
  EXPECT_EQ(info.EtherTypeHex, "0800");
  EXPECT_EQ(info.PktLength, 60);
  EXPECT_EQ(info.SrcIP, "10.1.2.3");
  EXPECT_EQ(info.SrcPort, "1025");
  EXPECT_EQ(info.DstIP, "10.1.2.4");
  EXPECT_EQ(info.DstPort, "80");
  EXPECT_EQ(info.Protocol, "TCP");
  EXPECT_EQ(info.Suffix, "TCP-IP");
  EXPECT_EQ(info.Line, kLine);

  PKTinfo crlf;  // a CR before the LF stays in the suffix
  ParsePacketLine(kLine + "\r", crlf);
  EXPECT_EQ(crlf.Suffix, "TCP-IP\r");
}

TEST(ParseTest, WrongFieldCountsAreLoggedAndLeaveTheRecordEmpty) {
  QPlainTextEdit log;
  SetPktDataMemo(&log);
  const std::string ten = kLine.substr(0, kLine.rfind('\t'));
  // Control characters of a line cannot forge log lines or reach a terminal.
  const std::string forged = std::string("x\rforged\x1b[2J\0y\x9b\tz", 17);
  int64_t now = 0;  // a second apart: each is logged whole
  ResetLogLimits([&now] { return now; });
  for (const std::string& bad :
       {ten, kLine + "\tx", kLine.substr(0, kLine.size() - 6) /* empty suffix */, std::string(), forged}) {
    now += 1000000000;
    PKTinfo info;
    ParsePacketLine(bad, info);
    EXPECT_TRUE(info.SrcIP.empty()) << bad;
  }
  const QStringList lines = log.toPlainText().split('\n');
  ASSERT_EQ(lines.size(), 5);
  EXPECT_EQ(lines[0].toStdString(), "[NI<>10]" + ten);
  EXPECT_EQ(lines[4].toStdString(), "[NI<>10]x\\x0Dforged\\x1B[2J\\x00y\\x9B\tz");
  ResetLogLimits();
  SetPktDataMemo(nullptr);
}

namespace {
std::string WithLength(const std::string& length) {
  std::string line = kLine;
  line.replace(line.find("\t60\t"), 4, "\t" + length + "\t");
  return line;
}
}  // namespace

TEST(ParseTest, LengthThatIsNoNumberOrNegativeRaisesAndKeepsTheRecord) {
  for (const std::string length : {"6x", "-2000000000", "-1", "$7FFFFFFF", "0x3C", "+60", " 60", "60 ", "",
                                   "2147483648", "99999999999999999999"}) {
    PKTinfo info;
    EXPECT_THROW(ParsePacketLine(WithLength(length), info), EConvertError) << length;
    EXPECT_TRUE(info.SrcIP.empty());
  }
  for (const auto& [length, value] : {std::pair<std::string, int>{"060", 60}, {"0", 0}, {"2147483647", INT32_MAX}}) {
    PKTinfo info;
    ParsePacketLine(WithLength(length), info);
    EXPECT_EQ(info.PktLength, value) << length;
  }
  // The reason names the whole field: a NUL is shown, not an end; a huge field is cut.
  try {
    PKTinfo info;
    ParsePacketLine(WithLength(std::string("6\0FORGED", 8)), info);
    ADD_FAILURE();
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'6\\x00FORGED' is not a valid integer value");
  }
  try {
    PKTinfo info;
    ParsePacketLine(WithLength(std::string(65000, '9')), info);
    ADD_FAILURE();
  } catch (const EConvertError& e) {
    // Short enough for a log line to keep the reason after it.
    const std::string reason =
        "'" + std::string(MaxQuotedText, '9') + " ...(cut, 64900 more bytes)' is not a valid integer value";
    EXPECT_EQ(e.Message(), reason);
    EXPECT_EQ(ShownText("QueUnload " + reason), "QueUnload " + reason);
  }
}

TEST(ParseTest, FiltersDropByEtherTypeAndProtocol) {
  PKTinfo tcp, arp, icmp, other;
  tcp.EtherTypeHex = "0800";
  tcp.Protocol = "TCP";
  arp.EtherTypeHex = "0806";
  icmp.EtherTypeHex = "0800";
  icmp.Protocol = "ICMP";
  other.EtherTypeHex = "IP";
  TPacketFilters none, ip, noArp, noIcmp;
  ip.IgnoreIP = true;
  noArp.IgnoreARP = true;
  noIcmp.IgnoreICMP = true;
  for (const PKTinfo* p : {&tcp, &arp, &icmp, &other}) EXPECT_FALSE(PacketFiltered(*p, none));
  EXPECT_TRUE(PacketFiltered(tcp, ip));
  EXPECT_TRUE(PacketFiltered(icmp, ip));  // ICMP rides on IPv4
  EXPECT_FALSE(PacketFiltered(arp, ip));
  EXPECT_TRUE(PacketFiltered(arp, noArp));
  EXPECT_TRUE(PacketFiltered(icmp, noIcmp));
  EXPECT_FALSE(PacketFiltered(tcp, noIcmp));
  EXPECT_FALSE(PacketFiltered(other, ip));
}

TEST(ParseTest, InfoLineReplacesBlanksAndShowsControlCharacters) {
  EXPECT_EQ(InfoLineOf("a b\tc  d"), "a|b\tc||d");
  EXPECT_EQ(InfoLineOf("a\rb\x1b"), "a\\x0Db\\x1B");
  // A long line is cut with a mark; an escape is not split by the cut.
  EXPECT_EQ(InfoLineOf(std::string(65536, ' ')), std::string(MaxShownText, '|') + " ...(cut, 65136 more bytes)");
  EXPECT_EQ(InfoLineOf(std::string(MaxShownText - 2, 'a') + "\x01"),
            std::string(MaxShownText - 2, 'a') + " ...(cut, 1 more bytes)");
  EXPECT_EQ(InfoLineOf(std::string(MaxShownText - 4, 'a') + "\x01"), std::string(MaxShownText - 4, 'a') + "\\x01");

  // The line made once per packet is the same text, whatever bytes and length.
  std::mt19937 rnd(3);
  for (int i = 0; i < 20000; ++i) {
    std::string line(rnd() % (MaxShownText + 20), 'x');
    const int kind = i % 3;  // bytes of every value, or mostly printable with a rare odd one
    for (char& c : line) c = char(kind == 0 ? rnd() % 256 : rnd() % 500 ? 0x20 + rnd() % 95 : rnd() % 256);
    ASSERT_EQ(MakeInfoLine(line).View(), InfoLineOf(line)) << i;
  }
  for (int b = 0; b < 256; ++b)
    for (size_t at : {0, 7, 8, 13}) {
      std::string line(16, 'q');
      line[at] = char(b);
      ASSERT_EQ(MakeInfoLine(line).View(), InfoLineOf(line)) << b << " at " << at;
    }
}

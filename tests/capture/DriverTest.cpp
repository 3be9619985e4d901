// Driver binding, adapter queries and the capture handle, against the fake driver.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "FakeDriver.h"
#include "Frames.h"
#include "capture/Pcap.h"
#include "capture/PcapDriver.h"
#include "capture/monpcap.h"
#include "rtl/Classes.h"

namespace {

class CaptureDriver : public testing::Test {
 protected:
  void SetUp() override { InstallFakeDriver(); }
  void TearDown() override { RemoveFakeDriver(); }

  static std::vector<uint8_t> Bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

  static std::vector<uint8_t> Wide(const std::vector<std::string>& names) {
    std::vector<uint8_t> b;
    for (const std::string& n : names) {
      for (char c : n) {
        b.push_back(uint8_t(c));
        b.push_back(0);
      }
      b.push_back(0);
      b.push_back(0);
    }
    b.push_back(0);
    b.push_back(0);
    return b;
  }

  struct Listing {
    int Result = 0;
    std::string Error;
    std::vector<std::string> Names, Descs;
  };

  static Listing List() {
    TStringList names, descs;
    Listing l;
    l.Result = ListAdapters(&names, &descs, l.Error);
    for (int i = 0; i < names.Count(); ++i) l.Names.push_back(names.Strings(i));
    for (int i = 0; i < descs.Count(); ++i) l.Descs.push_back(descs.Strings(i));
    return l;
  }

  // An address entry area with IPv4 values at the given slot offsets.
  static std::vector<uint8_t> Entries(size_t entrySize, const size_t offs[3], int n) {
    std::vector<uint8_t> b(3840, 0xEE);
    for (int i = 0; i < n && size_t(i + 1) * entrySize <= b.size(); ++i) {
      const uint32_t v[3] = {frames::Ip("192.168.1.20") + (uint32_t(i) << 24), frames::Ip("255.255.255.0"),
                             frames::Ip("192.168.1.255")};
      for (int k = 0; k < 3; ++k) std::memcpy(&b[i * entrySize + offs[k]], &v[k], 4);
    }
    return b;
  }
};

TEST_F(CaptureDriver, WithoutTheLibraryEveryQueryFailsWithItsText) {
  Fake().Present = false;
  EXPECT_FALSE(LoadPacketDll());
  EXPECT_EQ(PacketOpenAdapter, nullptr);
  Listing l = List();
  EXPECT_EQ(l.Result, 0);
  EXPECT_EQ(l.Error, "Cannot load packet.dll");
  EXPECT_EQ(GetDriverVersionText(), "Cannot load packet.dll");
  EXPECT_EQ(GetPacketDllVersion(), "Cannot load packet.dll");

  std::vector<uint32_t> ips{1}, masks, bcasts;
  std::string err;
  EXPECT_EQ(GetAdapterAddresses("fake0", ips, masks, err, bcasts), 0);
  EXPECT_EQ(err, "Cannot load packet.dll");

  uint8_t mac[6] = {1, 2, 3, 4, 5, 6};
  GetAdapterMac(nullptr, err, mac);
  EXPECT_EQ(err, "Cannot load packet.dll");
  EXPECT_EQ(std::vector<uint8_t>(mac, mac + 6), std::vector<uint8_t>(6, 0));

  EXPECT_EQ(OpenCapture("fake0", 2000, true, err, 100), nullptr);
  EXPECT_EQ(err, "Cannot load packet.dll");
}

TEST_F(CaptureDriver, LoadsOnceResolvesByNameAndFreesEverything) {
  Fake().Missing = {"PacketGetDriverVersion", "PacketSetSnapLen"};
  EXPECT_TRUE(LoadPacketDll());
  EXPECT_TRUE(LoadPacketDll());
  EXPECT_EQ(Fake().Loads, 1);
  EXPECT_NE(PacketOpenAdapter, nullptr);
  EXPECT_EQ(PacketSetSnapLen, nullptr);
  EXPECT_EQ(GetDriverVersionText(), "Version not available");
  EXPECT_EQ(GetPacketDllVersion(), "4.1.3");
  FreePacketDll();
  EXPECT_EQ(Fake().Unloads, 1);
  EXPECT_EQ(PacketOpenAdapter, nullptr);
  EXPECT_EQ(PacketGetVersion, nullptr);
  EXPECT_FALSE(PacketDllLoaded());
}

TEST_F(CaptureDriver, NarrowNamesAreTrimmedAndPairedRowForRow) {
  Fake().NameBuffer = Bytes(std::string("dev1\0 dev2 \0\0Desc 1\0Desc 2\0\0", 28));
  Listing l = List();
  EXPECT_EQ(l.Result, 2);
  EXPECT_EQ(l.Error, "");
  EXPECT_EQ(l.Names, (std::vector<std::string>{"dev1", "dev2"}));
  EXPECT_EQ(l.Descs, (std::vector<std::string>{"Desc 1", "Desc 2"}));

  // Descriptions that run out end at the empty piece.
  Fake().NameBuffer = Bytes(std::string("a\0b\0c\0\0Only\0\0Stray\0", 20));
  l = List();
  EXPECT_EQ(l.Result, 3);
  EXPECT_EQ(l.Descs, (std::vector<std::string>{"Only"}));

  // The walk ends as soon as the counts match, whatever follows.
  Fake().NameBuffer = Bytes(std::string("a\0\0A\0Extra\0\0", 12));
  l = List();
  EXPECT_EQ(l.Descs, (std::vector<std::string>{"A"}));
}

TEST_F(CaptureDriver, VersionTextChoosesTheNameLayout) {
  std::vector<uint8_t> wide = Wide({"\\Device\\A", "\\Device\\B"});
  const std::string descs("Adapter A\0Adapter B\0\0", 21);
  wide.insert(wide.end(), descs.begin(), descs.end());
  for (const char* v : {"3.0 alpha", "2.02"}) {
    Fake().Version = v;
    Fake().NameBuffer = wide;
    Listing l = List();
    EXPECT_EQ(l.Names, (std::vector<std::string>{"\\Device\\A", "\\Device\\B"})) << v;
    EXPECT_EQ(l.Descs, (std::vector<std::string>{"Adapter A", "Adapter B"})) << v;
  }
  // Three characters or fewer, or any other start: narrow.
  for (const char* v : {"2", "3.0", "3.1.0", "4.1.3"}) {
    Fake().Version = v;
    Fake().NameBuffer = Bytes(std::string("n\0\0d\0\0", 6));
    Listing l = List();
    EXPECT_EQ(l.Names, (std::vector<std::string>{"n"})) << v;
  }
}

TEST_F(CaptureDriver, NameBufferWalksStayInsideTheBuffer) {
  // No terminator anywhere: the walks stop at the buffer's end.
  Fake().NameBuffer.assign(ADAPTER_NAMES_SIZE, 'x');
  Listing l = List();
  EXPECT_EQ(l.Result, 0);
  Fake().Version = "3.0 alpha";
  l = List();
  EXPECT_EQ(l.Result, 0);
  // Names only, never an empty piece: every name is kept, no description.
  std::string names;
  while (names.size() + 4 <= ADAPTER_NAMES_SIZE) names += std::string("abc\0", 4);
  Fake().Version = "4.1.3";
  Fake().NameBuffer = Bytes(names);
  l = List();
  EXPECT_EQ(l.Result, int(ADAPTER_NAMES_SIZE / 4));
  EXPECT_TRUE(l.Descs.empty());
}

// More adapters than the first buffer holds: the driver says how much it
// needs and the list is read whole.
TEST_F(CaptureDriver, ALongAdapterListIsReadWhole) {
  std::string names, descs;
  for (int i = 0; i < 300; ++i) {
    names += "veth-adapter-" + std::to_string(i) + '\0';
    descs += "Ethernet interface veth-adapter-" + std::to_string(i) + '\0';
  }
  const std::string all = names + '\0' + descs + '\0';
  ASSERT_GT(all.size(), ADAPTER_NAMES_SIZE);
  Fake().NameBuffer = Bytes(all);
  Listing l = List();
  EXPECT_EQ(l.Error, "");
  ASSERT_EQ(l.Result, 300);
  EXPECT_EQ(l.Names.back(), "veth-adapter-299");
  EXPECT_EQ(l.Descs.back(), "Ethernet interface veth-adapter-299");
  EXPECT_EQ(Fake().NameSizesAsked, (std::vector<uint32_t>{ADAPTER_NAMES_SIZE, uint32_t(all.size())}));

  // A list that grows between the calls is asked for again.
  Fake().NameSizesAsked.clear();
  Fake().NamesGrow = 10;
  Fake().NamesGrowCalls = 2;
  l = List();
  EXPECT_EQ(l.Result, 300);
  EXPECT_EQ(Fake().NameSizesAsked.size(), 3u);

  // One that always needs more than it was given ends with the failure text,
  // after a bounded number of calls, and never with a part of the list.
  Fake().NameSizesAsked.clear();
  Fake().NamesGrow = 100000;
  Fake().NamesGrowCalls = 1000;
  l = List();
  EXPECT_EQ(l.Result, 0);
  EXPECT_TRUE(l.Names.empty());
  EXPECT_EQ(l.Error, "Failed to get adaptor names");
  EXPECT_EQ(Fake().NameSizesAsked.size(), size_t(ADAPTER_NAMES_ATTEMPTS));
}

TEST_F(CaptureDriver, ListingFailuresLeaveEmptyListsAndTheirTexts) {
  TStringList names, descs;
  names.Add("old");
  std::string err;
  EXPECT_EQ(ListAdapters(nullptr, &descs, err), 0);
  EXPECT_EQ(err, "String List not intialised");

  Fake().NamesFail = true;
  EXPECT_EQ(ListAdapters(&names, &descs, err), 0);
  EXPECT_EQ(err, "Failed to get adaptor names");
  EXPECT_EQ(names.Count(), 0);

  InstallFakeDriver();
  Fake().Missing = {"PacketGetAdapterNames", "PacketGetVersion"};
  EXPECT_EQ(ListAdapters(&names, &descs, err), 0);
  EXPECT_EQ(err, "Failed to get adaptor names");
  EXPECT_EQ(GetPacketDllVersion(), "Version not available");
}

TEST_F(CaptureDriver, AddressEntriesFollowTheVersionsLayout) {
  struct Case {
    const char* Version;
    size_t Size;
    size_t Offs[3];
  } cases[] = {{"4.1.3", 384, {4, 132, 260}},
               {"3.0 alpha", 48, {4, 20, 36}},
               {"2.0.1", 48, {4, 20, 36}},
               {"2.3", 384, {4, 132, 260}},
               {"3.0", 384, {4, 132, 260}}};
  for (const Case& c : cases) {
    InstallFakeDriver();
    Fake().Version = c.Version;
    Fake().AddrBuffer = Entries(c.Size, c.Offs, 2);
    Fake().AddrCount = 2;
    std::vector<uint32_t> ips, masks, bcasts;
    std::string err = "stale";
    ASSERT_EQ(GetAdapterAddresses("fake0", ips, masks, err, bcasts), 2) << c.Version;
    EXPECT_EQ(err, "");
    EXPECT_EQ(Fake().AddrAdapter, "fake0");
    EXPECT_EQ(ips[0], frames::Ip("192.168.1.20")) << c.Version;
    EXPECT_EQ(ips[1], frames::Ip("192.168.1.21")) << c.Version;
    EXPECT_EQ(masks[1], frames::Ip("255.255.255.0")) << c.Version;
    EXPECT_EQ(bcasts[1], frames::Ip("192.168.1.255")) << c.Version;
  }
}

TEST_F(CaptureDriver, AddressCountIsClampedToTheBuffer) {
  const size_t offs[3] = {4, 132, 260};
  Fake().AddrBuffer = Entries(384, offs, 10);
  std::vector<uint32_t> ips, masks, bcasts;
  std::string err;
  for (int32_t written : {12, 1000000, -5}) {
    Fake().AddrCount = written;
    const int n = GetAdapterAddresses("fake0", ips, masks, err, bcasts);
    EXPECT_EQ(n, written < 0 ? 0 : 10);
    EXPECT_EQ(ips.size(), size_t(n));
    EXPECT_EQ(bcasts.size(), size_t(n));
  }
  Fake().AddrFail = true;
  EXPECT_EQ(GetAdapterAddresses("fake0", ips, masks, err, bcasts), 0);
  EXPECT_EQ(err, "Failed to get adaptor names");

  InstallFakeDriver();
  Fake().Missing = {"PacketGetNetInfoEx"};
  err = "stale";
  EXPECT_EQ(GetAdapterAddresses("fake0", ips, masks, err, bcasts), 0);
  EXPECT_EQ(err, "");
}

TEST_F(CaptureDriver, MacComesFromTheCurrentAddressRequest) {
  std::string err;
  CaptureHandle* h = OpenCapture("fake0", 2000, false, err, 100);
  ASSERT_NE(h, nullptr);
  uint8_t mac[6];
  GetAdapterMac(h, err, mac);
  EXPECT_EQ(err, "");
  EXPECT_EQ(std::memcmp(mac, Fake().Mac, 6), 0);

  Fake().FailStep = "PacketRequest";
  GetAdapterMac(h, err, mac);
  EXPECT_EQ(err, "Failed to get adaptor MAC");
  EXPECT_EQ(std::vector<uint8_t>(mac, mac + 6), std::vector<uint8_t>(6, 0));
  Fake().FailStep.clear();
  GetAdapterMac(nullptr, err, mac);
  EXPECT_EQ(err, "Failed to get adaptor MAC");
  CloseCapture(h);
  EXPECT_EQ(h, nullptr);
}

TEST_F(CaptureDriver, OpenSetsFilterSnapLengthAndBuffers) {
  std::string err;
  Fake().SnapLenResult = 1514;
  CaptureHandle* h = OpenCapture("fake0", 2000, true, err, 100);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(err, "");
  EXPECT_EQ(Fake().HwFilter, 0x20u);
  EXPECT_EQ(Fake().KernelBuffer, 1000000);
  EXPECT_EQ(Fake().SnapLenAsked, 2000);
  EXPECT_EQ(h->SnapLen, 1514u);
  EXPECT_EQ(h->BufferSize, 256000u);
  EXPECT_EQ(h->Packet->Buffer, h->Buffer);
  EXPECT_EQ(h->Packet->Length, 256000u);
  CloseCapture(h);

  InstallFakeDriver();
  Fake().Missing = {"PacketSetSnapLen"};
  h = OpenCapture("fake0", 68, false, err, 100);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(Fake().HwFilter, 0x01u);
  EXPECT_EQ(h->SnapLen, 68u);
  CloseCapture(h);
  EXPECT_EQ(Fake().Opens, Fake().Closes);
  EXPECT_EQ(Fake().PacketsAllocated, Fake().PacketsFreed);
}

TEST_F(CaptureDriver, EveryOpenStepFailsWithItsTextAndLeaksNothing) {
  struct Case {
    const char* Step;
    bool Promiscuous;
    const char* Text;
  } cases[] = {
      {"PacketSetHwFilter", true, "Cannot set Device Filter to Promiscuous mode"},
      {"PacketSetHwFilter", false, "Cannot set Device Filter to Directed mode"},
      {"PacketGetNetType", true, "Cannot determine network type and speed"},
      {"PacketAllocatePacket", true, "Cannot allocate Global Packet Object"},
      {"PacketSetBuff", false, "Not enough memory to allocate Driver buffer"},
  };
  for (const Case& c : cases) {
    InstallFakeDriver();
    Fake().FailStep = c.Step;
    std::string err;
    EXPECT_EQ(OpenCapture("fake0", 2000, c.Promiscuous, err, 100), nullptr) << c.Step;
    EXPECT_EQ(err, c.Text);
    EXPECT_EQ(Fake().Opens, 1) << c.Step;
    EXPECT_EQ(Fake().Closes, 1) << c.Step;
    EXPECT_EQ(Fake().PacketsAllocated, Fake().PacketsFreed) << c.Step;
  }
  // Unknown, over-long and missing-entry opens name the adapter.
  for (const std::string& name : {std::string("foo"), std::string(3000, 'x')}) {
    InstallFakeDriver();
    Fake().Adapters.insert(std::string(3000, 'x'));
    std::string err;
    EXPECT_EQ(OpenCapture(name, 2000, true, err, 100), nullptr);
    EXPECT_EQ(err, "Cannot Open Adapter \"" + name + "\"");
    EXPECT_EQ(Fake().Opens, 0);
  }
  InstallFakeDriver();
  Fake().Missing = {"PacketGetNetType"};
  std::string err;
  EXPECT_EQ(OpenCapture("fake0", 2000, true, err, 100), nullptr);
  EXPECT_EQ(err, "Cannot determine network type and speed");
  EXPECT_EQ(Fake().Closes, 1);
}

struct Seen {
  std::vector<size_t> Offsets;  // of each frame from the block's start
  std::vector<uint32_t> CapLens;
  const uint8_t* Base = nullptr;
};

void Collect(void* user, const bpf_hdr* h, const uint8_t* data) {
  Seen* s = static_cast<Seen*>(user);
  s->Offsets.push_back(size_t(data - s->Base));
  s->CapLens.push_back(h->bh_caplen);
}

class CaptureRead : public CaptureDriver {
 protected:
  void SetUp() override {
    CaptureDriver::SetUp();
    std::string err;
    Handle = OpenCapture("fake0", 2000, true, err, 100);
    ASSERT_NE(Handle, nullptr);
    Fake().ReadTimeout = 1;
    seen.Base = Handle->Buffer;
  }
  void TearDown() override {
    CloseCapture(Handle);
    CaptureDriver::TearDown();
  }
  static std::vector<uint8_t> ThreeRecords() {
    std::vector<uint8_t> b;
    for (size_t len : {60, 61, 62}) frames::AppendRecord(b, std::vector<uint8_t>(len, 0xAB));
    return b;
  }
  CaptureHandle* Handle = nullptr;
  Seen seen;
};

TEST_F(CaptureRead, WholeBlockIsHandedOutWithPaddingSkipped) {
  Fake().PushBlock(ThreeRecords());
  EXPECT_EQ(ReadCapture(Handle, 0, Collect, &seen), 3);
  EXPECT_EQ(seen.Offsets, (std::vector<size_t>{20, 100, 184}));
  EXPECT_EQ(seen.CapLens, (std::vector<uint32_t>{60, 61, 62}));
  EXPECT_EQ(Handle->BytesLeft, 0u);
  // Nothing scripted: the read times out and hands out nothing.
  seen.Offsets.clear();
  EXPECT_EQ(ReadCapture(Handle, 0, Collect, &seen), 0);
  EXPECT_TRUE(seen.Offsets.empty());
}

TEST_F(CaptureRead, CountOneResumesInTheSameBlock) {
  Fake().PushBlock(ThreeRecords());
  for (int i = 0; i < 3; ++i) EXPECT_EQ(ReadCapture(Handle, 1, Collect, &seen), 1);
  EXPECT_EQ(Fake().Receives, 1);
  EXPECT_EQ(seen.Offsets, (std::vector<size_t>{20, 100, 184}));
  EXPECT_EQ(ReadCapture(Handle, 1, Collect, &seen), 0);
  EXPECT_EQ(Fake().Receives, 2);
  // A record header that is not 20 bytes long is honoured.
  std::vector<uint8_t> b;
  frames::AppendRecord(b, std::vector<uint8_t>(10, 1), 0, 0, 24);
  frames::AppendRecord(b, std::vector<uint8_t>(3, 1), 0, 0, 18);
  Fake().PushBlock(b);
  seen.Offsets.clear();
  EXPECT_EQ(ReadCapture(Handle, 5, Collect, &seen), 2);
  EXPECT_EQ(seen.Offsets, (std::vector<size_t>{24, 36 + 18}));
}

TEST_F(CaptureRead, FailedReadKeepsItsTextAndTheNextReadTriesAgain) {
  Fake().PushFailure();
  Fake().PushBlock(ThreeRecords());
  EXPECT_EQ(ReadCapture(Handle, 0, Collect, &seen), -1);
  EXPECT_STREQ(Handle->ErrorText, "Read Error: PacketRecievePacket failed");
  EXPECT_EQ(ReadCapture(Handle, 0, Collect, &seen), 3);
  EXPECT_EQ(ReadCapture(nullptr, 0, Collect, &seen), -1);
}

TEST_F(CaptureRead, DamagedRecordsDropTheRestOfTheBlock) {
  const std::vector<uint8_t> good = ThreeRecords();
  auto withTail = [&](const std::vector<uint8_t>& tail) {
    std::vector<uint8_t> b(80 + tail.size());
    std::memcpy(b.data(), good.data(), 80);  // first record only
    std::memcpy(b.data() + 80, tail.data(), tail.size());
    return b;
  };
  bpf_hdr h{};
  auto hdr = [&](uint32_t caplen, uint16_t hdrlen) {
    h.bh_caplen = caplen;
    h.bh_datalen = caplen;
    h.bh_hdrlen = hdrlen;
    std::vector<uint8_t> t(sizeof h);
    std::memcpy(t.data(), &h, sizeof h);
    return t;
  };
  const std::vector<std::vector<uint8_t>> tails = {
      std::vector<uint8_t>(10, 0),  // header cut short
      hdr(0, 0),                    // zero-length record
      hdr(4, 8),                    // header length below the fixed fields
      hdr(500, 20),                 // captured bytes past the block
      hdr(0xFFFFFFF0u, 20),         // length that would wrap
  };
  for (const auto& tail : tails) {
    Fake().PushBlock(withTail(tail));
    seen.Offsets.clear();
    EXPECT_EQ(ReadCapture(Handle, 0, Collect, &seen), 1);
    EXPECT_EQ(Handle->BytesLeft, 0u);
  }
}

TEST(CaptureDriverLayer, RecordsThatDoNotFitWaitForTheNextRead) {
  std::vector<uint8_t> pending;
  TPcapPktHdr ph{};
  ph.ts.tv_sec = 1700000000;
  ph.ts.tv_usec = 250;
  std::vector<uint8_t> frame(101, 7);
  for (int i = 0; i < 3; ++i) {
    ph.caplen = ph.len = uint32_t(frame.size());
    AppendBpfRecord(pending, ph, frame.data());
  }
  ASSERT_EQ(pending.size(), 3u * 124u);
  // A 260-byte block takes two whole records; the third waits.
  std::vector<uint8_t> block(260);
  size_t pos = 0;
  uint32_t used = 0;
  EXPECT_EQ(MoveBpfRecords(pending, &pos, block.data(), 260, &used), 248u);
  const TBpfRecord r = BpfRecordAt(block.data(), used);
  ASSERT_EQ(r.Advance, 124u);
  EXPECT_EQ(r.Header->bh_hdrlen, 20);
  EXPECT_EQ(r.Header->bh_tstamp.tv_sec, 1700000000u);
  EXPECT_EQ(r.Header->bh_tstamp.tv_usec, 250u);
  EXPECT_EQ(r.Frame[100], 7);
  used = 0;
  EXPECT_EQ(MoveBpfRecords(pending, &pos, block.data(), 260, &used), 124u);
  EXPECT_EQ(pos, pending.size());
  // A record larger than a whole block is cut to fit rather than stuck.
  pos = 0;
  used = 0;
  EXPECT_EQ(MoveBpfRecords(pending, &pos, block.data(), 64, &used), 64u);
  EXPECT_EQ(BpfRecordAt(block.data(), used).Header->bh_caplen, 44u);
  EXPECT_EQ(pos, 124u);
}

// A libpcap stand-in under the driver layer: one device, "lo" (present in
// every network namespace), whose activation the test decides.
namespace standin {
struct {
  int Activation = 0;
  int Creates = 0, Closes = 0;
  int Fd = -1;
  int SnapLen = 0, Buffer = 0;                 // as set on the handle being made
  std::vector<std::pair<int, int>> Activated;  // (snap length, buffer) of each activation
} S;
int Handle;
TPcap* Create(const char*, char*) {
  ++S.Creates;
  S.SnapLen = S.Buffer = 0;
  return reinterpret_cast<TPcap*>(&Handle);
}
int SetInt(TPcap*, int) { return 0; }
int SetSnapLen(TPcap*, int v) { return S.SnapLen = v, 0; }
int SetBuffer(TPcap*, int v) { return S.Buffer = v, 0; }
int Activate(TPcap*) {
  if (S.Activation == 0) S.Activated.emplace_back(S.SnapLen, S.Buffer);
  return S.Activation;
}
int SetNonblock(TPcap*, int, char*) { return 0; }
int SelectableFd(TPcap*) { return S.Fd; }
int Dispatch(TPcap*, int, TPcapHandler, unsigned char*) { return 0; }
void Close(TPcap*) { ++S.Closes; }
char LoName[] = "lo";
TPcapIf Lo{nullptr, LoName, nullptr, nullptr, PCAP_IF_LOOPBACK_FLAG};
int FindAll(TPcapIf** all, char*) {
  *all = &Lo;
  return 0;
}
void FreeAll(TPcapIf*) {}
const char* Version() { return "libpcap stand-in"; }
int Send(TPcap*, const unsigned char*, int) { return 0; }
int Stats(TPcap*, TPcapStat*) { return 0; }
int SetFilter(TPcap*, bpf_program*) { return 0; }
int Datalink(TPcap*) { return 1; }
}  // namespace standin

TEST(CaptureDriverLayer, AnAdapterThatCannotCaptureFailsAtOpenWithTheOpenStepsText) {
  using namespace standin;
  const TPcapApi api{Create,   SetInt, SetInt,  SetInt,  SetInt,  nullptr, Activate, SetNonblock, SelectableFd,
                     Dispatch, Close,  FindAll, FreeAll, Version, Send,    Stats,    SetFilter,   Datalink};
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  S = {};
  S.Fd = fds[0];  // not a packet socket: promiscuous reception cannot be set on it
  SetPacketModule(&PcapDriverModuleOver(api));
  {
    TMonitorPcap mon(nullptr);
    ASSERT_EQ(mon.MonAdapter(), "lo");
    S.Activation = -9;                               // the interface is not up
    for (int attempt = 0; attempt < 2; ++attempt) {  // nothing is left running to refuse a second start
      mon.StartMonitor();
      EXPECT_FALSE(mon.Connected());
      EXPECT_EQ(mon.LastError(), "Cannot Open Adapter \"lo\"");
    }
    EXPECT_EQ(S.Creates, 2);
    EXPECT_EQ(S.Closes, 2);
    S.Activation = 0;
    mon.SetPromiscuous(true);
    mon.StartMonitor();
    EXPECT_FALSE(mon.Connected());
    EXPECT_EQ(mon.LastError(), "Cannot set Device Filter to Promiscuous mode");
    EXPECT_EQ(S.Closes, 3);
    mon.SetPromiscuous(false);
    mon.StartMonitor();
    EXPECT_TRUE(mon.Connected()) << mon.LastError();
    mon.StopMonitor();
    // The successful start made a second handle for the monitor's snap length.
    EXPECT_EQ(S.Creates, 5);
    EXPECT_EQ(S.Closes, 5);
  }
  SetPacketModule(nullptr);
  close(fds[0]);
  close(fds[1]);
}

// libpcap sizes its ring slots for the snap length it was activated with, so
// the handle that captures must be activated with the monitor's.
TEST(CaptureDriverLayer, TheCapturingHandleIsActivatedWithTheAskedSnapLengthAndBuffer) {
  using namespace standin;
  const TPcapApi api{Create,   SetSnapLen, SetInt,  SetInt,  SetBuffer, nullptr, Activate, SetNonblock, SelectableFd,
                     Dispatch, Close,      FindAll, FreeAll, Version,   Send,    Stats,    SetFilter,   Datalink};
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  S = {};
  S.Fd = fds[0];
  SetPacketModule(&PcapDriverModuleOver(api));
  {
    TMonitorPcap mon(nullptr);
    for (const bool headersOnly : {false, true}) {
      S.Activated.clear();
      S.Creates = S.Closes = 0;
      mon.SetIgnoreData(headersOnly);
      mon.StartMonitor();
      ASSERT_TRUE(mon.Connected()) << mon.LastError();
      ASSERT_FALSE(S.Activated.empty());
      EXPECT_EQ(S.Activated.back(), std::make_pair(headersOnly ? 68 : 2000, 1000000));
      EXPECT_EQ(S.Creates - S.Closes, 1);  // only the capturing handle is open
      mon.StopMonitor();
      EXPECT_EQ(S.Creates, S.Closes);
    }
  }
  // A buffer size that cannot be had leaves the handle that was there.
  {
    std::string err;
    CaptureHandle* h = OpenCapture("lo", 2000, false, err, 100);
    ASSERT_NE(h, nullptr) << err;
    S.Activated.clear();
    S.Activation = -1;
    EXPECT_FALSE(PacketSetBuff(h->Adapter, 4000000));
    S.Activation = 0;
    EXPECT_TRUE(PacketSetBuff(h->Adapter, 1000000));
    EXPECT_TRUE(S.Activated.empty());
    EXPECT_TRUE(PacketSetBuff(h->Adapter, 2000000));
    EXPECT_EQ(S.Activated, (std::vector<std::pair<int, int>>{{2000, 2000000}}));
    CloseCapture(h);
    EXPECT_EQ(S.Creates, S.Closes);
  }
  SetPacketModule(nullptr);
  close(fds[0]);
  close(fds[1]);
}

TEST(CaptureDriverLayer, NameAndAddressLayoutsReadBackThroughTheQueries) {
  std::vector<TAdapterRow> rows = {{"eth0", "Ethernet interface eth0"}, {"lo", "Loopback interface lo"}};
  char buf[64];
  uint32_t size = sizeof buf;
  ASSERT_TRUE(PackAdapterNames(rows, buf, &size));
  EXPECT_EQ(std::string(buf, size), std::string("eth0\0lo\0\0Ethernet interface eth0\0Loopback interface lo\0\0", 56));
  // Too small: no part of the list, and the size that holds it all.
  size = 55;
  std::memset(buf, '#', sizeof buf);
  EXPECT_FALSE(PackAdapterNames(rows, buf, &size));
  EXPECT_EQ(size, 56u);
  EXPECT_EQ(std::string(buf, 4), "####");
  size = 0;
  EXPECT_FALSE(PackAdapterNames(rows, nullptr, &size));
  EXPECT_EQ(size, 56u);

  std::vector<uint8_t> area(3840);
  const TAddressRow a{frames::Ip("127.0.0.1"), frames::Ip("255.0.0.0"), 0};
  EXPECT_EQ(PackAddressEntries({a, a, a}, area.data(), 2), 2);
  uint32_t v;
  std::memcpy(&v, &area[384 + 4], 4);
  EXPECT_EQ(v, a.Address);
  std::memcpy(&v, &area[384 + 132], 4);
  EXPECT_EQ(v, a.Mask);
}

}  // namespace

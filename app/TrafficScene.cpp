// Traffic into scene objects: packet lines to host cubes and pipes, the pipe table, text
// textures, lifetime and bandwidth checks, and expiry.
#include "app/TrafficScene.h"

#include "Source/Materials/GLColor.h"
#include "Source/Materials/GLMaterial.h"
#include "Source/Objects/GLObjects.h"
#include "Source/Materials/GLTexture.h"
#include "app/MyCylinder.h"
#include "app/SnifferObject.h"
#include "app/Unit2_3D.h"
#include "app/Unit_Globals.h"
#include "platform/Graphics.h"
#include "platform/Timing.h"
#include "rtl/SysUtils.h"

#include <QDir>
#include <QLabel>
#include <QPlainTextEdit>
#include <algorithm>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <cmath>
#include <random>
#include <vector>

#include <sys/stat.h>

int PipeThreshold = 1;
int TimeToLive = 15;
bool StopCubeLayout = false;

bool NameStartsWith(const std::string& name, const char* prefix) {
  const size_t n = std::char_traits<char>::length(prefix);
  if (name.size() < n) return false;
  for (size_t i = 0; i < n; ++i)
    if (std::toupper(static_cast<unsigned char>(name[i])) != std::toupper(static_cast<unsigned char>(prefix[i])))
      return false;
  return true;
}

namespace {
int64_t CounterNow() {
  int64_t c = 0;
  QueryPerformanceCounter(c);
  return c;
}

// A file-name part made safe: no folder separators or parent steps.
std::string SafeFilePart(std::string s) {
  for (char& c : s)
    if (c == '/' || c == '\\' || c == '\0') c = '_';
  if (s == "." || s == "..") s = "_";
  return s;
}

std::string WithoutExtension(const std::string& name) {
  const size_t dot = name.rfind('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}

// Bits per second of a cube or pipe over its life, shown on its label while selected.
template <class T>
double UpdateBandwidth(T& o, int64_t now, int64_t frequency) {
  o.Bps = AverageBps(o.ByteTotal, o.FirstSeen, now, frequency);
  if (o.BandwidthLabel) o.BandwidthLabel->setText(QString::fromStdString("bps " + FormatThousands(o.Bps)));
  return o.Bps;
}

// Two address pairs can give the same name text (the numbers have no
// separator); the later pipe gets "_<n>" added, so pipe names stay unique.
void SetPipeName(TGLBaseSceneObject* connections, MyCylinder* pipe, const std::string& name) {
  std::string unique = name;
  for (int n = 2; connections->FindChildByName(unique, true); ++n) unique = name + "_" + std::to_string(n);
  pipe->SetName(unique);
}

// Cubes and pipes belong to the scene tree alone (it frees its children):
// without an owner component, making and freeing one costs the same however
// many objects the view holds.
template <class T>
T* NewTrafficObject(TGLBaseSceneObject* parent) {
  auto* obj = new T(nullptr);
  try {
    parent->AddChild(obj);
  } catch (...) {
    delete obj;
    throw;
  }
  return obj;
}
}  // namespace

TTrafficScene::TTrafficScene(TGLDummyCube* pcs, TGLDummyCube* groups, TGLDummyCube* connections)
    : Now(CounterNow), FPCs(pcs), FGroups(groups), FConnections(connections) {
  // Cubes and pipes do nothing of their own in a progress step: the clock's
  // steps pass over the thousands of them.
  RegisterProgressFreeClass(SnifferObject::StaticClass());
  RegisterProgressFreeClass(MyCylinder::StaticClass());
  int64_t f = 0;
  if (QueryPerformanceFrequency(f) && f > 0) PerfFrequency = f;
}

TTrafficScene::~TTrafficScene() {
  // The cubes stay in the scene; none may tell the cache when it is freed.
  for (TGLDummyCube* parent : {FPCs, FGroups})
    for (int i = 0; i < parent->Count(); ++i)
      if (parent->Children(i)->ClassType() == SnifferObject::StaticClass())
        static_cast<SnifferObject*>(parent->Children(i))->Cache = nullptr;
}

std::string TTrafficScene::ImagesDir() {
  // Every new cube asks: the folder found last is kept (main thread) for as
  // long as it is still a folder of the same program folder, so the program
  // folder is listed only when the folder went or was never found.
  static std::string FoundFor, Found;
  const std::string programDir = ProgramDir();
  struct stat st {};
  if (!Found.empty() && FoundFor == programDir && ::stat(Found.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return Found;
  Found.clear();
  QDir dir(QString::fromStdString(programDir));
  std::string path;
  for (const QString& entry : dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot))
    if (entry.compare("Images", Qt::CaseInsensitive) == 0) {
      path = dir.filePath(entry).toStdString() + "/";
      break;
    }
  if (path.empty()) {
    dir.mkpath("Images");
    path = dir.filePath("Images").toStdString() + "/";
  }
  if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    FoundFor = programDir;
    Found = path;
  }
  return path;
}

void TTrafficScene::LoadPCinfoToArry() { FProfiles.LoadPCinfoToArry(ProgramFile("SnifferPCsInfo.ini")); }

void TTrafficScene::ProcessLine(const std::string& line, int64_t queueNumber) {
  PKTinfo info;
  ParsePacketLine(line, info);
  if (info.SrcIP.empty()) return;
  const TRestore<int64_t> number(FLineNumber, queueNumber);
  ProcessPacket(info);
}

SnifferObject* TTrafficScene::FindCubeForIP(const std::string& given) {
  const std::string ip = AddressText(given);  // a cube is named by its address written one way
  auto asCube = [](TGLBaseSceneObject* o) -> SnifferObject* {
    return o && o->ClassType() == SnifferObject::StaticClass() ? static_cast<SnifferObject*>(o) : nullptr;
  };
  uint32_t n = 0;
  try {
    n = IPToNumber(ip);
  } catch (const std::exception&) {
    // No cube holds a text that is no address ("10.0.1" would find the
    // block cube of 10.0.1.x by its name).
    return nullptr;
  }
  if (auto* c = asCube(FPCs->FindChildByName(CubeNameFor(ip, true), true))) return c;
  if (std::count(ip.begin(), ip.end(), '.') >= 2)
    if (auto* c = asCube(FPCs->FindChildByName(CubeNameFor(ip, false), true))) return c;
  for (int i = 0; i < FGroups->Count(); ++i)
    if (auto* c = asCube(FGroups->Children(i)))
      if (c->IPmin <= n && n <= c->IPmax) return c;
  return nullptr;
}

SnifferObject* TTrafficScene::GetOrCreateCube(const OBJinfo_Rec& info, bool& existed) {
  if (AddressHasLeadingZero(info.IP))
    return GetOrCreateCube(OBJinfo_Rec{AddressText(info.IP), info.PktLength}, existed);
  return GetOrCreateCube(info, existed, Now());
}

SnifferObject* TTrafficScene::GetOrCreateCube(const OBJinfo_Rec& info, bool& existed, int64_t now) {
  if (SnifferObject* cube = FindCube(info.IP)) {
    existed = true;
    return Charge(cube, info.PktLength, now);
  }
  existed = false;
  return CreateCube(info, now);
}

SnifferObject* TTrafficScene::CreateCube(const OBJinfo_Rec& info, int64_t now) {
  const uint32_t ipnum = IPToNumber(info.IP);
  PCOBJinfo profile;
  const bool matched = FProfiles.FindProfileForIP(ipnum, profile);
  if (!matched) profile.Section = "IP" + std::to_string(ipnum);
  // A block's kept place makes the block's cube, as no profile would.
  const bool wholeAddress = matched && !profile.BlockCube;
  const std::string objName = CubeNameFor(info.IP, wholeAddress);
  const TCubePlacement place = PlaceCube(profile, info.IP);  // may raise before anything is made

  TGLDummyCube* parent = profile.ShowAsOneCube && !profile.BlockCube ? FGroups : FPCs;
  auto* cube = NewTrafficObject<SnifferObject>(parent);
  // Addresses that found another cube may find this one first now: a cube
  // among the hosts is found by its name before blocks and groups are tried.
  if (parent == FPCs) {
    if (wholeAddress)
      FCubes.EraseAddress(ipnum);
    else
      FCubes.EraseBlock(ipnum);
  }
  try {
    cube->SetTag(0);
    // A line queued before a Clear makes a cube that lives by the Clear's
    // second, as the cube it stands for again would.
    cube->TTL = QueuedBeforeClear() ? 1.0f : static_cast<float>(TimeToLive);
    if (QueuedBeforeClear()) FClearedCubes.insert(cube);
    cube->Pitch(-90);
    cube->SetName(objName);
    cube->ObjName = objName;
    cube->IP = info.IP;
    cube->IPNumber = ipnum;
    cube->ProfileName = profile.Section;
    cube->SetCubeWidth(profile.Width);
    cube->SetCubeHeight(profile.Height);
    cube->SetCubeDepth(profile.Depth);
    cube->Spread = profile.Spread;
    cube->NetType = profile.NetType;
    cube->IPmin = profile.IPmin;
    cube->IPmax = profile.IPmax;
    cube->Texture = profile.Texture;
    cube->Position()->SetXYZAsPoint(place.X, place.Y, place.Z);
    // Times, bytes and blending first: a failing face below must not leave
    // a cube that expires at once.
    cube->FirstSeen = cube->LastSeen = now;
    cube->ByteTotal = info.PktLength;
    cube->Bps = 0;
    cube->Material()->SetBlendingMode(bmTransparency);
    cube->Material()->FrontProperties()->Diffuse()->SetAlpha(0.75f);
  } catch (...) {
    FClearedCubes.erase(cube);
    delete cube;
    throw;
  }
  try {
    std::string mac, user, name;
    LookupComputerInfo(info.IP, mac, user, name);
    if (!user.empty())
      MakeTextTexture(cube, user, place.Colour);
    else {
      if (!LoadFace(cube)) {
        static std::mt19937 rnd{std::random_device{}()};
        const uint32_t colour = RGBColour(rnd() % 256, rnd() % 256, rnd() % 256);
        cube->Material()->FrontProperties()->Diffuse()->SetFromWinColor(colour);
        cube->Material()->FrontProperties()->Diffuse()->SetAlpha(0.75f);
        MakeTextTexture(cube, WithoutExtension(cube->Texture), colour);
      }
    }
  } catch (const std::exception& e) {
    LogFailure("GetOrCreateCube", e.what());
  }
  return cube;
}

void TTrafficScene::DropUnusedFaces() {
  std::erase_if(FFaces, [](const auto& face) { return face.second.use_count() == 1; });
  FFacesAfterSweep = FFaces.size();
}

std::shared_ptr<TGLTexture> TTrafficScene::FaceFromFile(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
  const std::string key = path + '\n' + std::to_string(st.st_mtim.tv_sec) + '.' + std::to_string(st.st_mtim.tv_nsec) +
                          '\n' + std::to_string(st.st_size);
  if (const auto found = FFaces.find(key); found != FFaces.end()) return found->second;
  if (FFaces.size() >= 2 * std::max<size_t>(FFacesAfterSweep, 16)) DropUnusedFaces();
  auto face = std::make_shared<TGLTexture>(nullptr);
  face->Image()->LoadFromFile(path);
  // Read again from the file when the texture needs it (a new context):
  // a shown face holds only its texture. A file gone by then leaves the
  // face without a picture.
  if (auto* image = dynamic_cast<TGLPictureImage*>(face->Image()))
    image->SetRemake([path](TPicture& picture) {
      try {
        if (auto graphic = LoadGraphicFromFile(path)) picture.TakeGraphic(std::move(graphic));
      } catch (const std::exception& e) {
        LogToPktData("Cube face " + path + ": " + e.what());
      }
    });
  face->SetDisabled(false);
  FFaces.emplace(key, face);
  return face;
}

bool TTrafficScene::LoadFace(SnifferObject* cube) {
  TGLTexture* texture = cube->Material()->Texture();
  auto* image = dynamic_cast<TGLPictureImage*>(texture->Image());
  if (image) image->SetRemake(nullptr);  // the picture set below is kept
  std::shared_ptr<TGLTexture> face = cube->Texture.empty() ? nullptr : FaceFromFile(ImagesDir() + cube->Texture);
  if (face) {
    texture->SetPictureSource(std::move(face));
  } else if (const auto kept = FKeptLabels.find(cube->Texture); kept != FKeptLabels.end())
    texture->Image()->Assign(kept->second.get());
  else
    return false;
  texture->SetDisabled(false);
  return true;
}

void TTrafficScene::MakeTextTexture(SnifferObject* cube, const std::string& fullText, uint32_t colour) {
  // A user name of any length: what a label and a file name can hold.
  const std::string text = ShownText(fullText);
  cube->Texture = SafeFilePart(text) + ".bmp";
  if (LoadFace(cube)) return;
  auto label = std::make_unique<TBitmap>(60, 60, pf24bit);
  {
    TBitmap& bmp = *label;
    TCanvas& c = bmp.Canvas();
    c.Brush().SetColor(colour);
    c.Font().SetName("Arial");
    c.Font().SetColor(0xFFFFFF);
    c.Font().SetSize(25);
    const TSplitArray words = Split(text, " ");
    const int lineHeight = c.TextHeight(text);
    int widest = 0;
    for (const std::string& w : words) widest = std::max(widest, c.TextWidth(w));
    c.Pen().SetColor(0xFFFFFF);
    c.Pen().SetWidth(2);
    c.Rectangle(1, 1, widest + 4, static_cast<int>(words.size()) * lineHeight + 2);
    int y = 2;
    for (const std::string& w : words) {
      c.TextOut(2, y, w);
      y += lineHeight - 2;
    }
  }
  try {
    label->SaveToFile(ImagesDir() + cube->Texture);
  } catch (const std::exception& e) {
    // "Images" cannot be written: the label is kept in memory instead and
    // serves the next cube of that name, as the file would.
    LogFailure("GetOrCreateCube", e.what());
    if (FKeptLabels.size() < MaxKeptLabels) FKeptLabels.emplace(cube->Texture, std::move(label));
  }
  if (!LoadFace(cube) && label)  // not kept (too many): shown all the same
  {
    cube->Material()->Texture()->Image()->Assign(label.get());
    cube->Material()->Texture()->SetDisabled(false);
  }
}

namespace {
uint64_t PipeKey(uint32_t src, uint32_t dst) { return uint64_t(src) << 32 | dst; }
}  // namespace

MyCylinder* TTrafficScene::FindPipe(uint32_t a, uint32_t b, bool& forward) const {
  const uint64_t key = PipeKey(a, b);
  uint64_t matched = 0;
  MyCylinder* pipe = FPipes.FindEither(key, PipeKey(b, a), matched);
  forward = matched == key;
  return pipe;
}

MyCylinder* TTrafficScene::FindPipe(uint32_t a, uint32_t b) const {
  bool forward;
  return FindPipe(a, b, forward);
}

void TCubeCache::Insert(uint32_t address, SnifferObject* cube) {
  cube->Cache = this;
  FTable.Insert(address, cube);
  ++FBlockCounts[address >> 8];
}

void TCubeCache::Counted(uint32_t address, bool erased) {
  if (!erased) return;
  const auto block = FBlockCounts.find(address >> 8);
  if (block != FBlockCounts.end() && --block->second == 0) FBlockCounts.erase(block);
}

void TCubeCache::EraseAddress(uint32_t address) { Counted(address, FTable.Erase(address)); }

void TCubeCache::EraseBlock(uint32_t address) {
  const auto block = FBlockCounts.find(address >> 8);
  if (block == FBlockCounts.end()) return;
  const uint32_t first = address & 0xFFFFFF00u;
  uint32_t left = block->second;
  for (uint32_t i = 0; i < 256 && left > 0; ++i)
    if (FTable.Erase(first | i)) --left;
  FBlockCounts.erase(block);
}

void TCubeCache::Sweep() {
  FBlockCounts.clear();
  FTable.KeepIf([this](uint64_t address, SnifferObject* cube) {
    if (cube->Cache != this) return false;
    ++FBlockCounts[uint32_t(address) >> 8];
    return true;
  });
}

void TCubeCache::Forget(SnifferObject* cube) {
  cube->Cache = nullptr;
  Sweep();
}

bool TCubeCache::PlainAddress(const std::string& text, uint32_t& address) {
  uint32_t n = 0;
  size_t i = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (i >= text.size() || text[i] != '.') return false;
      ++i;
    }
    const size_t start = i;
    uint32_t v = 0;
    while (i < text.size() && i - start < 3 && text[i] >= '0' && text[i] <= '9') v = v * 10 + uint32_t(text[i++] - '0');
    const size_t digits = i - start;
    if (digits == 0 || v > 255 || (digits > 1 && text[start] == '0')) return false;
    n = n << 8 | v;
  }
  if (i != text.size()) return false;
  address = n;
  return true;
}

SnifferObject* TTrafficScene::Charge(SnifferObject* cube, int32_t length, int64_t now) {
  if (!FClearedCubes.empty() && !QueuedBeforeClear() && FClearedCubes.erase(cube))
    cube->TTL = static_cast<float>(TimeToLive);
  cube->LastSeen = now;
  cube->ByteTotal += length;
  return cube;
}

SnifferObject* TTrafficScene::PrefetchCube(const std::string& ip) const {
  uint32_t address = 0;
  SnifferObject* cube = TCubeCache::PlainAddress(ip, address) ? FCubes.Find(address) : nullptr;
  if (cube) cube->PrefetchForPacket();
  return cube;
}

SnifferObject* TTrafficScene::FindCube(const std::string& ip) {
  uint32_t address = 0;
  if (!TCubeCache::PlainAddress(ip, address)) return FindCubeForIP(ip);
  if (SnifferObject* cube = FCubes.Find(address)) return cube;
  SnifferObject* cube = FindCubeForIP(ip);
  if (cube) FCubes.Insert(address, cube);
  return cube;
}

void TTrafficScene::ProcessPacket(const PKTinfo& given) {
  // One host, one cube: an address written with leading zeros ("010.30.0.1")
  // is the host of its number, and named as it is written without them.
  PKTinfo written;
  const bool rewrite = AddressHasLeadingZero(given.SrcIP) || AddressHasLeadingZero(given.DstIP);
  if (rewrite) {
    written = given;
    written.SrcIP = AddressText(given.SrcIP);
    written.DstIP = AddressText(given.DstIP);
  }
  const PKTinfo& info = rewrite ? written : given;
  TPacketFilters filters;
  if (Host) {
    filters.IgnoreARP = Host->IgnoreARPChecked();
    filters.IgnoreICMP = Host->IgnoreICMPChecked();
    filters.IgnoreIP = Host->IgnoreIPChecked();
  }
  if (PacketFiltered(info, filters)) return;
  // One clock read serves the cubes and the pipe a packet finds or makes.
  const int64_t now = Now();

  // The cubes of addresses seen before are read from memory while the info
  // line is made, not one after the other when each is needed.
  SnifferObject* srcSeen = PrefetchCube(info.SrcIP);
  SnifferObject* dstSeen = PrefetchCube(info.DstIP);
  const TInfoLine infoLine = MakeInfoLine(info.Line);  // one line, kept by the cube and the pipe
  if (srcSeen) srcSeen->InfoLines.PrefetchForAdd();
  if (srcSeen && dstSeen) FPipes.Prefetch(PipeKey(srcSeen->IPNumber, dstSeen->IPNumber));

  OBJinfo_Rec rec{info.SrcIP, info.PktLength};
  bool existed = false;
  // A cube found ahead is what GetOrCreateCube finds: nothing changed since.
  SnifferObject* src = srcSeen ? Charge(srcSeen, info.PktLength, now) : GetOrCreateCube(rec, existed, now);
  if (!src) {
    LogLineError("*ERR No SRC ");
    return;
  }
  src->AddInfoLine(infoLine);

  const bool broadcast = info.DstIP == "255.255.255.255";
  SnifferObject* dst = nullptr;
  if (!broadcast) {
    rec.IP = info.DstIP;
    try {
      // Still so when the source's cube was found, not made.
      dst = srcSeen && dstSeen ? Charge(dstSeen, info.PktLength, now) : GetOrCreateCube(rec, existed, now);
    } catch (const std::exception& e) {
      LogLineError({std::string("*ERR Add-DST-Objects") + e.what(), rec.IP});
    }
    if (!dst) {
      LogLineError("*ERR No DST ");
      return;
    }
  }
  src->LastEtherType = info.EtherTypeHex;
  src->LastProtocol = info.Protocol;
  src->LastSuffix = info.Suffix;
  if (broadcast) return;
  bool forward = true;
  MyCylinder* pipe = FindPipe(src->IPNumber, dst->IPNumber, forward);
  if (pipe) {
    pipe->PrefetchForPacket();
    pipe->InfoLines.PrefetchForAdd();
  }
  dst->LastEtherType = info.EtherTypeHex;
  dst->LastProtocol = info.Protocol;
  dst->LastSuffix = info.Suffix;

  if (pipe) {
    if (!pipe->SrcObject() || !pipe->DstObject())  // an end expired and came back
    {
      if (forward)
        pipe->SetEnds(src, dst);
      else
        pipe->SetEnds(dst, src);
      AlignPipe(pipe);  // the cube that came back may stand elsewhere
      ++FPipeChanges;
    }
    GrowPipe(pipe, info, infoLine, now);
  } else
    CreatePipe(info, src, dst, now);
}

MyCylinder* TTrafficScene::CreatePipe(const PKTinfo& info, SnifferObject* src, SnifferObject* dst, int64_t now) {
  auto* pipe = NewTrafficObject<MyCylinder>(FConnections);
  try {
    pipe->Material()->TextureEx()->Add();
    pipe->SetEnds(src, dst);
    pipe->SrcPortText = info.SrcPort;
    pipe->DstPortText = info.DstPort;
    if (Host && Host->HideBelowThresholdChecked()) pipe->SetVisible(false);
    pipe->SetTag(0);
    pipe->SetSlices(4);
    pipe->SetParts(TCylinderParts{cySides});
    pipe->SetStacks(4);
    pipe->PacketCount = 0;
    pipe->StallCount = 0;
    SetPipeName(FConnections, pipe, "MYC" + std::to_string(src->IPNumber) + std::to_string(dst->IPNumber));
    pipe->TTL = static_cast<float>(TimeToLive);
    const TVector4f a = src->AbsolutePosition();
    const TVector4f b = dst->AbsolutePosition();
    const float h =
        std::sqrt((a[0] - b[0]) * (a[0] - b[0]) + (a[1] - b[1]) * (a[1] - b[1]) + (a[2] - b[2]) * (a[2] - b[2]));
    pipe->SetHeight(h);
    pipe->SetAbsolutePosition(a);
    pipe->MoveAlongDirection(h / 2);
    pipe->Align(a, b);
    pipe->Material()->FrontProperties()->Diffuse()->SetFromWinColor(0x64FF64);
    const bool arp = info.EtherTypeHex == "0806";
    const bool icmp = info.Protocol == "ICMP";
    if (arp || icmp) pipe->SetVisible(true);
    // The label is drawn when its upload's turn comes: a pipe waiting for it
    // holds no picture.
    if (arp) {
      pipe->SetLabelTexts("ARP", "65535", 4.0f, h);
      pipe->SetTopRadius(ArpPipeRadius);
      pipe->SetBottomRadius(ArpPipeRadius);
    } else if (info.EtherTypeHex == "0800" && !icmp) {
      pipe->SetLabelTexts(info.SrcPort, info.DstPort, 4.0f, h);
      pipe->SetTopRadius(IpPipeRadius);
      pipe->SetBottomRadius(IpPipeRadius);
    } else if (info.EtherTypeHex == "0800") {
      pipe->SetLabelTexts("ICMP", "65535", 4.0f, h);
      pipe->SetTopRadius(IcmpPipeRadius);
      pipe->SetBottomRadius(IcmpPipeRadius);
    }
    pipe->LastSeen = now;
    pipe->FirstSeen = pipe->LastSeen;
    pipe->ByteTotal = info.PktLength;
    pipe->Bps = 0;
  } catch (...) {
    delete pipe;
    throw;
  }
  const uint64_t key = PipeKey(src->IPNumber, dst->IPNumber);
  FPipes.Insert(key, pipe);
  FPipeKeys[pipe] = key;
  ++FPipeChanges;
  return pipe;
}

void TTrafficScene::AlignPipe(MyCylinder* pipe) {
  SnifferObject* src = pipe->SrcObject();
  SnifferObject* dst = pipe->DstObject();
  if (!src || !dst) return;
  pipe->Align(src->AbsolutePosition(), dst->AbsolutePosition());
  pipe->SetLabelHeight(pipe->Height());
}

void TTrafficScene::CubeMoved(SnifferObject* cube) {
  if (cube != FEndsOf || FEndsFound != FPipeChanges) {
    FEnds.clear();
    for (int i = 0; i < FConnections->Count(); ++i) {
      TGLBaseSceneObject* o = FConnections->Children(i);
      if (o->ClassType() != MyCylinder::StaticClass()) continue;
      auto* pipe = static_cast<MyCylinder*>(o);
      if (pipe->SrcObject() == cube || pipe->DstObject() == cube) FEnds.push_back(pipe);
    }
    FEndsOf = cube;
    FEndsFound = FPipeChanges;
  }
  for (MyCylinder* pipe : FEnds) AlignPipe(pipe);
}

void TTrafficScene::GrowPipe(MyCylinder* pipe, const PKTinfo& info, const TInfoLine& infoLine, int64_t now) {
  if (info.SrcPort != pipe->SrcPortText && info.SrcPort != pipe->DstPortText) {
    pipe->SrcPortText = info.SrcPort;
    pipe->DstPortText = info.DstPort;
    if (info.EtherTypeHex == "0800") pipe->SetLabelTexts(info.SrcPort, info.DstPort, 4.0f, pipe->Height());
  }
  pipe->LastSeen = now;
  const float r = pipe->TopRadius();
  if (!(r >= MaxPipeRadius)) {
    pipe->SetTopRadius(r + IpPipeRadius / 2);
    pipe->SetBottomRadius(r + IpPipeRadius / 2);
  }
  pipe->Turn(PipeTurnAngle);
  pipe->ByteTotal += info.PktLength;
  pipe->PacketCount += 1;
  if (pipe->PacketCount >= PipeThreshold) pipe->SetVisible(true);
  pipe->AddInfoLine(infoLine);
}

void TTrafficScene::SaveObjectPosition(SnifferObject* cube) {
  const float x = cube->Position()->X(), y = cube->Position()->Y(), z = cube->Position()->Z();
  // The addresses the cube stands for: a group cube its range, a cube of a
  // profile its own address, any other cube its /24 block.
  using TKind = THostProfiles::TCubeKind;
  const TKind kind = cube->Parent() == FGroups                              ? TKind::Group
                     : SameText(cube->ObjName, CubeNameFor(cube->IP, true)) ? TKind::Host
                                                                            : TKind::Block;
  const uint32_t lo = kind == TKind::Group  ? cube->IPmin
                      : kind == TKind::Host ? cube->IPNumber
                                            : cube->IPNumber & 0xFFFFFF00u;
  const uint32_t hi = kind == TKind::Group  ? cube->IPmax
                      : kind == TKind::Host ? cube->IPNumber
                                            : cube->IPNumber | 0xFFu;
  std::string told;
  const PCOBJinfo* holder = FProfiles.KeepPlace(cube->IP, lo, hi, kind, x, y, z, told);
  const bool kept = holder != nullptr;
  if (holder) {
    // From now on the cube is what the profiles make of it after a restart:
    // a "fixed" one of that section, whose later drops are kept too.
    cube->NetType = holder->NetType;
    cube->ProfileName = holder->Section;
    cube->IPmin = holder->IPmin;
    cube->IPmax = holder->IPmax;
  }
  LogToPktData("SaveObjectPosition " + cube->Name() + " at X=" + FloatToStr(x) + " Y=" + FloatToStr(y) +
               " Z=" + FloatToStr(z) + (kept ? " " : " not saved: ") + told);
}

void TTrafficScene::SaveSelectedObject() {
  try {
    if (!SelectedObject) return;
    if (SelectedObject->ClassType() != SnifferObject::StaticClass()) throw EInvalidCast("Invalid class typecast");
    SaveObjectPosition(static_cast<SnifferObject*>(SelectedObject));
  } catch (const std::exception& e) {
    LogToPktData(std::string("SaveSelectedObject ") + e.what());
  }
}

// The allocator keeps what thousands of freed cubes, pipes, labels and
// textures leave behind as free blocks between live ones; after a mass expiry,
// or once the scene is empty, that memory goes back to the system. It is
// trimmed one check later: the driver lets go of the textures of freed objects
// only when the next frames are drawn.
void TTrafficScene::GiveBackFreedMemory() {
  if (FTrimDue) {
    FTrimDue = false;
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
  }
  constexpr int kManyFreed = 1000;
  const bool empty = FPCs->Count() == 0 && FGroups->Count() == 0 && FConnections->Count() == 0;
  if (empty && FFreedSinceRenewal >= kManyFreedForRenewal) {
    FFreedSinceRenewal = 0;
    DropUnusedFaces();
    if (OnEmptiedAfterMassExpiry) OnEmptiedAfterMassExpiry();
    FTrimDue = true;  // at the next check, once the driver let go
  }
  if (FFreedSinceTrim >= kManyFreed || (empty && FFreedSinceTrim > 0)) {
    FFreedSinceTrim = 0;
    FTrimDue = true;
  }
}

void TTrafficScene::RemoveOldObjects(TGLBaseSceneObject* parent, TClass cls) {
  try {
    // The marked children leave the child list in one pass, then are freed
    // in order: the same result as freeing one by one, in linear time.
    std::vector<TGLBaseSceneObject*> marked;
    for (int i = 0; i < parent->Count(); ++i) {
      TGLBaseSceneObject* c = parent->Children(i);
      if (c->ClassType() == cls && c->Tag() == 1) marked.push_back(c);
    }
    if (marked.empty()) return;
    ++FPipeChanges;  // a freed pipe or cube may be among the ends kept
    parent->RemoveChildren(marked);
    bool cached = false;
    for (TGLBaseSceneObject* c : marked)
      if (c->ClassType() == SnifferObject::StaticClass())
        if (auto* cube = static_cast<SnifferObject*>(c); cube->Cache) {
          cube->Cache = nullptr;
          cached = true;
        }
    if (cached) FCubes.Sweep();
    for (TGLBaseSceneObject* c : marked) {
      if (c == SelectedObject) {
        SelectedObject = nullptr;
        // The event log gets its own bound back.
        QPlainTextEdit* memo =
            c->ClassType() == MyCylinder::StaticClass()      ? static_cast<MyCylinder*>(c)->InfoMemo.data()
            : c->ClassType() == SnifferObject::StaticClass() ? static_cast<SnifferObject*>(c)->InfoMemo.data()
                                                             : nullptr;
        if (memo) memo->setMaximumBlockCount(ObjInfoMaxLines);
        if (Host) Host->ShowSelectionInfo(false);
      }
      if (!FClearedCubes.empty() && c->ClassType() == SnifferObject::StaticClass())
        FClearedCubes.erase(static_cast<SnifferObject*>(c));
      if (auto it = FPipeKeys.find(c); it != FPipeKeys.end()) {
        FPipes.Erase(it->second);
        FPipeKeys.erase(it);
      }
      delete c;
      ++FFreedSinceTrim;
      ++FFreedSinceRenewal;
    }
  } catch (const std::exception& e) {
    LogToPktData(std::string("RemoveOldObjects ") + e.what());
  }
}

void TTrafficScene::Timer_ChkLifeTimer() {
  const int64_t now = Now();
  if (SelectedObject) {
    if (NameStartsWith(SelectedObject->Name(), "IP") && SelectedObject->ClassType() == SnifferObject::StaticClass())
      static_cast<SnifferObject*>(SelectedObject)->LastSeen = now;
    else if (NameStartsWith(SelectedObject->Name(), "MYC") && SelectedObject->ClassType() == MyCylinder::StaticClass())
      static_cast<MyCylinder*>(SelectedObject)->LastSeen = now;
  }
  const bool ignoreTimeOut = Host && Host->IgnoreTimeOutChecked();

  int cubes = 0;
  for (int i = 0; i < FPCs->Count(); ++i) {
    TGLBaseSceneObject* o = FPCs->Children(i);
    if (o->ClassType() != SnifferObject::StaticClass()) continue;
    auto* c = static_cast<SnifferObject*>(o);
    ++cubes;
    UpdateBandwidth(*c, now, PerfFrequency);
    if (!ignoreTimeOut && IdleExpired(c->LastSeen, now, PerfFrequency, c->TTL)) c->SetTag(1);
  }

  int pipes = 0;
  double total = 0;
  for (int i = 0; i < FConnections->Count(); ++i) {
    TGLBaseSceneObject* o = FConnections->Children(i);
    if (o->ClassType() != MyCylinder::StaticClass()) continue;
    auto* p = static_cast<MyCylinder*>(o);
    ++pipes;
    total += UpdateBandwidth(*p, now, PerfFrequency);
    if (PipeStalled(p->LastSeen, now, PerfFrequency, StallSeconds, p->PacketCount, p->StallCount)) p->SetTag(1);
    if (IdleExpired(p->LastSeen, now, PerfFrequency, p->TTL)) p->SetTag(1);
  }

  int groups = 0;
  for (int i = 0; i < FGroups->Count(); ++i) {
    TGLBaseSceneObject* o = FGroups->Children(i);
    if (o->ClassType() != SnifferObject::StaticClass()) continue;
    auto* c = static_cast<SnifferObject*>(o);
    ++groups;
    if (!ignoreTimeOut && IdleExpired(c->LastSeen, now, PerfFrequency, c->TTL)) c->SetTag(1);
  }

  const int point = FChart.Next();
  if (Host) {
    Host->SetCountCaptions("Cubes=" + std::to_string(cubes), "Pipes=" + std::to_string(pipes),
                           "Groups=" + std::to_string(groups));
    Host->SetTotalBandwidthCaption("Tbps " + FormatThousands(total));
    Host->SetChartPoint(point, total);
  }
  RemoveOldObjects(FConnections, MyCylinder::StaticClass());
  RemoveOldObjects(FPCs, SnifferObject::StaticClass());
  RemoveOldObjects(FGroups, SnifferObject::StaticClass());
  GiveBackFreedMemory();
}

void TTrafficScene::ExpireAllCubes(int64_t lastQueuedBefore) {
  // The one-second life is for the cubes that are idle now; one that gets
  // traffic queued after the click lives by the Time To Live once more
  // (Charge). Traffic queued before it, still processed after it, keeps a
  // cube by that second only.
  FClearedUpTo = std::max(FClearedUpTo, lastQueuedBefore);
  for (TGLDummyCube* parent : {FPCs, FGroups})
    for (int i = 0; i < parent->Count(); ++i)
      if (parent->Children(i)->ClassType() == SnifferObject::StaticClass()) {
        auto* cube = static_cast<SnifferObject*>(parent->Children(i));
        cube->TTL = 1.0f;
        FClearedCubes.insert(cube);
      }
  if (Host && Host->IgnoreTimeOutChecked())
    LogObjInfo("Clear: IgnoreTimeOut is checked, no cube expires until it is unchecked");
  RemoveOldObjects(FPCs, SnifferObject::StaticClass());
  RemoveOldObjects(FGroups, SnifferObject::StaticClass());
}

void TTrafficScene::AddProfileCubes() {
  const std::vector<PCOBJinfo> profiles = FProfiles.PCinfoArray();
  for (const PCOBJinfo& p : profiles) {
    try {
      PKTinfo info;
      info.SrcIP = p.IP;
      info.EtherTypeHex = "IP";
      info.DstIP = "255.255.255.255";
      info.PktLength = 60;
      info.Line = "N/A";
      ProcessPacket(info);
    } catch (const std::exception& e) {
      LogToPktData("AddProfileCubes [" + p.Section + "] IP=" + p.IP + " " + e.what());
    }
  }
}

void TTrafficScene::CreateCubesByIPs(const std::string& startIP, const std::string& count, const std::string& steps) {
  int o[4] = {192, 168, 25, 0};
  const TSplitArray parts = Split(startIP, ".");
  // As an address is read everywhere else: a fifth piece is no part of it.
  if (std::count(startIP.begin(), startIP.end(), '.') > 3)
    throw ERangeError("'" + ShownText(startIP, ' ', MaxQuotedText) + "' is not an address: more than four pieces");
  for (size_t i = 0; i < parts.size() && i < 4; ++i) o[i] = StrToInt(parts[i]);
  int s[4] = {0, 0, 0, 0};
  const TSplitArray stepParts = Split(steps, ",");
  for (size_t i = 0; i < stepParts.size(); ++i) {
    if (i >= 4) throw ERangeError("Range check error");
    s[i] = std::clamp(StrToInt(stepParts[i]), 0, 255);
  }
  (void)StrToInt(count);
  int& a = o[0];
  int& b = o[1];
  int& c = o[2];
  int& d = o[3];
  for (;;) {
    bool existed = false;
    GetOrCreateCube(
        OBJinfo_Rec{std::to_string(a) + "." + std::to_string(b) + "." + std::to_string(c) + "." + std::to_string(d), 1},
        existed);
    if (OnLayoutStep) OnLayoutStep();
    bool ended = false;
    d += s[3];
    if (d > 255 || s[3] == 0) {
      d = 0;
      c += s[2];
      if (c > 255 || s[2] == 0) {
        c = 0;
        b += s[1];
        if (b > 255 || s[1] == 0) {
          b = 0;
          a += s[0];
          if (a > 255 || s[0] == 0) {
            a = 0;
            ended = true;
          }
        }
      }
    }
    if (ended || StopCubeLayout) break;
  }
}

#pragma once
// Traffic into scene objects: packet processing (cubes and pipes), host cube
// creation and placement, lifetime and bandwidth checks, and the main window's
// test commands. Main thread only. Works without a GL context.

#include "app/Bandwidth.h"
#include "app/HostProfiles.h"
#include "app/PacketParse.h"
#include "rtl/System.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <unordered_map>
#include <string>
#include <utility>
#include <vector>

class TBitmap;
class TGLBaseSceneObject;
class TGLDummyCube;
class TViewHost;
class SnifferObject;
class MyCylinder;

// Pipes by the address numbers of their ends, (source << 32) | destination.
// Every packet looks its pipe up, often in both directions: an open-addressing
// table answers, a miss included, mostly from one cache line.
class TPipeTable
{
public:
    MyCylinder* Find(uint64_t key) const;
    void Insert(uint64_t key, MyCylinder* pipe);  // a key not held yet
    void Erase(uint64_t key);

private:
    struct TSlot
    {
        uint64_t Key = 0;
        MyCylinder* Pipe = nullptr;  // nullptr: free
    };
    size_t Home(uint64_t key) const { return size_t((key * 0x9E3779B97F4A7C15ull) >> 32) & (FSlots.size() - 1); }

    std::vector<TSlot> FSlots;
    size_t FCount = 0;
};

class TTrafficScene
{
public:
    // `pcs`, `groups` and `connections` are the dummy cubes that hold the
    // cubes and pipes; they outlive this object.
    TTrafficScene(TGLDummyCube* pcs, TGLDummyCube* groups, TGLDummyCube* connections);
    ~TTrafficScene();

    TViewHost* Host = nullptr;
    std::function<int64_t()> Now;  // performance counter
    int64_t PerfFrequency = 1000000000;

    // Pipe settings.
    float ArpPipeRadius = 0.2f;
    float IcmpPipeRadius = 0.2f;
    float IpPipeRadius = 0.09f;
    float MaxPipeRadius = 0.45f;
    float PipeTurnAngle = 0.5f;
    int StallSeconds = 5;

    THostProfiles& Profiles() { return FProfiles; }
    void LoadPCinfoToArry();  // from "SnifferPCsInfo.ini" of the program folder

    void ProcessPacket(const PKTinfo& info);
    // Parses and processes one queued line (the queue's per-line step).
    void ProcessLine(const std::string& line);

    SnifferObject* FindCubeForIP(const std::string& ip);
    SnifferObject* GetOrCreateCube(const OBJinfo_Rec& info, bool& existed);
    MyCylinder* FindPipe(uint32_t a, uint32_t b) const;

    // Gives the cube the label picture "Images/<text>.bmp", drawn and saved
    // there when missing; kept in memory when "Images" cannot be written.
    void MakeTextTexture(SnifferObject* cube, const std::string& text, uint32_t colour);
    // Shows the cube's picture: "Images/" + its Texture, or the label of that
    // name kept in memory. False when there is neither.
    bool LoadFace(SnifferObject* cube);
    void SaveObjectPosition(SnifferObject* cube);
    void SaveSelectedObject();

    // The 500 ms check: bandwidth, expiry, counts, chart, removal.
    void Timer_ChkLifeTimer();
    void RemoveOldObjects(TGLBaseSceneObject* parent, TClass cls);
    void ExpireAllCubes();
    TChartRing& Chart() { return FChart; }

    void AddProfileCubes();
    void CreateCubesByIPs(const std::string& startIP, const std::string& count,
                          const std::string& steps);
    // Called after each cube of a test layout (the window pumps messages there).
    std::function<void()> OnLayoutStep;

    TGLBaseSceneObject* SelectedObject = nullptr;
    TGLDummyCube* PCs() const { return FPCs; }
    TGLDummyCube* Groups() const { return FGroups; }
    TGLDummyCube* Connections() const { return FConnections; }

    // The "Images" folder of the program (found case-insensitively, made when missing).
    static std::string ImagesDir();

private:
    void GiveBackFreedMemory();
    MyCylinder* CreatePipe(const PKTinfo& info, SnifferObject* src, SnifferObject* dst);
    void GrowPipe(MyCylinder* pipe, const PKTinfo& info, const std::string& infoLine);

    TGLDummyCube* FPCs;
    TGLDummyCube* FGroups;
    TGLDummyCube* FConnections;
    THostProfiles FProfiles;
    TChartRing FChart;
    // Pipes by the address numbers of their ends (source, destination), and back.
    TPipeTable FPipes;
    std::unordered_map<const TGLBaseSceneObject*, uint64_t> FPipeKeys;
    // Labels that could not be saved in "Images", by file name (at most
    // MaxKeptLabels; the names come from the profile and computer-name files).
    static constexpr size_t MaxKeptLabels = 1024;
    std::unordered_map<std::string, std::unique_ptr<TBitmap>> FKeptLabels;
    int FFreedSinceTrim = 0;
    bool FTrimDue = false;
};

bool NameStartsWith(const std::string& name, const char* prefix);

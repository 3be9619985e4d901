// A traffic scene on the program folder's profiles, as the 3D view makes it at start (test aid).
#pragma once

#include <array>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Source/Objects/GLObjects.h"
#include "Source/Scene/GLSceneGraph.h"
#include "app/SnifferObject.h"
#include "app/TrafficScene.h"

struct TTrafficViewFixture {
  using TPlace = std::array<float, 3>;

  TGLSceneGraph scene{nullptr};
  TGLDummyCube* pcs = scene.Objects()->AddNewChild<TGLDummyCube>();
  TGLDummyCube* groups = scene.Objects()->AddNewChild<TGLDummyCube>();
  TGLDummyCube* connections = scene.Objects()->AddNewChild<TGLDummyCube>();
  std::unique_ptr<TTrafficScene> traffic = std::make_unique<TTrafficScene>(pcs, groups, connections);

  static std::string BroadcastFrom(const std::string& ip) {
    return "t\tm1\tm2\t0800\t60\t" + ip + "\t1025\t255.255.255.255\t80\tTCP\tTCP-IP";
  }
  // Each address's cube (made or charged by a broadcast from it) and where it stands.
  std::map<std::string, TPlace> Places(const std::vector<std::string>& ips) {
    std::map<std::string, TPlace> at;
    for (const std::string& ip : ips) {
      traffic->ProcessLine(BroadcastFrom(ip));
      const SnifferObject* c = traffic->FindCubeForIP(ip);
      at[ip] = {c->Position()->X(), c->Position()->Y(), c->Position()->Z()};
    }
    return at;
  }
  // Moves the address's cube and keeps its place with "Save Object".
  void MoveAndSave(const std::string& ip, float x, float y, float z) {
    SnifferObject* cube = traffic->FindCubeForIP(ip);
    cube->Position()->SetXYZAsPoint(x, y, z);
    traffic->SelectedObject = cube;
    traffic->SaveSelectedObject();
    traffic->SelectedObject = nullptr;
  }
};

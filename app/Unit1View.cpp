// Connects the main window's commands to the 3D window. Kept apart so that the
// main window (and its tests) run without the 3D window unit.
#include "app/Unit1.h"
#include "app/Unit2_3D.h"
#include "app/Unit_Globals.h"

void Link3DView() {
  TViewLink& L = ViewLink();
  L.Create = [](TForm1* Main) -> QWidget* {
    Form2_3D = new TForm2_3D(Main, nullptr, 32000);
    Form2_3D->setObjectName("Form2_3D");
    SetPacketTickBar(Form2_3D->ProgressBar1());
    return Form2_3D;
  };
  L.LoadPCinfoToArry = [] { if (Form2_3D) Form2_3D->LoadPCinfoToArry(); };
  L.AddProfileCubes = [] { if (Form2_3D) Form2_3D->AddProfileCubes(); };
  L.CreateCubesByIPs = [](const std::string& Start, const std::string& Count, const std::string& Steps) {
    if (Form2_3D) Form2_3D->CreateCubesByIPs(Start, Count, Steps);
  };
  L.ExpireAllCubes = [] { if (Form2_3D) Form2_3D->ExpireAllCubes(); };
  L.SaveSelectedObject = [] { if (Form2_3D) Form2_3D->SaveSelectedObject(); };
  L.AimCamera = [] { if (Form2_3D) Form2_3D->AimCamera(); };
  L.ResetCamera = [] { if (Form2_3D) Form2_3D->ResetCamera(); };
  L.SetPipeThreshold = [](int V) { PipeThreshold = V; };
  L.SetTimeToLive = [](int V) { TimeToLive = V; };
  L.SetStopCubeLayout = [](bool V) { StopCubeLayout = V; };
}

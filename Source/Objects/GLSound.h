// Sounds in the scene: libraries of named samples (sound files streamed inside the stored form),
// sound sources that describe what plays where, an abstract manager driven by the frame clock that
// pushes source changes to an audio back end at a limited rate, and the emitter behaviour that
// attaches a source to a scene object. The base manager has no back end: its device operations
// do nothing.
//
// At most one manager is active in the process. GUI thread only.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Source/Scene/GLBehaviours.h"
#include "Source/Scene/GLMisc.h"
#include "Source/Objects/GLSoundFileObjects.h"

class TGLBaseSceneObject;
class TGLCadencer;
class TGLSoundLibrary;
class TGLSoundManager;
class TGLBSoundEmitter;

class TGLSoundSample : public TCollectionItem {
  RTL_CLASS(TGLSoundSample, TCollectionItem)
 public:
  explicit TGLSoundSample(TCollection* Collection);
  ~TGLSoundSample() override;
  // Name, and a copy of the other's data.
  void Assign(TPersistent* Source) override;
  // "BinData": an Int32 n, n bytes of the data's class name, then the file's own bytes.
  void DefineProperties(TFiler* Filer) override;
  // "<name> (<Hz> Hz, <bits> bits, <n> channel[s], <sec> sec)" or "<name> (empty)".
  std::string GetDisplayName() override;

  const std::string& Name() const noexcept { return name_; }
  void SetName(const std::string& Value) { name_ = Value; }
  TGLSoundFile* Data() const noexcept { return data_.get(); }
  // Stores a copy owned by the sample (nullptr clears).
  void SetData(const TGLSoundFile* Value);
  float DurationSeconds() const;

 private:
  void ReadBinData(TStream* Stream);
  void WriteBinData(TStream* Stream);
  std::string name_;
  std::unique_ptr<TGLSoundFile> data_;
};

class TGLSoundSamples : public TCollection {
  RTL_CLASS(TGLSoundSamples, TCollection)
 public:
  explicit TGLSoundSamples(TComponent* AOwner);
  TPersistent* GetOwner() override { return owner_; }
  TGLSoundSample* Items(int Index) const { return ItemAs<TGLSoundSample>(Index); }
  TGLSoundSample* Add() { return AddAs<TGLSoundSample>(); }

 private:
  TComponent* owner_;
};

class TGLSoundLibrary : public TComponent {
  RTL_CLASS(TGLSoundLibrary, TComponent)
 public:
  // Joins the process-wide list of libraries; sources that refer to it forget it when it goes.
  explicit TGLSoundLibrary(TComponent* AOwner);
  ~TGLSoundLibrary() override;
  TGLSoundSamples* Samples() const noexcept { return samples_.get(); }
  void SetSamples(TGLSoundSamples* Value) { samples_->Assign(Value); }

 private:
  std::unique_ptr<TGLSoundSamples> samples_;
};

// The library of that component name (exact), nullptr when none.
TGLSoundLibrary* FindSoundLibrary(const std::string& AName);

// What changed since the back end last applied a source.
enum TGLSoundSourceChange : uint8_t { sscTransformation, sscSample, sscStatus };
using TGLSoundSourceChanges = TSet<TGLSoundSourceChange>;
constexpr TGLSoundSourceChanges AllSoundSourceChanges{sscTransformation, sscSample, sscStatus};

class TGLBaseSoundSource : public TCollectionItem {
  RTL_CLASS(TGLBaseSoundSource, TCollectionItem)
 public:
  explicit TGLBaseSoundSource(TCollection* Collection);
  ~TGLBaseSoundSource() override;
  // Everything but the change set, which becomes complete.
  void Assign(TPersistent* Source) override;
  std::string GetDisplayName() override { return soundName_; }
  // Integer 0, Priority, six floats, library name, SoundName, Mute, Pause, NbLoops.
  void WriteToFiler(TWriter* Writer);
  void ReadFromFiler(TReader* Reader);

  // The manager whose Sources hold this source, nullptr otherwise.
  TGLSoundManager* Manager() const;
  TGLBSoundEmitter* OwningEmitter() const noexcept { return owningEmitter_; }

  TGLSoundSourceChanges Changes() const noexcept { return changes_; }
  void SetChanges(TGLSoundSourceChanges v) noexcept { changes_ = v; }
  int Priority() const noexcept { return priority_; }
  void SetPriority(int Value);
  float Volume() const noexcept { return volume_; }
  void SetVolume(float Value);  // 0..1
  float MinDistance() const noexcept { return minDistance_; }
  void SetMinDistance(float Value);  // >= 0
  float MaxDistance() const noexcept { return maxDistance_; }
  void SetMaxDistance(float Value);  // >= 0
  float InsideConeAngle() const noexcept { return insideConeAngle_; }
  void SetInsideConeAngle(float Value);  // 0..360
  float OutsideConeAngle() const noexcept { return outsideConeAngle_; }
  void SetOutsideConeAngle(float Value);  // 0..360
  float ConeOutsideVolume() const noexcept { return coneOutsideVolume_; }
  void SetConeOutsideVolume(float Value);  // 0..1
  // Resolved by name when only the name is known.
  TGLSoundLibrary* SoundLibrary();
  void SetSoundLibrary(TGLSoundLibrary* Value);
  const std::string& SoundLibraryName() const noexcept { return soundLibraryName_; }
  const std::string& SoundName() const noexcept { return soundName_; }
  void SetSoundName(const std::string& Value);
  bool Mute() const noexcept { return mute_; }
  void SetMute(bool Value);
  bool Pause() const noexcept { return pause_; }
  void SetPause(bool Value);
  int NbLoops() const noexcept { return nbLoops_; }
  void SetNbLoops(int Value);
  int Frequency() const noexcept { return frequency_; }
  void SetFrequency(int Value);
  // For the back end's own use.
  std::intptr_t ManagerTag() const noexcept { return managerTag_; }
  void SetManagerTag(std::intptr_t v) noexcept { managerTag_ = v; }

 protected:
  friend class TGLBSoundEmitter;
  friend class TGLSoundLibrary;
  void SetParam(float& field, float value);
  TGLBSoundEmitter* owningEmitter_ = nullptr;
  TGLBaseSceneObject* origin_ = nullptr;

 private:
  int priority_ = 0;
  float volume_ = 1.0f, minDistance_ = 1.0f, maxDistance_ = 100.0f;
  float insideConeAngle_ = 360.0f, outsideConeAngle_ = 360.0f, coneOutsideVolume_ = 0.0f;
  std::string soundLibraryName_;
  TGLSoundLibrary* soundLibrary_ = nullptr;
  std::string soundName_;
  bool mute_ = false, pause_ = false;
  TGLSoundSourceChanges changes_ = AllSoundSourceChanges;
  int nbLoops_ = 1;
  std::intptr_t managerTag_ = 0;
  int frequency_ = -1;
};

class TGLSoundSource : public TGLBaseSoundSource {
  RTL_CLASS(TGLSoundSource, TGLBaseSoundSource)
 public:
  explicit TGLSoundSource(TCollection* Collection);
  // Tells the emitter that plays it and the manager's ReleaseSource.
  ~TGLSoundSource() override;
  TGLBaseSceneObject* Origin() const noexcept { return origin_; }
  // Forgotten when the object is freed.
  void SetOrigin(TGLBaseSceneObject* Value);

 private:
  class TOriginWatch;
  std::unique_ptr<TOriginWatch> watch_;
};

class TGLSoundSources : public TCollection {
  RTL_CLASS(TGLSoundSources, TCollection)
 public:
  explicit TGLSoundSources(TComponent* AOwner);
  TPersistent* GetOwner() override { return owner_; }
  TGLSoundSource* Items(int Index) const { return ItemAs<TGLSoundSource>(Index); }
  TGLSoundSource* Add() { return AddAs<TGLSoundSource>(); }

 private:
  TComponent* owner_;
};

enum TGLSoundEnvironment : uint8_t {
  seDefault,
  sePaddedCell,
  seRoom,
  seBathroom,
  seLivingRoom,
  seStoneroom,
  seAuditorium,
  seConcertHall,
  seCave,
  seArena,
  seHangar,
  seCarpetedHallway,
  seHallway,
  seStoneCorridor,
  seAlley,
  seForest,
  seCity,
  seMountains,
  seQuarry,
  sePlain,
  seParkingLot,
  seSewerPipe,
  seUnderWater,
  seDrugged,
  seDizzy,
  sePsychotic
};

class TGLSoundManager : public TGLCadenceAbleComponent {
  RTL_CLASS(TGLSoundManager, TGLCadenceAbleComponent)
 public:
  explicit TGLSoundManager(TComponent* AOwner);
  // Deactivates. A back end that overrides the device operations must deactivate in its own
  // destructor, while its overrides still exist.
  ~TGLSoundManager() override;
  void Notification(TComponent* AComponent, TOperation Operation) override;
  void Loaded() override;
  void DefineProperties(TFiler* Filer) override;
  // Applies the sources when active and more than 1 / UpdateFrequency has passed.
  void DoProgress(const TProgressTimes& progressTime) override;

  virtual void ReleaseSource(TGLBaseSoundSource* aSource) {}
  // Clears the source's change set.
  virtual void ApplySource(TGLBaseSoundSource* aSource) { aSource->SetChanges({}); }
  virtual void MuteOneSource(TGLBaseSoundSource* aSource, bool mute) {}
  virtual void PauseOneSource(TGLBaseSoundSource* aSource, bool pause) {}
  // ApplySource for every source, last first.
  virtual void ApplySources();
  virtual float ProcessorLoadPercent() { return -1; }

  bool Active() const noexcept { return active_; }
  void SetActive(bool Value);
  bool Mute() const noexcept { return mute_; }
  void SetMute(bool Value);
  bool Pause() const noexcept { return pause_; }
  void SetPause(bool Value);
  float MasterVolume() const noexcept { return masterVolume_; }
  void SetMasterVolume(float Value);
  TGLBaseSceneObject* Listener() const noexcept { return listener_; }
  void SetListener(TGLBaseSceneObject* Value);
  TGLSoundSources* Sources() const noexcept { return sources_.get(); }
  void SetSources(TGLSoundSources* Value) { sources_->Assign(Value); }
  int MaxChannels() const noexcept { return maxChannels_; }
  void SetMaxChannels(int Value);
  int OutputFrequency() const noexcept { return outputFrequency_; }
  void SetOutputFrequency(int Value);
  float UpdateFrequency() const noexcept { return updateFrequency_; }
  void SetUpdateFrequency(float Value);
  float DistanceFactor() const noexcept { return distanceFactor_; }
  void SetDistanceFactor(float Value);
  float RollOffFactor() const noexcept { return rollOffFactor_; }
  void SetRollOffFactor(float Value);
  float DopplerFactor() const noexcept { return dopplerFactor_; }
  void SetDopplerFactor(float Value);
  TGLSoundEnvironment Environment() const noexcept { return environment_; }
  void SetEnvironment(TGLSoundEnvironment Value);
  TGLCadencer* Cadencer() const noexcept { return cadencer_; }
  void SetCadencer(TGLCadencer* Value);
  double LastUpdateTime() const noexcept { return lastUpdateTime_; }
  double LastDeltaTime() const noexcept { return lastDeltaTime_; }

 protected:
  virtual bool StartBackEnd() { return true; }
  virtual void StopBackEnd() {}
  virtual bool MuteAll();
  virtual void UnmuteAll();
  virtual bool PauseAll();
  virtual void ResumeAll();
  virtual void NotifyMasterVolumeChange() {}
  virtual void Notify3DFactorsChanged() {}
  virtual void NotifyEnvironmentChanged() {}

 private:
  bool active_ = false, mute_ = false, pause_ = false;
  float masterVolume_ = 1.0f;
  TGLBaseSceneObject* listener_ = nullptr;
  std::unique_ptr<TGLSoundSources> sources_;
  int maxChannels_ = 8;
  int outputFrequency_ = 44100;
  float updateFrequency_ = 10.0f;
  float distanceFactor_ = 1.0f, rollOffFactor_ = 1.0f, dopplerFactor_ = 1.0f;
  TGLSoundEnvironment environment_ = seDefault;
  double lastUpdateTime_ = -1e30;  // double: a single loses resolution after hours
  double lastDeltaTime_ = 0;
  TGLCadencer* cadencer_ = nullptr;
};

// The active manager, nullptr when none.
TGLSoundManager* ActiveSoundManager();

// Whether an emitter set playing without an active manager says so (on by default), and where
// it says it (an information message unless replaced).
inline bool vSoundEmitterWarnings = true;
inline void (*vSoundEmitterShowMessage)(const std::string& text) = nullptr;

class TGLBSoundEmitter : public TGLBehaviour {
  RTL_CLASS(TGLBSoundEmitter, TGLBehaviour)
 public:
  TGLBSoundEmitter();
  ~TGLBSoundEmitter() override;
  static std::string FriendlyName() { return "Sound Emitter"; }
  static std::string FriendlyDescription() { return "A simple sound emitter behaviour"; }

  void Assign(TPersistent* Source) override;
  // Base data, Integer 0, the source, then Playing.
  void WriteToFiler(TWriter* Writer) override;
  void ReadFromFiler(TReader* Reader) override;
  // Applies a stored Playing flag once the scene object has loaded.
  void OwnerLoaded() override;

  TGLSoundSource* Source() const noexcept { return source_.get(); }
  void SetSource(TGLSoundSource* Value) { source_->Assign(Value); }
  // Outside design time: whether a copy of Source plays on the active manager.
  bool Playing() const;
  void SetPlaying(bool Value);
  TGLSoundSource* PlayingSource() const noexcept { return playingSource_; }

 private:
  friend class TGLSoundSource;
  bool Designing() const;
  bool playing_ = false;
  std::unique_ptr<TGLSoundSource> source_;
  TGLSoundSource* playingSource_ = nullptr;  // an item of the active manager's Sources
};

// Registers the emitter behaviour, the library and the source classes.
void RegisterGLSoundClasses();
// Unit end: deactivates the active manager.
void FinalizeGLSound();

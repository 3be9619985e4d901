// Sound samples and libraries, sound sources, the frame-clock-driven sound manager and the emitter.
#include "Source/Objects/GLSound.h"

#include <algorithm>

#include "Source/Scene/GLCadencer.h"
#include "Source/Scene/GLCrossPlatform.h"
#include "Source/Scene/GLSceneGraph.h"
#include "rtl/Streaming.h"
#include "rtl/SysUtils.h"

namespace {

std::vector<TGLSoundLibrary*>& Libraries() {
  static std::vector<TGLSoundLibrary*> list;
  return list;
}

// Every live source, so that a library going away can be forgotten by the sources naming it.
std::vector<TGLBaseSoundSource*>& AllSources() {
  static std::vector<TGLBaseSoundSource*> list;
  return list;
}

TGLSoundManager* vActiveSoundManager = nullptr;

template <class T>
void Erase(std::vector<T*>& v, T* item) {
  v.erase(std::remove(v.begin(), v.end(), item), v.end());
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Samples and libraries

TGLSoundSample::TGLSoundSample(TCollection* Collection) : TCollectionItem(Collection) {}
TGLSoundSample::~TGLSoundSample() = default;

void TGLSoundSample::Assign(TPersistent* Source) {
  if (auto* other = dynamic_cast<TGLSoundSample*>(Source)) {
    name_ = other->name_;
    SetData(other->data_.get());
  } else {
    inherited::Assign(Source);
  }
}

void TGLSoundSample::SetData(const TGLSoundFile* Value) { data_.reset(Value ? Value->CreateCopy(this) : nullptr); }

float TGLSoundSample::DurationSeconds() const { return data_ ? data_->DurationSeconds() : 0.0f; }

std::string TGLSoundSample::GetDisplayName() {
  if (!data_) return Format("%s (empty)", name_);
  const TGLSoundSampling* s = data_->Sampling();
  return Format("%s (%d Hz, %d bits, %d channel%s, %.2f sec)", name_, s->Frequency(), s->BitsPerSample(),
                s->NbChannels(), std::string(s->NbChannels() >= 2 ? "s" : ""), double(DurationSeconds()));
}

void TGLSoundSample::DefineProperties(TFiler* Filer) {
  Filer->DefineBinaryProperty(
      "BinData", [this](TStream* s) { ReadBinData(s); }, [this](TStream* s) { WriteBinData(s); }, data_ != nullptr);
}

void TGLSoundSample::ReadBinData(TStream* Stream) {
  std::int32_t n = 0;
  ValueEncoding::ReadExact(*Stream, &n, 4);
  // A class name is short; anything else is a damaged stream, not an allocation to attempt.
  if (n <= 0 || n > 255 || n > ValueEncoding::BytesLeft(*Stream)) throw EReadError("Stream read error");
  std::string className(static_cast<std::size_t>(n), '\0');
  ValueEncoding::ReadExact(*Stream, className.data(), n);
  TClass cls = FindClass(className);
  if (!cls->InheritsFrom(TGLSoundFile::StaticClass())) throw EReadError("Invalid property value");
  std::unique_ptr<TGLSoundFile> file(static_cast<TGLSoundFile*>(cls->Create(this)));
  file->LoadFromStream(Stream);
  data_ = std::move(file);
}

void TGLSoundSample::WriteBinData(TStream* Stream) {
  const std::string& className = data_->ClassName();
  const std::int32_t n = static_cast<std::int32_t>(className.size());
  Stream->WriteBuffer(&n, 4);
  Stream->WriteBuffer(className.data(), n);
  data_->SaveToStream(Stream);
}

TGLSoundSamples::TGLSoundSamples(TComponent* AOwner) : TCollection(TGLSoundSample::StaticClass()), owner_(AOwner) {}

TGLSoundLibrary::TGLSoundLibrary(TComponent* AOwner)
    : TComponent(AOwner), samples_(std::make_unique<TGLSoundSamples>(this)) {
  Libraries().push_back(this);
}

TGLSoundLibrary::~TGLSoundLibrary() {
  Erase(Libraries(), this);
  for (TGLBaseSoundSource* source : AllSources())
    if (source->soundLibrary_ == this) source->soundLibrary_ = nullptr;  // the name stays
}

TGLSoundLibrary* FindSoundLibrary(const std::string& AName) {
  for (TGLSoundLibrary* lib : Libraries())
    if (lib->Name() == AName) return lib;
  return nullptr;
}

// ---------------------------------------------------------------------------------------------
// Sources

TGLBaseSoundSource::TGLBaseSoundSource(TCollection* Collection) : TCollectionItem(Collection) {
  AllSources().push_back(this);
}

TGLBaseSoundSource::~TGLBaseSoundSource() { Erase(AllSources(), this); }

TGLSoundManager* TGLBaseSoundSource::Manager() const {
  return Collection() ? dynamic_cast<TGLSoundManager*>(Collection()->GetOwner()) : nullptr;
}

void TGLBaseSoundSource::Assign(TPersistent* Source) {
  auto* other = dynamic_cast<TGLBaseSoundSource*>(Source);
  if (!other) {
    inherited::Assign(Source);
    return;
  }
  priority_ = other->priority_;
  origin_ = nullptr;
  volume_ = other->volume_;
  minDistance_ = other->minDistance_;
  maxDistance_ = other->maxDistance_;
  insideConeAngle_ = other->insideConeAngle_;
  outsideConeAngle_ = other->outsideConeAngle_;
  coneOutsideVolume_ = other->coneOutsideVolume_;
  soundLibraryName_ = other->soundLibraryName_;
  soundLibrary_ = other->soundLibrary_;
  soundName_ = other->soundName_;
  mute_ = other->mute_;
  pause_ = other->pause_;
  nbLoops_ = other->nbLoops_;
  frequency_ = other->frequency_;
  changes_ = AllSoundSourceChanges;
  auto* self = dynamic_cast<TGLSoundSource*>(this);
  auto* from = dynamic_cast<TGLSoundSource*>(other);
  if (self) self->SetOrigin(from ? from->Origin() : nullptr);
}

void TGLBaseSoundSource::WriteToFiler(TWriter* Writer) {
  Writer->WriteInteger(0);
  Writer->WriteInteger(priority_);
  Writer->WriteFloat(volume_);
  Writer->WriteFloat(minDistance_);
  Writer->WriteFloat(maxDistance_);
  Writer->WriteFloat(insideConeAngle_);
  Writer->WriteFloat(outsideConeAngle_);
  Writer->WriteFloat(coneOutsideVolume_);
  Writer->WriteString(soundLibrary_ ? soundLibrary_->Name() : soundLibraryName_);
  Writer->WriteString(soundName_);
  Writer->WriteBoolean(mute_);
  Writer->WriteBoolean(pause_);
  Writer->WriteInteger(nbLoops_);
}

void TGLBaseSoundSource::ReadFromFiler(TReader* Reader) {
  Reader->ReadInteger();  // version
  priority_ = Reader->ReadInteger();
  volume_ = float(Reader->ReadFloat());
  minDistance_ = float(Reader->ReadFloat());
  maxDistance_ = float(Reader->ReadFloat());
  insideConeAngle_ = float(Reader->ReadFloat());
  outsideConeAngle_ = float(Reader->ReadFloat());
  coneOutsideVolume_ = float(Reader->ReadFloat());
  soundLibraryName_ = Reader->ReadString();
  soundLibrary_ = nullptr;  // resolved by name when asked for
  soundName_ = Reader->ReadString();
  mute_ = Reader->ReadBoolean();
  pause_ = Reader->ReadBoolean();
  nbLoops_ = Reader->ReadInteger();
  changes_ = AllSoundSourceChanges;
}

void TGLBaseSoundSource::SetParam(float& field, float value) {
  if (value == field) return;
  field = value;
  changes_ += sscStatus;
}

void TGLBaseSoundSource::SetPriority(int Value) {
  if (Value == priority_) return;
  priority_ = Value;
  changes_ += sscStatus;
}

void TGLBaseSoundSource::SetVolume(float Value) { SetParam(volume_, std::clamp(Value, 0.0f, 1.0f)); }
void TGLBaseSoundSource::SetMinDistance(float Value) { SetParam(minDistance_, std::max(Value, 0.0f)); }
void TGLBaseSoundSource::SetMaxDistance(float Value) { SetParam(maxDistance_, std::max(Value, 0.0f)); }
void TGLBaseSoundSource::SetInsideConeAngle(float Value) {
  SetParam(insideConeAngle_, std::clamp(Value, 0.0f, 360.0f));
}
void TGLBaseSoundSource::SetOutsideConeAngle(float Value) {
  SetParam(outsideConeAngle_, std::clamp(Value, 0.0f, 360.0f));
}
void TGLBaseSoundSource::SetConeOutsideVolume(float Value) {
  SetParam(coneOutsideVolume_, std::clamp(Value, 0.0f, 1.0f));
}

void TGLBaseSoundSource::SetFrequency(int Value) {
  if (Value == frequency_) return;
  frequency_ = Value;
  changes_ += sscStatus;
}

TGLSoundLibrary* TGLBaseSoundSource::SoundLibrary() {
  if (!soundLibrary_ && !soundLibraryName_.empty()) soundLibrary_ = FindSoundLibrary(soundLibraryName_);
  return soundLibrary_;
}

void TGLBaseSoundSource::SetSoundLibrary(TGLSoundLibrary* Value) {
  if (Value == soundLibrary_) return;
  soundLibrary_ = Value;
  soundLibraryName_ = Value ? Value->Name() : std::string();
  changes_ += sscSample;
}

void TGLBaseSoundSource::SetSoundName(const std::string& Value) {
  if (Value == soundName_) return;
  soundName_ = Value;
  changes_ += sscSample;
}

void TGLBaseSoundSource::SetNbLoops(int Value) {
  if (Value == nbLoops_) return;
  nbLoops_ = Value;
  changes_ += sscSample;
}

void TGLBaseSoundSource::SetMute(bool Value) {
  if (Value == mute_) return;
  mute_ = Value;
  if (TGLSoundManager* m = Manager()) m->MuteOneSource(this, Value);
}

void TGLBaseSoundSource::SetPause(bool Value) {
  if (Value == pause_) return;
  pause_ = Value;
  if (TGLSoundManager* m = Manager()) m->PauseOneSource(this, Value);
}

// Forgets the origin when that object is freed.
class TGLSoundSource::TOriginWatch : public TComponent {
 public:
  explicit TOriginWatch(TGLSoundSource* source) : TComponent(nullptr), source_(source) {}
  void Notification(TComponent* AComponent, TOperation Operation) override {
    if (Operation == opRemove && AComponent == source_->origin_) {
      source_->origin_ = nullptr;
      source_->SetChanges(source_->Changes() + sscTransformation);
    }
    TComponent::Notification(AComponent, Operation);
  }

 private:
  TGLSoundSource* source_;
};

TGLSoundSource::TGLSoundSource(TCollection* Collection)
    : TGLBaseSoundSource(Collection), watch_(std::make_unique<TOriginWatch>(this)) {}

TGLSoundSource::~TGLSoundSource() {
  if (owningEmitter_ && owningEmitter_->playingSource_ == this) owningEmitter_->playingSource_ = nullptr;
  owningEmitter_ = nullptr;
  if (TGLSoundManager* m = Manager()) m->ReleaseSource(this);
  if (origin_) origin_->RemoveFreeNotification(watch_.get());
}

void TGLSoundSource::SetOrigin(TGLBaseSceneObject* Value) {
  if (Value == origin_) return;
  if (origin_) origin_->RemoveFreeNotification(watch_.get());
  origin_ = Value;
  if (origin_) origin_->FreeNotification(watch_.get());
  SetChanges(Changes() + sscTransformation);
}

TGLSoundSources::TGLSoundSources(TComponent* AOwner) : TCollection(TGLSoundSource::StaticClass()), owner_(AOwner) {}

// ---------------------------------------------------------------------------------------------
// Manager

TGLSoundManager* ActiveSoundManager() { return vActiveSoundManager; }

TGLSoundManager::TGLSoundManager(TComponent* AOwner)
    : TGLCadenceAbleComponent(AOwner), sources_(std::make_unique<TGLSoundSources>(this)) {}

TGLSoundManager::~TGLSoundManager() {
  try {
    SetActive(false);
  } catch (...) {
    // A back end failing to stop must not escape a destructor.
  }
  if (vActiveSoundManager == this) vActiveSoundManager = nullptr;
  SetListener(nullptr);
  SetCadencer(nullptr);
  sources_.reset();
}

void TGLSoundManager::Notification(TComponent* AComponent, TOperation Operation) {
  if (Operation == opRemove) {
    if (AComponent == listener_) listener_ = nullptr;
    if (AComponent == cadencer_) cadencer_ = nullptr;
  }
  inherited::Notification(AComponent, Operation);
}

void TGLSoundManager::SetActive(bool Value) {
  if (ComponentState().Contains(csDesigning) || ComponentState().Contains(csLoading)) {
    active_ = Value;
    return;
  }
  if (Value == active_) return;
  if (Value) {
    if (vActiveSoundManager && vActiveSoundManager != this) vActiveSoundManager->SetActive(false);
    if (StartBackEnd()) {
      active_ = true;
      vActiveSoundManager = this;
    }
  } else {
    for (int i = sources_->Count() - 1; i >= 0; --i) sources_->Delete(i);
    StopBackEnd();
    active_ = false;
    if (vActiveSoundManager == this) vActiveSoundManager = nullptr;
  }
}

void TGLSoundManager::Loaded() {
  inherited::Loaded();
  if (active_ && !ComponentState().Contains(csDesigning)) {
    active_ = false;
    SetActive(true);
  }
}

void TGLSoundManager::DefineProperties(TFiler* Filer) {
  inherited::DefineProperties(Filer);
  Filer->DefineProperty(
      "Doppler", [this](TReader* r) { SetDopplerFactor(float(r->ReadFloat())); },
      [this](TWriter* w) { w->WriteFloat(dopplerFactor_); }, dopplerFactor_ != 1.0f);
}

void TGLSoundManager::SetMute(bool Value) {
  if (Value == mute_) return;
  if (Value) {
    if (MuteAll()) mute_ = true;
  } else {
    UnmuteAll();
    mute_ = false;
  }
}

void TGLSoundManager::SetPause(bool Value) {
  if (Value == pause_) return;
  if (Value) {
    if (PauseAll()) pause_ = true;
  } else {
    ResumeAll();
    pause_ = false;
  }
}

bool TGLSoundManager::MuteAll() {
  for (int i = 0; i < sources_->Count(); ++i)
    if (!sources_->Items(i)->Mute()) MuteOneSource(sources_->Items(i), true);
  return true;
}

void TGLSoundManager::UnmuteAll() {
  for (int i = 0; i < sources_->Count(); ++i)
    if (!sources_->Items(i)->Mute()) MuteOneSource(sources_->Items(i), false);
}

bool TGLSoundManager::PauseAll() {
  for (int i = 0; i < sources_->Count(); ++i)
    if (!sources_->Items(i)->Pause()) PauseOneSource(sources_->Items(i), true);
  return true;
}

void TGLSoundManager::ResumeAll() {
  for (int i = 0; i < sources_->Count(); ++i)
    if (!sources_->Items(i)->Pause()) PauseOneSource(sources_->Items(i), false);
}

void TGLSoundManager::SetMasterVolume(float Value) {
  masterVolume_ = std::clamp(Value, 0.0f, 1.0f);
  NotifyMasterVolumeChange();
}

void TGLSoundManager::SetListener(TGLBaseSceneObject* Value) {
  if (Value == listener_) return;
  if (listener_) listener_->RemoveFreeNotification(this);
  listener_ = Value;
  if (listener_) listener_->FreeNotification(this);
}

void TGLSoundManager::SetCadencer(TGLCadencer* Value) {
  if (Value == cadencer_) return;
  if (cadencer_) {
    cadencer_->RemoveSubscriber(this);
    cadencer_->RemoveFreeNotification(this);
  }
  cadencer_ = Value;
  if (cadencer_) {
    cadencer_->AddSubscriber(this);
    cadencer_->FreeNotification(this);
  }
}

void TGLSoundManager::SetMaxChannels(int Value) { maxChannels_ = std::max(1, Value); }
void TGLSoundManager::SetOutputFrequency(int Value) { outputFrequency_ = std::max(11025, Value); }
void TGLSoundManager::SetUpdateFrequency(float Value) { updateFrequency_ = std::clamp(Value, 1.0f, 60.0f); }

void TGLSoundManager::SetDistanceFactor(float Value) {
  distanceFactor_ = Value <= 0 ? 1.0f : Value;
  Notify3DFactorsChanged();
}

void TGLSoundManager::SetRollOffFactor(float Value) {
  rollOffFactor_ = Value <= 0 ? 1.0f : Value;
  Notify3DFactorsChanged();
}

void TGLSoundManager::SetDopplerFactor(float Value) {
  dopplerFactor_ = std::clamp(Value, 0.0f, 10.0f);
  Notify3DFactorsChanged();
}

void TGLSoundManager::SetEnvironment(TGLSoundEnvironment Value) {
  environment_ = Value;
  NotifyEnvironmentChanged();
}

void TGLSoundManager::DoProgress(const TProgressTimes& progressTime) {
  if (!active_) return;
  if (progressTime.newTime - lastUpdateTime_ > 1.0 / double(updateFrequency_)) {
    lastDeltaTime_ = progressTime.newTime - lastUpdateTime_;
    lastUpdateTime_ = progressTime.newTime;
    ApplySources();
  }
}

void TGLSoundManager::ApplySources() {
  for (int i = sources_->Count() - 1; i >= 0; --i) ApplySource(sources_->Items(i));
}

// ---------------------------------------------------------------------------------------------
// Emitter

TGLBSoundEmitter::TGLBSoundEmitter() : source_(std::make_unique<TGLSoundSource>(nullptr)) {}

TGLBSoundEmitter::~TGLBSoundEmitter() {
  if (playingSource_) {
    TGLSoundSource* s = playingSource_;
    playingSource_ = nullptr;
    s->owningEmitter_ = nullptr;
    FreeObject(s);
  }
}

bool TGLBSoundEmitter::Designing() const {
  TGLBaseSceneObject* obj = OwnerBaseSceneObject();
  return obj && obj->ComponentState().Contains(csDesigning);
}

void TGLBSoundEmitter::Assign(TPersistent* Source) {
  if (auto* other = dynamic_cast<TGLBSoundEmitter*>(Source)) source_->Assign(other->source_.get());
  inherited::Assign(Source);
}

void TGLBSoundEmitter::WriteToFiler(TWriter* Writer) {
  inherited::WriteToFiler(Writer);
  Writer->WriteInteger(0);
  source_->WriteToFiler(Writer);
  Writer->WriteBoolean(Playing());
}

void TGLBSoundEmitter::ReadFromFiler(TReader* Reader) {
  inherited::ReadFromFiler(Reader);
  Reader->ReadInteger();  // version
  source_->ReadFromFiler(Reader);
  playing_ = Reader->ReadBoolean();
}

void TGLBSoundEmitter::OwnerLoaded() {
  if (!Designing() && playing_) SetPlaying(true);
}

bool TGLBSoundEmitter::Playing() const { return Designing() ? playing_ : playingSource_ != nullptr; }

void TGLBSoundEmitter::SetPlaying(bool Value) {
  playing_ = Value;
  if (Designing()) return;
  if (Value) {
    TGLSoundManager* manager = ActiveSoundManager();
    if (!manager) {
      if (vSoundEmitterWarnings) {
        const std::string text = "No Active Sound Manager.\r\nMake sure manager is created before emitter";
        if (vSoundEmitterShowMessage)
          vSoundEmitterShowMessage(text);
        else
          ShowInformationMessage(text);
      }
      return;
    }
    if (playingSource_) return;
    TGLSoundSource* s = manager->Sources()->Add();
    s->owningEmitter_ = this;
    s->Assign(source_.get());
    s->SetOrigin(OwnerBaseSceneObject());
    playingSource_ = s;
  } else if (playingSource_) {
    FreeObject(playingSource_);  // the source's destructor clears playingSource_
  }
}

// ---------------------------------------------------------------------------------------------

void RegisterGLSoundClasses() {
  RegisterXCollectionItemClass<TGLBSoundEmitter>();
  RegisterClass(TGLSoundLibrary::StaticClass());
  TPublished<TGLSoundSample>().String("Name", &TGLSoundSample::Name, &TGLSoundSample::SetName);
  TPublished<TGLSoundLibrary>().Object("Samples", &TGLSoundLibrary::Samples);
  using S = TGLBaseSoundSource;
  TPublished<S>()
      .Component("SoundLibrary", &S::SoundLibrary, &S::SetSoundLibrary)
      .String("SoundName", &S::SoundName, &S::SetSoundName)
      .Float("Volume", &S::Volume, &S::SetVolume, 1.0)
      .Integer("NbLoops", &S::NbLoops, &S::SetNbLoops, 1)
      .Boolean("Mute", &S::Mute, &S::SetMute, false)
      .Boolean("Pause", &S::Pause, &S::SetPause, false)
      .Integer("Priority", &S::Priority, &S::SetPriority, 0)
      .Float("MinDistance", &S::MinDistance, &S::SetMinDistance, 1.0)
      .Float("MaxDistance", &S::MaxDistance, &S::SetMaxDistance, 100.0)
      .Float("InsideConeAngle", &S::InsideConeAngle, &S::SetInsideConeAngle, 360.0)
      .Float("OutsideConeAngle", &S::OutsideConeAngle, &S::SetOutsideConeAngle, 360.0)
      .Float("ConeOutsideVolume", &S::ConeOutsideVolume, &S::SetConeOutsideVolume, 0.0)
      .Integer("Frequency", &S::Frequency, &S::SetFrequency, -1);
  TPublished<TGLSoundSource>().Component("Origin", &TGLSoundSource::Origin, &TGLSoundSource::SetOrigin);
  using M = TGLSoundManager;
  TPublished<M>()
      .Boolean("Active", &M::Active, &M::SetActive, false)
      .Integer("MaxChannels", &M::MaxChannels, &M::SetMaxChannels, 8)
      .Float("MasterVolume", &M::MasterVolume, &M::SetMasterVolume, 1.0)
      .Component("Listener", &M::Listener, &M::SetListener)
      .Object("Sources", &M::Sources)
      .Boolean("Mute", &M::Mute, &M::SetMute, false)
      .Boolean("Pause", &M::Pause, &M::SetPause, false)
      .Component("Cadencer", &M::Cadencer, &M::SetCadencer)
      .Integer("OutputFrequency", &M::OutputFrequency, &M::SetOutputFrequency, 44100)
      .Float("UpdateFrequency", &M::UpdateFrequency, &M::SetUpdateFrequency, 10.0)
      .Float("DistanceFactor", &M::DistanceFactor, &M::SetDistanceFactor, 1.0)
      .Float("RollOffFactor", &M::RollOffFactor, &M::SetRollOffFactor, 1.0)
      .Enum("Environment", &M::Environment, &M::SetEnvironment,
            {"seDefault",    "sePaddedCell",    "seRoom",       "seBathroom",  "seLivingRoom", "seStoneroom",
             "seAuditorium", "seConcertHall",   "seCave",       "seArena",     "seHangar",     "seCarpetedHallway",
             "seHallway",    "seStoneCorridor", "seAlley",      "seForest",    "seCity",       "seMountains",
             "seQuarry",     "sePlain",         "seParkingLot", "seSewerPipe", "seUnderWater", "seDrugged",
             "seDizzy",      "sePsychotic"},
            seDefault);
}

void FinalizeGLSound() {
  if (vActiveSoundManager) vActiveSoundManager->SetActive(false);
}

// Tiled planes: the sparse grid of material indices and the drawing of its tiles by material.
#include "Source/Further/GLTilePlane.h"

#include <vector>

#include "Source/Base/OpenGL1x.h"
#include "Source/Base/XOpenGL.h"
#include "Source/Materials/GLMaterial.h"
#include "Source/Materials/GLMaterialPasses.h"
#include "Source/Scene/GLStoredLimits.h"
#include "rtl/Streaming.h"
#include "rtl/SysUtils.h"

namespace {

// Last index of a range of Count items from First, when it is a 32-bit number (an empty range
// ends one before its start).
bool RangeEnd(int32_t First, int Count, int32_t& Last) {
  const int64_t last = int64_t(First) + Count - 1;
  if (last > INT32_MAX || last < INT32_MIN) return false;
  Last = int32_t(last);
  return true;
}

}  // namespace

// --- TGLTiledAreaRow

TGLTiledAreaRow::TGLTiledAreaRow() : data_(std::make_unique<TIntegerList>()) {}
TGLTiledAreaRow::~TGLTiledAreaRow() = default;

void TGLTiledAreaRow::WriteToFiler(TVirtualWriter* Writer) {
  inherited::WriteToFiler(Writer);
  Writer->WriteInteger(0);
  Writer->WriteInteger(colMin_);
  data_->WriteToFiler(Writer);
}

void TGLTiledAreaRow::ReadFromFiler(TVirtualReader* Reader) {
  inherited::ReadFromFiler(Reader);
  const int version = Reader->ReadInteger();
  if (version != 0) RaiseFilerException(version);
  const int32_t colMin = Reader->ReadInteger();
  data_->ReadFromFiler(Reader);
  int32_t colMax;
  // Columns past the 32-bit range cannot be addressed: the row is refused rather than wrapped.
  if (!RangeEnd(colMin, data_->Count(), colMax)) {
    data_->Clear();
    colMin_ = 0;
    colMax_ = -1;
    throw EFilerException(ClassName() + " : column range out of bounds");
  }
  colMin_ = colMin;
  colMax_ = colMax;
}

int32_t TGLTiledAreaRow::Cell(int32_t col) const {
  if (col < colMin_ || col > colMax_) return 0;
  return (*data_)[int(int64_t(col) - colMin_)];
}

// --- TGLTiledArea

TGLTiledArea::TGLTiledArea() : rows_(std::make_unique<TPersistentObjectList>()) {}

TGLTiledArea::~TGLTiledArea() { rows_->FreeItemsAndClear(); }

void TGLTiledArea::Clear() {
  rows_->FreeItemsAndClear();
  rowMin_ = 0;
  rowMax_ = -1;
}

void TGLTiledArea::WriteToFiler(TVirtualWriter* Writer) {
  inherited::WriteToFiler(Writer);
  Writer->WriteInteger(0);
  Writer->WriteInteger(rowMin_);
  rows_->WriteToFiler(Writer);
}

void TGLTiledArea::ReadFromFiler(TVirtualReader* Reader) {
  inherited::ReadFromFiler(Reader);
  const int version = Reader->ReadInteger();
  if (version != 0) RaiseFilerException(version);
  Clear();
  const int32_t rowMin = Reader->ReadInteger();
  try {
    rows_->ReadFromFiler(Reader);
    for (int i = 0; i < rows_->Count(); ++i) {
      TObject* item = rows_->Get(i);
      if (item && !item->InheritsFrom(TGLTiledAreaRow::StaticClass()))
        throw EFilerException(ClassName() + " : " + item->ClassName() + " is not a row");
    }
  } catch (...) {
    Clear();
    throw;
  }
  int32_t rowMax;
  if (!RangeEnd(rowMin, rows_->Count(), rowMax)) {
    Clear();
    throw EFilerException(ClassName() + " : row range out of bounds");
  }
  rowMin_ = rowMin;
  rowMax_ = rowMax;
}

int64_t TGLTiledArea::TileCount() const {
  int64_t n = 0;
  for (int i = 0; i < rows_->Count(); ++i) {
    const auto* row = static_cast<const TGLTiledAreaRow*>(rows_->Get(i));
    if (!row) continue;
    const TIntegerList& cells = *row->Data();
    for (int k = 0; k < cells.Count(); ++k) n += cells[k] > 0;
  }
  return n;
}

TGLTiledAreaRow* TGLTiledArea::Row(int32_t index) const {
  if (index < rowMin_ || index > rowMax_) return nullptr;
  return static_cast<TGLTiledAreaRow*>(rows_->Get(int(int64_t(index) - rowMin_)));
}

// --- TGLTilePlane

TGLTilePlane::TGLTilePlane(TComponent* AOwner)
    : TGLImmaterialSceneObject(AOwner), tiles_(std::make_unique<TGLTiledArea>()) {}

TGLTilePlane::~TGLTilePlane() { SetMaterialLibrary(nullptr); }

void TGLTilePlane::Assign(TPersistent* Source) {
  if (auto* s = dynamic_cast<TGLTilePlane*>(Source)) {
    noZWrite_ = s->noZWrite_;
    sortByMaterials_ = s->sortByMaterials_;
    SetMaterialLibrary(s->materialLibrary_);
    tiles_->Assign(s->tiles_.get());
  }
  inherited::Assign(Source);
}

void TGLTilePlane::Notification(TComponent* AComponent, TOperation Operation) {
  if (Operation == opRemove && AComponent == materialLibrary_) {
    materialLibrary_ = nullptr;
    MarkStructureChanged();
  }
  inherited::Notification(AComponent, Operation);
}

void TGLTilePlane::DefineProperties(TFiler* Filer) {
  inherited::DefineProperties(Filer);
  auto read = [this](TStream* s) {
    tiles_->LoadFromStream(s);  // no larger than the stored bytes
    try {
      CheckStoredVertices(*this, VertexCount());
    } catch (...) {
      tiles_->Clear();
      throw;
    }
  };
  Filer->DefineBinaryProperty(
      "TilesData", read, [this](TStream* s) { tiles_->SaveToStream(s); }, tiles_->Rows()->Count() > 0);
}

double TGLTilePlane::VertexCount() const { return 4 * double(tiles_->TileCount()); }

void TGLTilePlane::SetNoZWrite(bool v) {
  if (v == noZWrite_) return;
  noZWrite_ = v;
  MarkStructureChanged();
}

void TGLTilePlane::SetSortByMaterials(bool v) {
  if (v == sortByMaterials_) return;
  sortByMaterials_ = v;
  MarkStructureChanged();
}

void TGLTilePlane::SetMaterialLibrary(TGLMaterialLibrary* v) {
  if (v == materialLibrary_) return;
  if (materialLibrary_) materialLibrary_->RemoveFreeNotification(this);
  materialLibrary_ = v;
  if (v) v->FreeNotification(this);
  MarkStructureChanged();
}

void TGLTilePlane::SetTiles(TGLTiledArea* v) {
  tiles_->Assign(v);
  MarkStructureChanged();
}

void TGLTilePlane::DoRender(TRenderContextInfo& rci, bool renderSelf, bool renderChildren) {
  // Texture uploads cannot go into a display list being compiled.
  if (materialLibrary_ && !rci.amalgamating) materialLibrary_->Materials()->PrepareTextures();
  inherited::DoRender(rci, renderSelf, renderChildren);
}

namespace {

void EmitTile(int64_t x, int64_t y) {
  const float x0 = float(x), y0 = float(y), x1 = float(x + 1), y1 = float(y + 1);
  MappedTexCoord2f(x0, y0);
  GL.glVertex2f(x0, y0);
  MappedTexCoord2f(x1, y0);
  GL.glVertex2f(x1, y0);
  MappedTexCoord2f(x1, y1);
  GL.glVertex2f(x1, y1);
  MappedTexCoord2f(x0, y1);
  GL.glVertex2f(x0, y1);
}

}  // namespace

void TGLTilePlane::BuildList(TRenderContextInfo& rci) {
  if (!materialLibrary_) return;
  TGLLibMaterials* mats = materialLibrary_->Materials();
  const int count = mats->Count();
  GL.glNormal3f(0, 0, 1);
  if (noZWrite_) GL.glDepthMask(GL_FALSE);
  // Also when a material or a draw fails: each material is taken off again by DrawUnderMaterial.
  TScopeExit depthMask([this] {
    if (noZWrite_) GL.glDepthMask(GL_TRUE);
  });
  const TGLTiledArea& area = *tiles_;
  // A pass without materials (picking, a shadow's caster) takes the tiles' shapes only.
  const auto drawUnder = [&rci](TGLLibMaterial& material, const auto& draw) {
    if (rci.ignoreMaterials)
      draw();
    else
      DrawUnderMaterial(material, rci, draw);
  };
  if (!sortByMaterials_) {
    for (int64_t y = area.RowMin(); y <= area.RowMax(); ++y) {
      const TGLTiledAreaRow* row = area.Row(int32_t(y));
      if (!row) continue;
      for (int64_t x = row->ColMin(); x <= row->ColMax(); ++x) {
        const int32_t t = row->Cell(int32_t(x));
        if (t <= 0 || t >= count) continue;
        drawUnder(*mats->Items(t), [x, y] {
          GL.glBegin(GL_QUADS);
          EmitTile(x, y);
          GL.glEnd();
        });
      }
    }
  } else {
    // Tile positions per material index, so that each material is applied once.
    std::vector<std::vector<std::pair<int32_t, int32_t>>> byMaterial(size_t(count > 0 ? count : 0));
    for (int64_t y = area.RowMin(); y <= area.RowMax(); ++y) {
      const TGLTiledAreaRow* row = area.Row(int32_t(y));
      if (!row) continue;
      for (int64_t x = row->ColMin(); x <= row->ColMax(); ++x) {
        const int32_t t = row->Cell(int32_t(x));
        if (t > 0 && t < count) byMaterial[size_t(t)].emplace_back(int32_t(x), int32_t(y));
      }
    }
    for (int t = 1; t < count; ++t) {
      if (byMaterial[size_t(t)].empty()) continue;
      const auto& tiles = byMaterial[size_t(t)];
      drawUnder(*mats->Items(t), [&tiles] {
        GL.glBegin(GL_QUADS);
        for (const auto& [x, y] : tiles) EmitTile(x, y);
        GL.glEnd();
      });
    }
  }
}

void RegisterGLTilePlaneClasses() {
  RegisterClasses({TGLTiledAreaRow::StaticClass(), TGLTiledArea::StaticClass(), TGLTilePlane::StaticClass()});
  TPublished<TGLTilePlane>()
      .Boolean("NoZWrite", &TGLTilePlane::NoZWrite, &TGLTilePlane::SetNoZWrite, false)
      .Component("MaterialLibrary", &TGLTilePlane::MaterialLibrary, &TGLTilePlane::SetMaterialLibrary)
      .Boolean("SortByMaterials", &TGLTilePlane::SortByMaterials, &TGLTilePlane::SetSortByMaterials, true);
}

// Tiled planes: an unbounded plane of unit square tiles, each showing one material of a material
// library, held as a sparse grid of material indices (rows of columns).
#pragma once

#include <cstdint>
#include <memory>

#include "Source/Base/PersistentClasses.h"
#include "Source/Base/VectorLists.h"
#include "Source/Scene/GLSceneGraph.h"

class TGLMaterialLibrary;

// One row of cells, one per column from ColMin.
class TGLTiledAreaRow : public TPersistentObject {
  RTL_CLASS(TGLTiledAreaRow, TPersistentObject)
 public:
  TGLTiledAreaRow();
  ~TGLTiledAreaRow() override;

  // Integer 0, ColMin, the cell list; ColMax follows from the cell count.
  void WriteToFiler(TVirtualWriter* Writer) override;
  void ReadFromFiler(TVirtualReader* Reader) override;

  int32_t ColMin() const noexcept { return colMin_; }
  int32_t ColMax() const noexcept { return colMax_; }
  TIntegerList* Data() const noexcept { return data_.get(); }
  // 0 outside ColMin ... ColMax.
  int32_t Cell(int32_t col) const;

 private:
  int32_t colMin_ = 0, colMax_ = -1;
  std::unique_ptr<TIntegerList> data_;
};

// Rows from RowMin; the rows are owned.
class TGLTiledArea : public TPersistentObject {
  RTL_CLASS(TGLTiledArea, TPersistentObject)
 public:
  TGLTiledArea();
  ~TGLTiledArea() override;

  // Integer 0, RowMin, the row list; RowMax follows from the row count. Anything but a row in
  // the list is refused.
  void WriteToFiler(TVirtualWriter* Writer) override;
  void ReadFromFiler(TVirtualReader* Reader) override;

  // Cells above 0 (those that name a material) over all rows.
  int64_t TileCount() const;
  int32_t RowMin() const noexcept { return rowMin_; }
  int32_t RowMax() const noexcept { return rowMax_; }
  TPersistentObjectList* Rows() const noexcept { return rows_.get(); }
  // The row with that number (RowMin ... RowMax), nullptr when there is none.
  TGLTiledAreaRow* Row(int32_t index) const;
  void Clear();

 private:
  int32_t rowMin_ = 0, rowMax_ = -1;
  std::unique_ptr<TPersistentObjectList> rows_;
};

// Draws the tiles of its area with the materials of its library (cell value = material index,
// 0 = no tile).
class TGLTilePlane : public TGLImmaterialSceneObject {
  RTL_CLASS(TGLTilePlane, TGLImmaterialSceneObject)
 public:
  explicit TGLTilePlane(TComponent* AOwner);
  ~TGLTilePlane() override;
  void Assign(TPersistent* Source) override;
  void Notification(TComponent* AComponent, TOperation Operation) override;
  // The area as the binary property "TilesData" when it has rows. A stored area whose tiles
  // would pass kMaxStoredVertices raises EReadError and is left empty.
  void DefineProperties(TFiler* Filer) override;
  void DoRender(TRenderContextInfo& rci, bool renderSelf, bool renderChildren) override;
  void BuildList(TRenderContextInfo& rci) override;

  bool NoZWrite() const noexcept { return noZWrite_; }
  void SetNoZWrite(bool v);
  TGLMaterialLibrary* MaterialLibrary() const noexcept { return materialLibrary_; }
  void SetMaterialLibrary(TGLMaterialLibrary* v);
  bool SortByMaterials() const noexcept { return sortByMaterials_; }
  void SetSortByMaterials(bool v);
  TGLTiledArea* Tiles() const noexcept { return tiles_.get(); }
  // Copies the area, then rebuilds.
  void SetTiles(TGLTiledArea* v);
  // Vertices of the tiles drawn when every material index is in the library: four per cell above 0.
  double VertexCount() const;

 private:
  bool noZWrite_ = false;
  bool sortByMaterials_ = true;
  TGLMaterialLibrary* materialLibrary_ = nullptr;
  std::unique_ptr<TGLTiledArea> tiles_;
};

void RegisterGLTilePlaneClasses();

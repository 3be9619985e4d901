// Test aid: rows and areas of tiles read from their archives, as a stored tile plane reads them.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "Source/Further/GLTilePlane.h"
#include "rtl/Streaming.h"

// A row read from its archive: version 0, ColMin, the cell list.
inline std::unique_ptr<TGLTiledAreaRow> MakeRow(int colMin, const std::vector<int32_t>& cells) {
  TIntegerList list;
  // Room for all at once: grown a delta at a time, a row of a million cells is copied over and
  // over (minutes under the address sanitizer, which never grows a block in place).
  list.SetCapacity(int(cells.size()));
  for (int32_t c : cells) list.Add(c);
  TMemoryStream ms;
  {
    TBinaryWriter w(&ms);
    w.WriteInteger(0);
    w.WriteInteger(colMin);
    list.WriteToFiler(&w);
  }
  ms.SetPosition(0);
  auto row = std::make_unique<TGLTiledAreaRow>();
  row->LoadFromStream(&ms);
  return row;
}

// An area of rows from RowMin, read from its archive: version 0, RowMin, the rows.
inline void LoadArea(TGLTiledArea& area, int rowMin, std::vector<std::unique_ptr<TGLTiledAreaRow>> rows) {
  TPersistentObjectList list;
  for (auto& r : rows) list.Add(r.get());
  TMemoryStream ms;
  {
    TBinaryWriter w(&ms);
    w.WriteInteger(0);
    w.WriteInteger(rowMin);
    list.WriteToFiler(&w);
  }
  ms.SetPosition(0);
  area.LoadFromStream(&ms);
}

// Tests of pipe labels: colour by well-known ports, the label layer, and long port texts.
#include "Source/Materials/GLMaterial.h"
#include "Source/Materials/GLTexture.h"
#include "app/MyCylinder.h"
#include "app/Unit_Globals.h"

#include <QPlainTextEdit>

#include <gtest/gtest.h>

TEST(PipeTest, LabelColourByWellKnownPorts) {
  const uint32_t blue = 12 | (12 << 8) | (180u << 16);
  EXPECT_EQ(PipeLabelColour("1025", "80"), blue);
  EXPECT_EQ(PipeLabelColour("80", "1025"), blue);
  EXPECT_EQ(PipeLabelColour("25", "5252"), 120u | (120 << 8) | (12u << 16));
  EXPECT_EQ(PipeLabelColour("80", "25"), 12u | (120 << 8) | (120u << 16));
  EXPECT_EQ(PipeLabelColour("ARP", "65535"), 65547u);
  EXPECT_EQ(PipeLabelColour("x", "y"), 12u);  // texts that are no numbers count as 0
}

TEST(PipeTest, LabelGoesOnTheFirstExtraLayer) {
  MyCylinder pipe(nullptr);
  pipe.Material()->TextureEx()->Add();
  MakePipeLabel(&pipe, "1025", "80", 4.0f, 10.0f);
  TGLTextureExItem* item = pipe.Material()->TextureEx()->Items(0);
  EXPECT_TRUE(item->Texture()->Enabled());
  EXPECT_EQ(item->Texture()->TextureMode(), tmModulate);
  EXPECT_FLOAT_EQ(item->TextureScale()->X(), 4.0f);
  EXPECT_FLOAT_EQ(item->TextureScale()->Y(), 20.0f);
  EXPECT_FLOAT_EQ(item->TextureScale()->Z(), 20.0f);
  EXPECT_EQ(pipe.ClassName(), "MyCylinder");
}

TEST(PipeTest, LongPortTextIsCutOnTheLabelAndLoggedOnce) {
  QPlainTextEdit log;
  SetPktDataMemo(&log);
  auto labelWidth = [](const std::string& src, const std::string& dst) {
    MyCylinder pipe(nullptr);
    pipe.Material()->TextureEx()->Add();
    MakePipeLabel(&pipe, src, dst, 4.0f, 10.0f);
    return pipe.Material()->TextureEx()->Items(0)->Texture()->Image()->GetWidth();
  };
  const std::string huge(5000, '7');
  const int cut = labelWidth(huge, "80");
  EXPECT_EQ(cut, labelWidth(huge.substr(0, MaxPipeLabelText), "80"));
  EXPECT_EQ(labelWidth("1025", huge), cut);
  EXPECT_GT(labelWidth("1025", "80"), 0);
  const QString text = log.toPlainText();
  EXPECT_EQ(text.count("cut to"), 1) << text.toStdString();
  SetPktDataMemo(nullptr);
}

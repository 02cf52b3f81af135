// Render through the host: the source passed through, the character
// premultiplied by its matte, or the matte alone, at byte and float depth.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <thread>

#include "RenderFixture.h"

using namespace ofxhost;

namespace {

const OfxRectI kSmall{0, 0, 4, 4};

std::vector<float> pixelOf(ImageBuffer& image, int x, int y) {
  std::vector<float> p(4);
  for (int c = 0; c < 4; ++c) p[c] = image.isFloat() ? image.pixelFloat(x, y)[c] : image.pixel(x, y)[c];
  return p;
}

// True when both images hold the same pixels over the same bounds.
bool samePixels(ImageBuffer& a, ImageBuffer& b) {
  if (std::memcmp(&a.bounds(), &b.bounds(), sizeof(OfxRectI)) != 0 || a.depth() != b.depth()) return false;
  for (int y = a.bounds().y1; y < a.bounds().y2; ++y)
    if (std::memcmp(a.pixel(a.bounds().x1, y), b.pixel(b.bounds().x1, y), a.width() * a.bytesPerPixel()) != 0)
      return false;
  return true;
}

using Pixel = std::vector<float>;

}  // namespace

TEST_F(RenderTest, WithoutASessionEveryModeCopiesTheSource) {
  for (const char* depth : {kOfxBitDepthByte, kOfxBitDepthFloat}) {
    auto source = solidImage(kSmall, depth, {200, 100, 50, 17});
    auto fx = instanceShowing(source);
    writeFlatMatte(0, 128);
    fx->setValue("session_id", "");
    for (int mode : {0, 1, 2}) {
      SCOPED_TRACE(std::string(depth) + " mode " + std::to_string(mode));
      fx->setValue("output_mode", mode);
      RenderResult r = fx->render(0);
      ASSERT_EQ(r.status, kOfxStatOK);
      EXPECT_TRUE(samePixels(*r.output, *source));
    }
  }
}

TEST_F(RenderTest, SourceBypassNeverReadsTheMatte) {
  auto source = solidImage(kSmall, kOfxBitDepthByte, {10, 20, 30, 40});
  auto fx = instanceShowing(source);
  writeFlatMatte(0, 128);
  fx->setValue("output_mode", 2);
  EXPECT_TRUE(samePixels(*fx->render(0).output, *source));
  // Had bypass read the file, the cache would hold it now.
  removeMatte(0);
  fx->setValue("output_mode", 1);
  EXPECT_TRUE(samePixels(*fx->render(0).output, *source));
}

TEST_F(RenderTest, MatteOnlyAndCharacterGiveTheExactBytes) {
  auto source = solidImage(kSmall, kOfxBitDepthByte, {200, 100, 50, 17});
  auto fx = instanceShowing(source);
  writeFlatMatte(0, 128);
  writeFlatMatte(1, 255);
  writeFlatMatte(2, 0);
  fx->setValue("output_mode", 1);
  EXPECT_EQ(pixelOf(*fx->render(0).output, 1, 1), (Pixel{128, 128, 128, 255}));
  fx->setValue("output_mode", 0);
  EXPECT_EQ(pixelOf(*fx->render(1).output, 2, 3), (Pixel{200, 100, 50, 255}));
  EXPECT_EQ(pixelOf(*fx->render(2).output, 0, 0), (Pixel{0, 0, 0, 0}));
  fx->setValue("output_mode", 7);  // an unexpected value renders the character
  EXPECT_EQ(pixelOf(*fx->render(1).output, 2, 3), (Pixel{200, 100, 50, 255}));
}

TEST_F(RenderTest, FloatValuesAreNeitherClampedNorRounded) {
  auto source = solidImage(kSmall, kOfxBitDepthFloat, {2.5f, -0.25f, 0.5f, 0.1f});
  auto fx = instanceShowing(source);
  writeFlatMatte(0, 255);
  writeFlatMatte(1, 128);
  fx->setValue("output_mode", 0);
  EXPECT_EQ(pixelOf(*fx->render(0).output, 0, 0), (Pixel{2.5f, -0.25f, 0.5f, 1.0f}));
  const float a = 128 / 255.0f;
  EXPECT_EQ(pixelOf(*fx->render(1).output, 3, 3), (Pixel{2.5f * a, -0.25f * a, 0.5f * a, a}));
  fx->setValue("output_mode", 1);
  EXPECT_EQ(pixelOf(*fx->render(1).output, 3, 3), (Pixel{a, a, a, 1.0f}));
  EXPECT_NEAR(a, 0.50196f, 1e-5);
}

TEST_F(RenderTest, TheFrameIndexComesFromTimeAndClipStart) {
  auto source = solidImage(kSmall, kOfxBitDepthByte, {255, 255, 255, 255});
  writeFlatMatte(2, 20);
  writeFlatMatte(3, 30);
  writeFlatMatte(4, 40);
  auto fx = instanceShowing(source, "10.000000");
  fx->setValue("output_mode", 1);
  EXPECT_EQ(pixelOf(*fx->render(12.5).output, 0, 0)[0], 30);  // halves round away from zero
  EXPECT_EQ(pixelOf(*fx->render(12.49).output, 0, 0)[0], 20);
  EXPECT_EQ(pixelOf(*fx->render(13.6).output, 0, 0)[0], 40);
  fx->setValue("clip_start", "12.000000");
  writeFlatMatte(0, 99);
  EXPECT_TRUE(samePixels(*fx->render(10).output, *source));  // frame -2
  fx->setValue("clip_start", "not a number");                // reads as 0
  EXPECT_EQ(pixelOf(*fx->render(3).output, 0, 0)[0], 30);
  // Times whose index would not fit 32 bits find no matte.
  for (double t : {3e9, -3e9, 2147483647.6, 1e300, double(HUGE_VAL), double(NAN)}) {
    SCOPED_TRACE(t);
    RenderResult r = fx->render(t);
    EXPECT_EQ(r.status, kOfxStatOK);
    EXPECT_TRUE(samePixels(*r.output, *source));
  }
}

TEST_F(RenderTest, OutputBoundsBeyondTheSourceAreTransparentOrMatte) {
  auto source = solidImage({0, 0, 2, 2}, kOfxBitDepthByte, {200, 100, 50, 255});
  auto fx = instanceShowing(source);
  writeFlatMatte(0, 51);
  const OfxRectI wide{-1, -1, 3, 3};
  fx->setValue("session_id", "");
  RenderResult plain = fx->render(0, wide);
  EXPECT_EQ(pixelOf(*plain.output, -1, -1), (Pixel{0, 0, 0, 0}));
  EXPECT_EQ(pixelOf(*plain.output, 0, 0), (Pixel{200, 100, 50, 255}));
  fx->setValue("session_id", session);
  fx->setValue("output_mode", 0);
  RenderResult character = fx->render(0, wide);
  EXPECT_EQ(pixelOf(*character.output, 2, 2), (Pixel{0, 0, 0, 0}));
  EXPECT_EQ(pixelOf(*character.output, 1, 1), (Pixel{40, 20, 10, 51}));
  fx->setValue("output_mode", 1);
  RenderResult matte = fx->render(0, wide);
  EXPECT_EQ(pixelOf(*matte.output, -1, 2), (Pixel{51, 51, 51, 255}));
}

TEST_F(RenderTest, AHalfSizeMatteIsStretchedInTwoByTwoBlocksTopRowFirst) {
  auto source = solidImage({0, 0, 1920, 1080}, kOfxBitDepthByte, {255, 255, 255, 255});
  auto fx = instanceShowing(source);
  // Each matte pixel distinct enough to tell neighbours apart.
  auto value = [](int x, int y) { return static_cast<unsigned char>((x * 7 + y * 13) % 251); };
  writeMatte(0, 960, 540, value);
  fx->setValue("output_mode", 1);
  RenderResult r = fx->render(0);
  ASSERT_EQ(r.status, kOfxStatOK);
  int wrong = 0;
  for (int y = 0; y < 1080; ++y)
    for (int x = 0; x < 1920; ++x) {
      const int fromTop = 1079 - y;  // image rows go up
      wrong += r.output->pixel(x, y)[0] != value(x / 2, fromTop / 2);
    }
  EXPECT_EQ(wrong, 0);
}

TEST_F(RenderTest, PaddedAndTopDownRowsAreFollowed) {
  for (const char* depth : {kOfxBitDepthByte, kOfxBitDepthFloat})
    for (bool topDown : {false, true}) {
      SCOPED_TRACE(std::string(depth) + (topDown ? " top-down" : " bottom-up"));
      const OfxRectI bounds{3, -2, 9, 5};
      auto source = ImageBuffer::allocate(bounds, depth, 12, topDown);
      for (int y = bounds.y1; y < bounds.y2; ++y)
        for (int x = bounds.x1; x < bounds.x2; ++x)
          for (int c = 0; c < 4; ++c) {
            int v = (x * 31 + y * 17 + c * 5 + 100) % 256;
            if (source->isFloat())
              source->pixelFloat(x, y)[c] = v / 255.0f;
            else
              source->pixel(x, y)[c] = static_cast<unsigned char>(v);
          }
      auto fx = instanceShowing(source);
      fx->setValue("session_id", "");
      auto output = ImageBuffer::allocate(bounds, depth, 20, !topDown);
      RenderResult r = fx->renderInto(0, output);
      ASSERT_EQ(r.status, kOfxStatOK);
      EXPECT_TRUE(samePixels(*r.output, *source));
    }
}

TEST_F(RenderTest, AnImageThatCannotBeFetchedFailsTheRenderAndNothingIsKept) {
  auto source = solidImage(kSmall, kOfxBitDepthByte, {1, 2, 3, 4});
  auto fx = instanceShowing(source);
  fx->setClipAvailable("Output", false);
  EXPECT_EQ(fx->render(0).status, kOfxStatFailed);
  ImageLedger ledger = fx->ledger();
  EXPECT_EQ(ledger.fetched, 1);  // the source, handed back
  EXPECT_EQ(ledger.outstanding, 0);
  fx->setClipAvailable("Output", true);
  fx->setSource([](OfxTime) { return nullptr; });
  EXPECT_EQ(fx->render(0).status, kOfxStatFailed);
  EXPECT_EQ(fx->ledger().fetched, 1);
  fx->setSource([source](OfxTime) { return source; });
  EXPECT_EQ(fx->render(0).status, kOfxStatOK);
  ledger = fx->ledger();
  EXPECT_EQ(ledger.fetched, 3);
  EXPECT_EQ(ledger.released, 3);
  EXPECT_EQ(ledger.outstanding, 0);
}

// ---------------------------------------------------------------- cache

TEST_F(RenderTest, ACachedMatteOutlivesItsFile) {
  auto source = solidImage(kSmall, kOfxBitDepthByte, {255, 255, 255, 255});
  auto fx = instanceShowing(source);
  fx->setValue("output_mode", 1);
  writeFlatMatte(0, 77);
  EXPECT_EQ(pixelOf(*fx->render(0).output, 0, 0)[0], 77);
  removeMatte(0);
  EXPECT_EQ(pixelOf(*fx->render(0).output, 0, 0)[0], 77);
}

TEST_F(RenderTest, TheOldestInsertionLeavesFirstEvenWhenJustUsed) {
  auto source = solidImage(kSmall, kOfxBitDepthByte, {255, 255, 255, 255});
  auto fx = instanceShowing(source);
  fx->setValue("output_mode", 1);
  auto shown = [&](int frame) { return static_cast<int>(pixelOf(*fx->render(frame).output, 0, 0)[0]); };
  for (int f = 0; f < 10; ++f) writeFlatMatte(f, static_cast<unsigned char>(10 + f));
  for (int f = 0; f < 8; ++f) EXPECT_EQ(shown(f), 10 + f);
  EXPECT_EQ(shown(0), 10);  // a hit: frame 0 does not move
  EXPECT_EQ(shown(8), 18);  // the ninth insertion pushes frame 0 out
  removeMatte(0);
  EXPECT_EQ(shown(0), 255);  // gone from the cache: the source shows
  writeFlatMatte(0, 90);
  EXPECT_EQ(shown(0), 90);  // read again, pushing frame 1 out
  removeMatte(1);
  removeMatte(2);
  EXPECT_EQ(shown(1), 255);
  EXPECT_EQ(shown(2), 12);  // still cached
}

TEST_F(RenderTest, AMissingMatteIsFoundOnceItAppears) {
  auto source = solidImage(kSmall, kOfxBitDepthByte, {255, 255, 255, 255});
  auto fx = instanceShowing(source);
  fx->setValue("output_mode", 1);
  EXPECT_TRUE(samePixels(*fx->render(5).output, *source));
  writeFlatMatte(5, 33);
  EXPECT_EQ(pixelOf(*fx->render(5).output, 0, 0)[0], 33);
}

TEST_F(RenderTest, TwoThreadsRenderingTwoUncachedFramesBothGetTheirMattes) {
  auto source = solidImage({0, 0, 64, 64}, kOfxBitDepthByte, {255, 255, 255, 255});
  auto fx = instanceShowing(source);
  fx->setValue("output_mode", 1);
  writeMatte(0, 1024, 1024, [](int, int) { return 60; });
  writeMatte(1, 1024, 1024, [](int, int) { return 61; });
  RenderResult results[2];
  std::thread a([&] { results[0] = fx->render(0); });
  std::thread b([&] { results[1] = fx->render(1); });
  a.join();
  b.join();
  removeMatte(0);
  removeMatte(1);
  for (int f = 0; f < 2; ++f) {
    ASSERT_EQ(results[f].status, kOfxStatOK);
    EXPECT_EQ(pixelOf(*results[f].output, 63, 63)[0], 60 + f);
    EXPECT_EQ(pixelOf(*fx->render(f).output, 0, 0)[0], 60 + f);  // both cached
  }
  EXPECT_EQ(fx->ledger().outstanding, 0);
}

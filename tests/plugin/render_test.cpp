// Render through the host, beside the property test's comparison with the
// plain formulas: the character's alpha worked out by hand, which matte a
// time finds, the matte cache, and renders that cannot be done.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <thread>
#include <tuple>

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

}  // namespace

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

// "Character (RGBA)" multiplies alpha by the matte as it does colour, so a
// premultiplied source stays premultiplied. Rows of nine pixels: the byte
// depth's first eight take its vector steps, the ninth its plain one.
TEST_F(RenderTest, TheCharacterMultipliesSourceAlphaByTheMatteToo) {
  const std::tuple<const char*, std::vector<float>, unsigned char, std::vector<float>> rows[] = {
      // round(c * 182 / 255) for each channel, colour's rounding: 128 * 182 / 255 = 91.36 gives 91.
      {kOfxBitDepthByte, {37, 92, 93, 128}, 182, {26, 66, 66, 91}},
      // 51 / 255 is 0.2f; halving and quartering it are exact.
      {kOfxBitDepthFloat, {0.125f, 0.25f, 0.5f, 0.5f}, 51, {0.025f, 0.05f, 0.1f, 0.1f}}};
  int frame = 0;  // a frame of its own each: the cache keeps a frame's first matte
  for (const auto& [depth, source, matte, expected] : rows) {
    SCOPED_TRACE(depth);
    auto fx = instanceShowing(solidImage({0, 0, 9, 1}, depth, source));
    writeFlatMatte(frame, matte);
    auto out = fx->render(frame++).output;
    EXPECT_EQ(pixelOf(*out, 0, 0), expected);
    EXPECT_EQ(pixelOf(*out, 8, 0), expected);
  }
}

TEST_F(RenderTest, TheFrameIndexComesFromTimeAndClipStart) {
  auto source = solidImage(kSmall, kOfxBitDepthByte, {255, 255, 255, 255});
  for (int f : {2, 3, 4}) writeFlatMatte(f, static_cast<unsigned char>(10 * f));
  auto fx = instanceShowing(source, "10.000000");
  fx->setValue("output_mode", 1);
  EXPECT_EQ(pixelOf(*fx->render(12.5).output, 0, 0)[0], 30);  // halves round away from zero
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

// A session id read back from a project is outside input: one that names
// the session's folder by way of a path finds nothing there.
TEST_F(RenderTest, ASessionIdThatIsAPathFindsNoMatte) {
  auto source = solidImage(kSmall, kOfxBitDepthByte, {255, 255, 255, 255});
  writeFlatMatte(0, 30);
  auto fx = instanceShowing(source);
  fx->setValue("output_mode", 1);
  for (const std::string& id : {"./" + session, session + "/."}) {
    fx->setValue("session_id", id);
    EXPECT_TRUE(samePixels(*fx->render(0).output, *source)) << id;
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

// Also: a cached matte outlives its file, and a missing one is found once
// it appears.
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

// Frame 0's matte is large and slow to decode, its output small; frame 1's
// output is large. Rendered while frame 0 decodes, frame 1 must not wait
// for that decode, and so ends first.
TEST_F(RenderTest, TwoThreadsRenderingTwoUncachedFramesBothGetTheirMattesWithoutWaitingForEachOther) {
  auto small = instanceShowing(solidImage({0, 0, 16, 16}, kOfxBitDepthByte, {255, 255, 255, 255}));
  auto large = instanceShowing(solidImage({0, 0, 1024, 1024}, kOfxBitDepthByte, {255, 255, 255, 255}));
  writeMatte(0, 8192, 8192, [](int x, int y) { return static_cast<unsigned char>(60 + ((x ^ y) & 1)); });
  writeMatte(1, 1024, 1024, [](int, int) { return 61; });
  RenderResult results[2];
  std::atomic<bool> slowDone{false};
  for (auto* fx : {&small, &large}) (*fx)->setValue("output_mode", 1);
  std::thread a([&] { results[0] = small->render(0), slowDone = true; });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // into frame 0's decode
  results[1] = large->render(1);
  EXPECT_FALSE(slowDone) << "frame 1 waited for frame 0's decode";
  a.join();
  removeMatte(0);
  removeMatte(1);
  for (int f = 0; f < 2; ++f) {
    auto& fx = f == 0 ? small : large;
    ASSERT_EQ(results[f].status, kOfxStatOK);
    EXPECT_EQ(pixelOf(*results[f].output, 2, 2)[0], 60 + f);
    EXPECT_EQ(pixelOf(*fx->render(f).output, 2, 2)[0], 60 + f);  // both cached
    EXPECT_EQ(fx->ledger().outstanding, 0);
  }
}

// Render compared, bit for bit, with the render formulas written out
// plainly, pixel by pixel, on random images, bounds, times and mattes.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <random>

#include "RenderFixture.h"

using namespace ofxhost;

namespace {

struct GreyMatte {
  int w = 0, h = 0;
  std::vector<unsigned char> pixels;  // rows from the top
};

float readChannel(ImageBuffer& image, int x, int y, int c) {
  return image.isFloat() ? image.pixelFloat(x, y)[c] : image.pixel(x, y)[c] / 255.0f;
}

// The formulas, without a thought for speed.
void referenceRender(ImageBuffer& src, ImageBuffer& out, const GreyMatte* matte, int mode) {
  const OfxRectI o = out.bounds(), s = src.bounds();
  const int W = o.x2 - o.x1, H = o.y2 - o.y1;
  for (int y = o.y1; y < o.y2; ++y)
    for (int x = o.x1; x < o.x2; ++x) {
      float p[4] = {0, 0, 0, 0};
      const bool inSource = y >= s.y1 && y < s.y2 && x >= s.x1 && x < s.x2;
      if (inSource)
        for (int c = 0; c < 4; ++c) p[c] = readChannel(src, x, y, c);
      if (matte) {
        int my = static_cast<int>(std::trunc(static_cast<double>(matte->h) * (H - 1 - (y - o.y1)) / H));
        int mx = static_cast<int>(std::trunc(static_cast<double>(matte->w) * (x - o.x1) / W));
        my = std::clamp(my, 0, matte->h - 1);
        mx = std::clamp(mx, 0, matte->w - 1);
        float a = matte->pixels[static_cast<std::size_t>(matte->w) * my + mx] / 255.0f;
        if (mode == 1) {
          p[0] = p[1] = p[2] = a;
          p[3] = 1;
        } else if (inSource) {
          p[0] *= a, p[1] *= a, p[2] *= a, p[3] *= a;
        } else {
          p[0] = p[1] = p[2] = p[3] = 0;  // no character where there is no source
        }
      }
      for (int c = 0; c < 4; ++c) {
        if (out.isFloat()) {
          out.pixelFloat(x, y)[c] = p[c];
        } else {
          float v = std::max(0.0f, p[c]);
          if (v > 1) v = 1;
          out.pixel(x, y)[c] = static_cast<unsigned char>(std::trunc(v * 255.0f + 0.5f));
        }
      }
    }
}

OfxRectI randomBounds(std::mt19937& rng) {
  std::uniform_int_distribution<int> corner(-12, 12), size(0, 28);
  int x1 = corner(rng), y1 = corner(rng);
  return OfxRectI{x1, y1, x1 + size(rng), y1 + size(rng)};
}

}  // namespace

TEST_F(RenderTest, MatchesThePlainFormulasBitForBit) {
  std::mt19937 rng(20261206), windowRng(613);
  std::uniform_int_distribution<int> byte(0, 255), coin(0, 1), matteSide(1, 33);
  std::uniform_real_distribution<float> wide(-0.5f, 2.0f);
  std::uniform_real_distribution<double> when(-3.0, 9.0);
  const int stringReadsBefore = ofxhost::stringReadsOffHostThread();

  // Mattes for frames 0 to 5; frame 3 has none.
  std::map<int, GreyMatte> mattes;
  for (int f = 0; f < 6; ++f) {
    if (f == 3) continue;
    GreyMatte m;
    m.w = matteSide(rng), m.h = matteSide(rng);
    for (int i = 0; i < m.w * m.h; ++i) m.pixels.push_back(static_cast<unsigned char>(byte(rng)));
    writeMatte(f, m.w, m.h, [&m](int x, int y) { return m.pixels[static_cast<std::size_t>(y) * m.w + x]; });
    mattes[f] = m;
  }

  int checked = 0, withMatte = 0;
  for (int round = 0; round < 300; ++round) {
    const char* depth = coin(rng) ? kOfxBitDepthFloat : kOfxBitDepthByte;
    auto source = ImageBuffer::allocate(randomBounds(rng), depth, 4 * coin(rng), coin(rng));
    for (int y = source->bounds().y1; y < source->bounds().y2; ++y)
      for (int x = source->bounds().x1; x < source->bounds().x2; ++x)
        for (int c = 0; c < 4; ++c) {
          if (source->isFloat())
            source->pixelFloat(x, y)[c] = wide(rng);
          else
            source->pixel(x, y)[c] = static_cast<unsigned char>(byte(rng));
        }
    const double clipStart = std::round(when(rng) * 4) / 4;
    char clipText[64];
    std::snprintf(clipText, sizeof clipText, "%f", clipStart);
    auto fx = instanceShowing(source, clipText);
    const int mode = std::uniform_int_distribution<int>(0, 3)(rng);
    fx->setValue("output_mode", mode);
    if (round % 10 == 0) fx->setValue("session_id", "");
    const double time = clipStart + when(rng);

    const GreyMatte* matte = nullptr;
    const double frame = std::round(time - clipStart);
    if (mode != 2 && round % 10 != 0 && frame >= 0 && mattes.count(static_cast<int>(frame)))
      matte = &mattes[static_cast<int>(frame)];

    // Every third round renders, as frame-threading hosts do, only a window
    // (which may reach past the output) cut into bands on several threads;
    // what lies outside it must keep the bytes it had. Half of those have
    // outputs as wide as the matte, whose rows are then read in place.
    const bool windowed = round % 3 == 1;
    OfxRectI outBounds = randomBounds(rng);
    if (windowed && matte && windowRng() % 2) outBounds.x2 = outBounds.x1 + matte->w;
    auto output = ImageBuffer::allocate(outBounds, depth, 8 * coin(rng), coin(rng));
    const OfxRectI window = windowed ? randomBounds(windowRng) : outBounds;
    for (int y = outBounds.y1; y < outBounds.y2 && output->width() > 0; ++y)
      std::memset(output->pixel(outBounds.x1, y), 0xA5,
                  static_cast<std::size_t>(output->width()) * output->bytesPerPixel());
    const int bands = std::uniform_int_distribution<int>(1, 5)(windowRng);
    const int threads = std::uniform_int_distribution<int>(1, 4)(windowRng);
    RenderResult r =
        windowed ? fx->renderWindows(time, output, rowBands(window, bands), threads) : fx->renderInto(time, output);
    ASSERT_EQ(r.status, kOfxStatOK);

    auto rendered = ImageBuffer::allocate(outBounds, depth), expected = ImageBuffer::allocate(outBounds, depth);
    referenceRender(*source, *rendered, matte, mode);
    for (int y = outBounds.y1; y < outBounds.y2; ++y)
      for (int x = outBounds.x1; x < outBounds.x2; ++x) {
        const bool inWindow = x >= window.x1 && x < window.x2 && y >= window.y1 && y < window.y2;
        if (inWindow)
          std::memcpy(expected->pixel(x, y), rendered->pixel(x, y),
                      static_cast<std::size_t>(expected->bytesPerPixel()));
        else
          std::memset(expected->pixel(x, y), 0xA5, static_cast<std::size_t>(expected->bytesPerPixel()));
      }
    for (int y = outBounds.y1; y < outBounds.y2 && output->width() > 0; ++y)
      ASSERT_EQ(std::memcmp(output->pixel(outBounds.x1, y), expected->pixel(outBounds.x1, y),
                            static_cast<std::size_t>(output->width()) * output->bytesPerPixel()),
                0)
          << "round " << round << " row " << y << " mode " << mode << " depth " << depth << " windowed " << windowed;
    ++checked;
    withMatte += matte != nullptr;
    fx->destroy();
  }
  EXPECT_EQ(checked, 300);
  EXPECT_GT(withMatte, 60);  // the comparison covered mattes, not just copies
  // Render threads never asked for a string: some hosts lend one buffer per parameter.
  EXPECT_EQ(ofxhost::stringReadsOffHostThread(), stringReadsBefore);
}

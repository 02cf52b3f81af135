// The real bundle's overlay drawn into a real offscreen OpenGL context and
// read back pixel by pixel: where the box outline, its corner squares and the
// translucent dabs land over a known frame, and the prismhollow command that
// writes such a picture.

#include <gtest/gtest.h>
#include <stb_image.h>

#include <array>
#include <cmath>
#include <memory>
#include <tuple>

#include "Host.h"
#include "HostError.h"
#include "Instance.h"
#include "OverlayPreview.h"
#include "Plugin.h"
#include "TestSupport.h"

using namespace ofxhost;

namespace {

constexpr int kWidth = 1024, kHeight = 512;
using Rgb = std::array<int, 3>;
using Colour = std::array<double, 3>;
const Rgb kBackground = {64, 64, 64};
const Colour kBox = {0.902, 0.616, 0.153}, kAdd = {0.0, 0.898, 1.0}, kExclude = {1.0, 0.271, 0.227};
const std::string kBoxText = R"({"h":0.25,"w":0.5,"x":0.125,"y":0.25})";
// An add dab at canonical (768, 384), radius 51.2, painted on frame 0 (so
// that frame's tick is drawn too); an exclude dab at (256, 128), radius 40.96.
const std::string kBrushText = "[[0.75,0.25,0.05,0.0],[0.25,0.75,-0.04]]";

// What GL_SRC_ALPHA / GL_ONE_MINUS_SRC_ALPHA makes of the colour over the pixel.
Rgb blend(const Colour& colour, double alpha, const Rgb& under) {
  Rgb out;
  for (int i = 0; i < 3; ++i) out[i] = static_cast<int>(std::lround(alpha * colour[i] * 255 + (1 - alpha) * under[i]));
  return out;
}

::testing::AssertionResult near(const Rgb& got, const Rgb& want, int x, int y) {
  for (int i = 0; i < 3; ++i)
    if (std::abs(got[i] - want[i]) > 2)
      return ::testing::AssertionFailure() << "pixel (" << x << ", " << y << ") is " << got[0] << "," << got[1] << ","
                                           << got[2] << ", expected " << want[0] << "," << want[1] << "," << want[2];
  return ::testing::AssertionSuccess();
}

class PreviewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InstanceSettings settings;
    settings.projectWidth = kWidth;
    settings.projectHeight = kHeight;
    settings.strings["backend_url"] = "";  // no beacon
    instance = host.loadPlugin(ORV_BUNDLE_DIR).createInstance(settings);
    instance->setValue("bbox_json", kBoxText);
    instance->setValue("brush_json", kBrushText);
  }
  // Draws over the dark frame, whose top-left 8 x 8 corner is white so that
  // a frame drawn upside down shows.
  void draw(bool viewerBlends = true) {
    auto frame = solidFrame(kWidth, kHeight, {64, 64, 64});
    for (int y = kHeight - 8; y < kHeight; ++y)
      for (int x = 0; x < 8; ++x) frame->pixel(x, y)[0] = frame->pixel(x, y)[1] = frame->pixel(x, y)[2] = 255;
    try {
      preview = renderOverlayPreview(instance, *frame, 0, viewerBlends);
    } catch (const HostError& e) {
      FAIL() << "the overlay cannot be drawn offscreen on this machine: " << e.what();
    }
    ASSERT_EQ(preview.image->width(), kWidth);
    ASSERT_EQ(preview.image->height(), kHeight);
  }
  // Pixel (x, y) counted from the bottom, as canonical y is.
  Rgb at(int x, int y) const {
    const unsigned char* p = preview.image->pixel(x, y);
    return {p[0], p[1], p[2]};
  }
  Host host;
  std::shared_ptr<EffectInstance> instance;
  OverlayPreview preview;
};

// The outline on the box edges only, the corner squares filled ten by ten,
// the dabs' colours blended over the frame.
TEST_F(PreviewTest, TheBoxAndTheDabsLandWhereTheyBelong) {
  ASSERT_NO_FATAL_FAILURE(draw());
  EXPECT_EQ(preview.status, kOfxStatOK);
  EXPECT_EQ(preview.glError, 0u);
  const Rgb box = blend(kBox, 1.0, kBackground);
  // Edges at canonical x 128 and 640, y 384 (top) and 256 (bottom); the
  // 1.5 wide line covers the pixels on both sides of each.
  for (int y : {383, 384, 255, 256}) EXPECT_TRUE(near(at(384, y), box, 384, y));
  for (int x : {127, 128, 639, 640}) EXPECT_TRUE(near(at(x, 320), box, x, 320));
  for (auto [x, y] : {std::pair{384, 320}, {384, 381}, {384, 386}, {125, 320}, {131, 320}})
    EXPECT_TRUE(near(at(x, y), kBackground, x, y));
  for (auto [cx, cy] : {std::pair{128, 384}, {128, 256}, {640, 384}, {640, 256}}) {
    for (int y = cy - 5; y < cy + 5; ++y)
      for (int x = cx - 5; x < cx + 5; ++x) EXPECT_TRUE(near(at(x, y), box, x, y));
    // The ring just outside, where it is off the outline.
    for (int i = -6; i <= 5; ++i)
      for (auto [x, y] : {std::pair{cx + i, cy - 6}, {cx + i, cy + 5}, {cx - 6, cy + i}, {cx + 5, cy + i}})
        if (std::abs(x - cx) > 1 && std::abs(y - cy) > 1) {
          EXPECT_TRUE(near(at(x, y), kBackground, x, y));
        }
  }
  const Rgb add = blend(kAdd, 0.35, kBackground), exclude = blend(kExclude, 0.35, kBackground);
  EXPECT_TRUE(near(at(768, 384), add, 768, 384));
  EXPECT_TRUE(near(at(768 + 45, 384), add, 768 + 45, 384));
  EXPECT_TRUE(near(at(768, 384 - 58), kBackground, 768, 384 - 58));
  EXPECT_TRUE(near(at(256, 128), exclude, 256, 128));
  EXPECT_TRUE(near(at(256, 128 + 36), exclude, 256, 128 + 36));
  EXPECT_TRUE(near(at(256 - 47, 128), kBackground, 256 - 47, 128));
  // Far from everything: the frame, the right way up.
  EXPECT_TRUE(near(at(1000, 20), kBackground, 1000, 20));
  EXPECT_TRUE(near(at(3, kHeight - 3), Rgb{255, 255, 255}, 3, kHeight - 3));
  EXPECT_TRUE(near(at(3, 3), kBackground, 3, 3));
  writeFramePng(*preview.image, PREVIEW_OUTPUT_DIR "/overlay_preview.png");
}

TEST_F(PreviewTest, LooksTheSameWhetherTheViewerBlendsOrNotAndLeavesTheViewerStateAsItWas) {
  std::vector<unsigned char> pictures[2];
  for (bool blends : {false, true}) {
    ASSERT_NO_FATAL_FAILURE(draw(blends));
    EXPECT_EQ(preview.stateLeftChanged, "") << "viewer blending " << blends;
    auto* bytes = static_cast<unsigned char*>(preview.image->data());
    pictures[blends].assign(bytes, bytes + static_cast<std::size_t>(kWidth) * kHeight * 4);
  }
  EXPECT_TRUE(pictures[0] == pictures[1]);
}

Outcome runOverlayCommand(const std::string& arguments, const std::string& prefix = "") {
  return run(quoted(PRISMHOLLOW_COMMAND) + " overlay " + arguments, prefix);
}

// Loads a PNG as RGB rows from the top.
std::vector<unsigned char> loadPng(const std::string& path, int* width, int* height) {
  int channels = 0;
  std::unique_ptr<unsigned char, void (*)(void*)> png(stbi_load(path.c_str(), width, height, &channels, 3),
                                                      stbi_image_free);
  if (!png) return {};
  return std::vector<unsigned char>(png.get(), png.get() + static_cast<std::size_t>(*width) * *height * 3);
}

TEST(PreviewCommand, WritesThePictureTopRowFirst) {
  const std::string out = PREVIEW_OUTPUT_DIR "/overlay_command.png";
  std::remove(out.c_str());
  ASSERT_EQ(
      runOverlayCommand(quoted(ORV_BUNDLE_DIR) + " " + quoted(out) + " --size 1024x512 --bbox " + quoted(kBoxText))
          .exitCode,
      0);
  int width = 0, height = 0;
  const std::vector<unsigned char> png = loadPng(out, &width, &height);
  ASSERT_FALSE(png.empty()) << out << " is not a PNG";
  ASSERT_EQ(width, kWidth);
  ASSERT_EQ(height, kHeight);
  auto pixel = [&](int x, int row) {
    const unsigned char* p = png.data() + (row * width + x) * 3;
    return Rgb{p[0], p[1], p[2]};
  };
  // Canonical y 384 (the top edge) is the PNG's row 127 or 128 from the top.
  const Rgb grey = {128, 128, 128};
  EXPECT_TRUE(near(pixel(384, kHeight - 1 - 384), blend(kBox, 1.0, grey), 384, kHeight - 1 - 384));
  EXPECT_TRUE(near(pixel(384, 384), grey, 384, 384));  // canonical y 127, below the box
  EXPECT_TRUE(near(pixel(384, kHeight - 1 - 320), grey, 384, kHeight - 1 - 320));
}

TEST(PreviewCommand, SizeScalesTheImageToIt) {
  auto frame = solidFrame(4, 2, {255, 0, 0});
  for (int y = 0; y < 2; ++y) frame->pixel(3, y)[0] = 0, frame->pixel(3, y)[2] = 255;  // the right column blue
  const std::string in = PREVIEW_OUTPUT_DIR "/overlay_small.png", out = PREVIEW_OUTPUT_DIR "/overlay_scaled.png";
  writeFramePng(*frame, in);
  ASSERT_EQ(runOverlayCommand(quoted(ORV_BUNDLE_DIR) + " " + quoted(out) + " --image " + quoted(in) +
                              " --size 64x32 --brush '[]'")
                .exitCode,
            0);
  int width = 0, height = 0;
  const std::vector<unsigned char> png = loadPng(out, &width, &height);
  ASSERT_EQ(width, 64);
  ASSERT_EQ(height, 32);
  for (auto [x, rgb] : {std::pair{0, Rgb{255, 0, 0}}, {47, Rgb{255, 0, 0}}, {48, Rgb{0, 0, 255}}, {63, Rgb{0, 0, 255}}})
    EXPECT_TRUE(near(Rgb{png[x * 3], png[x * 3 + 1], png[x * 3 + 2]}, rgb, x, 0));
}

// Failures and bad usage: the exit code, the words that say what is wrong,
// and nothing written, not even in part.
TEST(PreviewCommand, FailuresSayWhatIsWrongAndLeaveNoFile) {
  const std::filesystem::path dir = PREVIEW_OUTPUT_DIR "/overlay_failures";
  const std::string bundle = quoted(ORV_BUNDLE_DIR) + " ", out = quoted((dir / "out.png").string());
  const std::vector<std::tuple<std::string, std::string, int, std::vector<std::string>>> cases = {
      {"", quoted(PREVIEW_OUTPUT_DIR "/no-such.ofx.bundle") + " " + out, 1, {"no-such.ofx.bundle"}},
      {"", bundle + "/dev/full --size 64x32", 1, {"/dev/full", "No space left on device"}},
      {"trap '' XFSZ; ulimit -f 0; ", bundle + out + " --size 64x32", 1, {"out.png", "File too large"}},
      {"", bundle + out + " --bbox '{x:0.1}'", 2, {"--bbox", "is not JSON"}},
      {"", bundle + out + " --bbox '[1,2,3]'", 2, {"--bbox", "must be a JSON object"}},
      {"", bundle + out + R"( --bbox '{"x":0.5,"y":0.1,"w":-0.2,"h":0.1}')", 2, {"w must lie from 0 to 1"}},
      {"", bundle + out + R"( --bbox '{"x":0.5,"y":0.1,"w":0.6,"h":0.1}')", 2, {"reaches past the frame"}},
      {"", bundle + out + " --brush garbage", 2, {"--brush", "is not JSON"}},
      {"", bundle + out + " --brush '[[0.5,0.5,0.1,0.0],[0.5,0.5]]'", 2, {"dab 2 is not three numbers"}},
      {"", bundle + out + " --brush '[[0.5,1.5,0.1]]'", 2, {"dab 1: x and y"}},
      {"", bundle + out + " --brush '[[0.5,0.5,0]]'", 2, {"dab 1: r must not be 0"}},
      {"", bundle + out + " --bbox", 2, {"--bbox needs a value"}},
      {"", bundle, 2, {"needs OUT.png"}},
      {"", "", 2, {"needs BUNDLE and OUT.png"}},
  };
  for (const auto& [prefix, arguments, exitCode, parts] : cases) {
    SCOPED_TRACE(prefix + arguments);
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    const Outcome r = runOverlayCommand(arguments, prefix);
    EXPECT_EQ(r.exitCode, exitCode) << r.output;
    for (const std::string& part : parts) EXPECT_NE(r.output.find(part), std::string::npos) << r.output;
    EXPECT_TRUE(std::filesystem::is_empty(dir));
  }
}

}  // namespace

#pragma once
// Renders the real effect through our host, with matte PNG files of a
// session of its own in the staging root.

#include <stb_image_write.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "Image.h"
#include "PluginFixture.h"
#include "TestSupport.h"

class RenderTest : public PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    // The staging root may be another user's where this process has none of its own.
    if (!hasPrivateTmp()) GTEST_SKIP() << "no private staging root here: it needs a mount namespace";
    static std::atomic<int> counter{0};
    session = "test-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + "-" +
              std::to_string(std::random_device{}());
    dir = kStagingRoot + session + "/";
    std::filesystem::create_directories(dir);
  }
  void TearDown() override {
    std::error_code ec;
    if (!dir.empty()) std::filesystem::remove_all(dir, ec);
    PluginTest::TearDown();
  }

  std::string mattePath(int frame) const { return dir + contract::frame_name(frame, ".png"); }

  // Writes frame's matte as a grey PNG: value(x, y) with y from the top.
  void writeMatte(int frame, int w, int h, const std::function<unsigned char(int, int)>& value) const {
    std::vector<unsigned char> pixels(static_cast<std::size_t>(w) * h);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) pixels[static_cast<std::size_t>(y) * w + x] = value(x, y);
    ASSERT_NE(stbi_write_png(mattePath(frame).c_str(), w, h, 1, pixels.data(), w), 0);
  }
  void writeFlatMatte(int frame, unsigned char value, int w = 4, int h = 4) const {
    writeMatte(frame, w, h, [value](int, int) { return value; });
  }
  void removeMatte(int frame) const { std::filesystem::remove(mattePath(frame)); }

  // An instance whose Source delivers `source` at every time, set to show
  // this test's session.
  std::shared_ptr<ofxhost::EffectInstance> instanceShowing(std::shared_ptr<ofxhost::ImageBuffer> source,
                                                           const std::string& clipStart = "0") {
    // The project is the source's rectangle, so renders cover it exactly.
    ofxhost::InstanceSettings settings;
    settings.depth = source->depth();
    settings.offsetX = source->bounds().x1, settings.offsetY = source->bounds().y1;
    settings.projectWidth = source->width(), settings.projectHeight = source->height();
    settings.strings["session_id"] = session;  // as a saved project holds them
    settings.strings["clip_start"] = clipStart;
    auto fx = newInstance(settings);
    fx->setSource([source](OfxTime) { return source; });
    return fx;
  }

  std::string session;
  std::string dir;
};

// An RGBA image whose every pixel is the given colour.
inline std::shared_ptr<ofxhost::ImageBuffer> solidImage(const OfxRectI& bounds, const std::string& depth,
                                                        const std::vector<float>& rgba, int padding = 0,
                                                        bool topDown = false) {
  auto image = ofxhost::ImageBuffer::allocate(bounds, depth, padding, topDown);
  for (int y = bounds.y1; y < bounds.y2; ++y)
    for (int x = bounds.x1; x < bounds.x2; ++x)
      for (int c = 0; c < 4; ++c) {
        if (image->isFloat())
          image->pixelFloat(x, y)[c] = rgba[c];
        else
          image->pixel(x, y)[c] = static_cast<unsigned char>(rgba[c]);
      }
  return image;
}

// prismhollow overlay: the effect's overlay drawn over a frame into a PNG.

#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <tuple>

#include "Host.h"
#include "OverlayPreview.h"
#include "commands.h"
#include "contract/selection.h"

namespace {

constexpr int kMaxSide = 16384;

// "WxH" with both sides whole numbers from 1 to kMaxSide.
bool parseSize(const std::string& text, int* width, int* height) {
  std::size_t x = text.find('x');
  if (x == std::string::npos) return false;
  auto side = [](const std::string& digits, int* value) {
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos)
      return false;
    *value = std::stoi(digits);
    return *value >= 1 && *value <= kMaxSide;
  };
  return side(text.substr(0, x), width) && side(text.substr(x + 1), height);
}

// What is wrong with a --bbox text as a box record, or "" when nothing is
// (contract::check_box).
std::string boxProblem(const std::string& text) {
  const nlohmann::json record = contract::parse_record(text);
  return record.is_discarded() ? "is not JSON" : contract::check_box(record);
}

// The same for a --brush text: dabs as the overlay keeps them, with the time
// of their frame or without (contract::check_dabs).
std::string brushProblem(const std::string& text) {
  const nlohmann::json record = contract::parse_record(text);
  std::size_t room = contract::kMaxDabs;
  return record.is_discarded() ? "is not JSON" : contract::check_dabs(record, contract::DabForm::kRecord, &room);
}

// The frame scaled to width x height, nearest pixel.
std::shared_ptr<ofxhost::ImageBuffer> scaled(ofxhost::ImageBuffer& frame, int width, int height) {
  if (frame.width() == width && frame.height() == height) return nullptr;
  auto out = ofxhost::ImageBuffer::allocate({0, 0, width, height}, kOfxBitDepthByte);
  for (int y = 0; y < height; ++y) {
    const int fy = static_cast<int>(static_cast<long long>(y) * frame.height() / height);
    for (int x = 0; x < width; ++x) {
      const int fx = static_cast<int>(static_cast<long long>(x) * frame.width() / width);
      std::memcpy(out->pixel(x, y), frame.pixel(frame.bounds().x1 + fx, frame.bounds().y1 + fy), 4);
    }
  }
  return out;
}

}  // namespace

int overlayCommand(const std::vector<std::string>& args) {
  std::vector<std::string> positional;
  std::string size, image;
  std::optional<std::string> bbox, brush;  // the instance's defaults when not given
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--size" || a == "--image" || a == "--bbox" || a == "--brush") {
      if (i + 1 == args.size()) {
        std::fprintf(stderr, "prismhollow: %s needs a value\n%s", a.c_str(), kUsage);
        return 2;
      }
      const std::string& value = args[++i];
      if (a == "--size") size = value;
      if (a == "--image") image = value;
      if (a == "--bbox") bbox = value;
      if (a == "--brush") brush = value;
    } else if (a.size() > 1 && a[0] == '-') {
      std::fprintf(stderr, "prismhollow: unknown option \"%s\"\n%s", a.c_str(), kUsage);
      return 2;
    } else {
      positional.push_back(a);
    }
  }
  if (positional.size() != 2) {
    if (positional.size() > 2)
      std::fprintf(stderr, "prismhollow: overlay takes BUNDLE and OUT.png only, not also \"%s\"\n%s",
                   positional[2].c_str(), kUsage);
    else
      std::fprintf(stderr, "prismhollow: overlay needs %s\n%s",
                   positional.empty() ? "BUNDLE and OUT.png" : "OUT.png, the picture to write", kUsage);
    return 2;
  }
  for (const auto& [option, text, problem] :
       {std::tuple{"--bbox", bbox, &boxProblem}, {"--brush", brush, &brushProblem}})
    if (text) {
      const std::string why = problem(*text);
      if (!why.empty()) {
        std::fprintf(stderr, "prismhollow: %s \"%s\" %s\n", option, text->c_str(), why.c_str());
        return 2;
      }
    }
  int width = 0, height = 0;
  if (!size.empty() && !parseSize(size, &width, &height)) {
    std::fprintf(stderr, "prismhollow: --size must be WIDTHxHEIGHT, such as 1920x1080 (1 to %d a side), not \"%s\"\n",
                 kMaxSide, size.c_str());
    return 2;
  }
  try {
    std::shared_ptr<ofxhost::ImageBuffer> frame;
    if (!image.empty()) {
      frame = ofxhost::loadFramePng(image);
      if (width)
        if (auto resized = scaled(*frame, width, height)) frame = resized;
    } else {
      frame = ofxhost::solidFrame(width ? width : 1920, height ? height : 1080, {128, 128, 128});
    }
    ofxhost::InstanceSettings settings;
    settings.projectWidth = width ? width : frame->width();
    settings.projectHeight = height ? height : frame->height();
    ofxhost::Host host;
    ofxhost::Plugin& plugin = host.loadPlugin(positional[0]);
    auto instance = plugin.createInstance(settings);
    if (bbox) instance->setValue("bbox_json", *bbox);
    if (brush) instance->setValue("brush_json", *brush);
    ofxhost::OverlayPreview preview = ofxhost::renderOverlayPreview(instance, *frame);
    if (preview.status == kOfxStatReplyDefault)
      std::fputs("prismhollow: the overlay drew nothing (is \"Edit selection in viewer\" off?)\n", stderr);
    if (preview.glError) std::fprintf(stderr, "prismhollow: the overlay left OpenGL error 0x%x\n", preview.glError);
    ofxhost::writeFramePng(*preview.image, positional[1]);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "prismhollow: %s\n", e.what());
    return 1;
  }
  return 0;
}

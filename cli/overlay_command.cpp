// prismhollow overlay: the effect's overlay drawn over a frame into a PNG.

#include <cmath>
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
#include "orv/selection.h"

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

// What is wrong with a --bbox text as a box record, or "" when nothing is:
// an object of the numbers x, y, w and h (and t, the time of its frame, as
// the overlay writes it), a box of the frame (x + w and y + h at most 1)
// whose w is greater than 0.
std::string boxProblem(const std::string& text) {
  const nlohmann::json record = orv::parse_record(text);
  if (record.is_discarded()) return "is not JSON";
  if (!record.is_object()) return "must be a JSON object of the numbers x, y, w and h";
  for (const auto& member : record.items())
    if (member.key().size() != 1 || std::string("xywht").find(member.key()) == std::string::npos ||
        (member.key() == "t" && !member.value().is_number()))
      return "has a member \"" + member.key() + "\"; a box has only x, y, w and h (and t, the number of its frame)";
  double v[4];
  for (int i = 0; i < 4; ++i) {
    const std::string name(1, "xywh"[i]);
    if (!record.contains(name) || !record[name].is_number()) return "lacks the number " + name;
    v[i] = record[name].get<double>();
    if (!(v[i] >= 0 && v[i] <= 1)) return name + " must lie from 0 to 1";
  }
  if (!(v[2] > 0)) return "w must be greater than 0";
  if (v[0] + v[2] > 1 + 1e-9 || v[1] + v[3] > 1 + 1e-9)
    return "reaches past the frame: x + w and y + h must be at most 1";
  return "";
}

// The same for a --brush text: an array of dabs [x, y, r], x and y from 0
// to 1, r not 0 (greater adds, less excludes) and at most 1 either way.
std::string brushProblem(const std::string& text) {
  const nlohmann::json record = orv::parse_record(text);
  if (record.is_discarded()) return "is not JSON";
  if (!record.is_array()) return "must be a JSON array of dabs [x, y, r] or [x, y, r, t]";
  if (record.size() > orv::kMaxDabs) return "holds more than " + std::to_string(orv::kMaxDabs) + " dabs";
  for (std::size_t i = 0; i < record.size(); ++i) {
    const nlohmann::json& dab = record[i];
    const std::string which = "dab " + std::to_string(i + 1);
    // A fourth number is the time of the frame the dab was painted on.
    const bool timed = dab.is_array() && dab.size() == 4 && dab[3].is_number();
    if (!dab.is_array() || (dab.size() != 3 && !timed) || !dab[0].is_number() || !dab[1].is_number() ||
        !dab[2].is_number())
      return which + " is not three numbers [x, y, r] (or four, with the time of its frame)";
    const double x = dab[0].get<double>(), y = dab[1].get<double>(), r = dab[2].get<double>();
    if (!(x >= 0 && x <= 1 && y >= 0 && y <= 1)) return which + ": x and y must lie from 0 to 1";
    if (!(r != 0 && std::fabs(r) <= 1)) return which + ": r must not be 0 and must lie from -1 to 1";
  }
  return "";
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

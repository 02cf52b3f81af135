#include "pull_options.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "contract/files.h"

const char* const kPullUsage =
    "usage: prismhollow pull CLIP [OPTIONS]\n"
    "Pulls the matte of one character through a whole clip: the plug-in is loaded as a host\n"
    "loads it, the selection is drawn through its overlay, \"Pull alpha (whole clip)\" is\n"
    "pressed on the anchor frame, and once the backend is done every frame is rendered\n"
    "through the effect into DIR/NNNNNN.png (named by the file's frame number), with\n"
    "DIR/contact-sheet.png and DIR/preview.mp4 to look at.\n"
    "\n"
    "CLIP is a video file, a folder of numbered images, or a printf pattern of them\n"
    "(\"shot/frame.%04d.png\").\n"
    "\n"
    "The selection (a box or a dab that adds, at least):\n"
    "  --box X,Y,W,H        a box in fractions of the frame, origin top-left (one box a pull)\n"
    "  --box-px X,Y,W,H     the same in pixels of the clip\n"
    "  --add X,Y            a dab that adds (fractions; repeatable)\n"
    "  --exclude X,Y        a dab that excludes (fractions; repeatable)\n"
    "  --brush-size S       the dabs' radius as a fraction of the width (0.005 to 0.3; 0.03)\n"
    "  --hint TEXT          a description of the character, sent with a box or dabs\n"
    "Corrections, where the matte goes wrong on other frames (F a frame number, as for --anchor):\n"
    "  --box F:X,Y,W,H      the box on frame F instead of the anchor frame (--box-px F:... too)\n"
    "  --add F:X,Y          a dab that adds on frame F (repeatable)\n"
    "  --exclude F:X,Y      a dab that excludes on frame F (repeatable)\n"
    "  --corrections FILE   dabs from a JSON file:\n"
    "                       [{\"frame\": F, \"add\": [[X, Y], ...], \"exclude\": [[X, Y], ...]}, ...]\n"
    "  When the anchor frame has no box and no dab that adds, the nearest frame with one\n"
    "  becomes the anchor.\n"
    "The job:\n"
    "  --anchor FRAME       the frame the selection is drawn on (default: the range's first)\n"
    "  --frames FIRST:LAST  the frames to matte, by the file's numbers (default: all)\n"
    "  --quality fine|fast  (default: fine)\n"
    "  --softness S         edge softness from 0 to 1 (default 0.35)\n"
    "  --output rgba|matte|source\n"
    "                       what the PNG files hold: the character premultiplied by its matte,\n"
    "                       the matte alone, or the untouched source (default: rgba)\n"
    "  --float              frames reach the plug-in as float; PNG files are 16-bit\n"
    "  --backend URL        a running matting backend (default: start prismhollow-backend on a\n"
    "                       free loopback port for the length of the job)\n"
    "  --out DIR            where the results go (default: CLIPNAME_matte in this folder); they\n"
    "                       are written beside it and move in once whole\n"
    "  --overwrite          replace the results of another pull in DIR (refused otherwise)\n"
    "  --bundle PATH        the plug-in bundle (default: OFX_PLUGIN_PATH, /usr/OFX/Plugins)\n"
    "  --help\n"
    "Exit status: 0 done, 1 failed, 2 bad usage, 130 interrupted.\n";

namespace {

double number(const std::string& option, const std::string& text) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !std::isfinite(value))
    throw UsageError(option + " takes a number, not \"" + text + "\"");
  return value;
}

int frameNumber(const std::string& option, const std::string& text) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
    throw UsageError(option + " takes a frame number, not \"" + text + "\"");
  return std::stoi(text);
}

// "a,b,c" as `count` numbers.
std::vector<double> numbers(const std::string& option, const std::string& text, std::size_t count) {
  std::vector<double> values;
  std::size_t from = 0;
  for (std::size_t comma; values.size() + 1 < count && (comma = text.find(',', from)) != std::string::npos;
       from = comma + 1)
    values.push_back(number(option, text.substr(from, comma - from)));
  values.push_back(number(option, text.substr(from)));
  if (values.size() != count)
    throw UsageError(option + " takes " + std::to_string(count) + " numbers separated by commas, not \"" + text + "\"");
  return values;
}

int choice(const std::string& option, const std::string& text, const std::vector<std::string>& names) {
  for (std::size_t i = 0; i < names.size(); ++i)
    if (text == names[i]) return static_cast<int>(i);
  std::string list;
  for (const auto& name : names) list += (list.empty() ? "" : "|") + name;
  throw UsageError(option + " takes " + list + ", not \"" + text + "\"");
}

// A dab as the overlay is to paint it, checked as the backend will check it:
// r is 1 or -1 here, the brush size being applied by the overlay.
contract::Dab checkedDab(const std::string& what, double x, double y, bool exclude, std::optional<double> frame) {
  const contract::Dab dab{x, y, exclude ? -1.0 : 1.0, frame};
  if (const std::string why = contract::dab_problem(dab); !why.empty()) throw UsageError(what + ": " + why);
  return dab;
}

// The dabs of a --corrections file, in its order:
// [{"frame": F, "add": [[x, y], ...], "exclude": [[x, y], ...]}, ...].
void readCorrections(const std::string& path, std::vector<contract::Dab>* dabs) {
  const std::string where = "--corrections " + path + ": ";
  const std::optional<std::string> text = contract::read_file(path);
  if (!text) throw UsageError(where + "cannot be read");
  const nlohmann::json list = contract::parse_record(*text);
  if (list.is_discarded()) throw UsageError(where + "is not JSON");
  if (!list.is_array())
    throw UsageError(where + R"(must hold an array of {"frame": F, "add": [[x, y], ...], "exclude": [[x, y], ...]})");
  for (std::size_t i = 0; i < list.size(); ++i) {
    const nlohmann::json& item = list[i];
    const std::string number = "correction number " + std::to_string(i + 1);
    if (!item.is_object()) throw UsageError(where + number + " is not an object");
    for (const auto& member : item.items())
      if (member.key() != "frame" && member.key() != "add" && member.key() != "exclude")
        throw UsageError(where + number + " has a member \"" + member.key() +
                         "\"; a correction has only frame, add and exclude");
    const auto frame = item.find("frame");
    if (frame == item.end() || !frame->is_number_unsigned() || frame->get<std::uint64_t>() > 999999999)
      throw UsageError(where + number + " has no frame number");
    const std::string on = "correction on frame " + std::to_string(frame->get<int>());
    const std::size_t before = dabs->size();
    for (const char* kind : {"add", "exclude"}) {
      const auto points = item.find(kind);
      if (points == item.end()) continue;
      const std::string shape = where + on + ": \"" + kind + "\" must be an array of points [x, y]";
      if (!points->is_array()) throw UsageError(shape);
      for (const nlohmann::json& p : *points) {
        if (!p.is_array() || p.size() != 2 || !p[0].is_number() || !p[1].is_number()) throw UsageError(shape);
        dabs->push_back(checkedDab(where + on + ": \"" + kind + "\" " + p.dump(), p[0].get<double>(),
                                   p[1].get<double>(), kind == std::string("exclude"), frame->get<double>()));
      }
    }
    if (dabs->size() == before) throw UsageError(where + on + R"( marks nothing; give it "add" or "exclude" points)");
  }
}

}  // namespace

PullOptions parsePullOptions(const std::vector<std::string>& args) {
  PullOptions o;
  std::string boxGiven;  // the box option and its value, once given
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      o.help = true;
      continue;
    }
    if (a == "--float") {
      o.isFloat = true;
      continue;
    }
    if (a == "--overwrite") {
      o.overwrite = true;
      continue;
    }
    if (a.rfind("-", 0) != 0) {
      if (!o.clip.empty()) throw UsageError("one clip at a time, not \"" + o.clip + "\" and \"" + a + "\"");
      o.clip = a;
      continue;
    }
    if (i + 1 == args.size()) throw UsageError(a + " needs a value");
    const std::string& v = args[++i];
    if (a == "--box" || a == "--box-px") {
      if (!boxGiven.empty())
        throw UsageError(a + " " + v + ": one box per pull (the overlay keeps one box), and " + boxGiven +
                         " is given already; correct other frames with --add F:X,Y or --exclude F:X,Y");
      boxGiven = a + " " + v;
      const std::size_t colon = v.find(':');
      std::optional<double> frame;
      if (colon != std::string::npos) frame = frameNumber(a, v.substr(0, colon));
      const std::vector<double> b = numbers(a, colon == std::string::npos ? v : v.substr(colon + 1), 4);
      if (b[2] <= 0 || b[3] <= 0) throw UsageError(a + " needs a width and a height above 0");
      o.box = contract::Box{b[0], b[1], b[2], b[3], frame};
      o.boxInPixels = a == "--box-px";
      if (const std::string why = contract::box_problem(*o.box); !o.boxInPixels && !why.empty())
        throw UsageError(a + " " + v + ": the box " + why);
    } else if (a == "--add" || a == "--exclude") {
      const std::size_t colon = v.find(':');
      std::optional<double> frame;
      if (colon != std::string::npos) frame = frameNumber(a, v.substr(0, colon));
      const std::vector<double> p = numbers(a, colon == std::string::npos ? v : v.substr(colon + 1), 2);
      o.dabs.push_back(checkedDab(a + " " + v, p[0], p[1], a == "--exclude", frame));
    } else if (a == "--corrections") {
      readCorrections(v, &o.dabs);
    } else if (a == "--brush-size") {
      o.brushSize = number(a, v);
      if (o.brushSize < 0.005 || o.brushSize > 0.3) throw UsageError("--brush-size takes 0.005 to 0.3");
    } else if (a == "--hint") {
      o.hint = v;
    } else if (a == "--anchor") {
      o.anchor = frameNumber(a, v);
    } else if (a == "--frames") {
      const std::size_t colon = v.find(':');
      if (colon == std::string::npos) throw UsageError("--frames takes FIRST:LAST, not \"" + v + "\"");
      o.frames = {frameNumber(a, v.substr(0, colon)), frameNumber(a, v.substr(colon + 1))};
      if (o.frames->first > o.frames->second) throw UsageError("--frames " + v + " ends before it begins");
    } else if (a == "--quality") {
      o.quality = choice(a, v, {"fine", "fast"});
    } else if (a == "--softness") {
      o.softness = number(a, v);
      if (o.softness < 0 || o.softness > 1) throw UsageError("--softness takes 0 to 1");
    } else if (a == "--output") {
      o.output = choice(a, v, {"rgba", "matte", "source"});
    } else if (a == "--backend") {
      if (v.rfind("http://", 0) != 0 && v.rfind("https://", 0) != 0)
        throw UsageError("--backend takes an http:// or https:// address, not \"" + v + "\"");
      o.backend = v;
    } else if (a == "--out") {
      o.out = v;
    } else if (a == "--bundle") {
      o.bundle = v;
    } else {
      throw UsageError("unknown option \"" + a + "\"");
    }
  }
  if (o.help) return o;
  if (o.clip.empty()) throw UsageError("which clip? Name a video file, a folder of images or a pattern");
  if (!o.box && o.dabs.empty() && o.hint.empty())
    throw UsageError("mark the character with --box, --box-px or --add");
  if (!o.box && o.dabs.empty())
    throw UsageError("a text hint alone is not understood by prismhollow-backend: mark the character with --box, "
                     "--box-px or --add as well (the hint goes with them)");
  if (o.dabs.size() > contract::kMaxDabs)
    throw UsageError("at most " + std::to_string(contract::kMaxDabs) + " dabs in all, the most the overlay keeps");
  return o;
}

// prismhollow pull: the whole job on footage, with our host playing the
// user's part. The plug-in is loaded as a host loads it; the selection is
// drawn through its overlay and "Pull alpha (whole clip)" pressed on the
// anchor frame; the plug-in stages the frames and drives the backend on its
// own thread; then every frame is rendered through the effect and written.

#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>
#include <thread>

#include "Host.h"
#include "HostError.h"
#include "Overlay.h"
#include "OverlayPreview.h"
#include "VideoSource.h"
#include "commands.h"
#include "contact_sheet.h"
#include "contract/files.h"
#include "contract/selection.h"
#include "contract/wire.h"
#include "frame_pictures.h"
#include "local_backend.h"
#include "orv/http_client.h"
#include "preview_video.h"
#include "progress_line.h"
#include "pull_options.h"
#include "pull_render.h"
#include "pull_session.h"
#include "results_folder.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kBundleName = "PrismhollowDuneVeil.ofx.bundle";
constexpr int kInterruptedExit = 130;

std::atomic<bool> gInterrupted{false};

void onSignal(int) { gInterrupted = true; }

// Ends the run with a message and an exit code.
struct Stop {
  int code;
  std::string message;
};

bool startsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

std::string findBundle(const std::string& given) {
  if (!given.empty()) return given;
  for (const std::string& path : ofxhost::findBundles())
    if (fs::path(path).filename() == kBundleName) return path;
  throw Stop{1, std::string("no ") + kBundleName +
                    " in OFX_PLUGIN_PATH or /usr/OFX/Plugins; install it (cmake --install BUILD --component plugin) "
                    "or name it with --bundle PATH"};
}

class Pull {
 public:
  explicit Pull(PullOptions options) : o_(std::move(options)), progress_(o_.quality == 1) {}
  ~Pull() { cleanUp(); }

  int run() {
    openClip();
    try {
      plugin_ = &host_.loadPlugin(findBundle(o_.bundle));
    } catch (const ofxhost::HostError& e) {
      throw Stop{1, std::string("cannot load the plug-in: ") + e.what()};
    }
    outDir_ = o_.out.empty() ? fs::path(o_.clip).filename().replace_extension().string() + "_matte" : o_.out;
    try {
      const std::uint64_t frameBytes = std::uint64_t(source_->width()) * source_->height() * (o_.isFloat ? 8 : 4);
      results_ = std::make_unique<ResultsFolder>(outDir_, o_.overwrite, frameBytes);
    } catch (const ResultsRefused& e) {
      throw Stop{2, e.what()};
    } catch (const ResultsError& e) {
      throw Stop{1, e.what()};
    }
    const std::string url = url_ = backendUrl();

    // A re-pull of the frames the last pull into OUT left on this backend
    // names its session, as a saved project would; the plug-in checks the
    // backend still holds them.
    std::error_code ec;
    pulled_ = SessionRecord{
        o_.backend, fs::absolute(o_.clip, ec).lexically_normal().string(), first_, last_, o_.isFloat, "", ""};
    if (!o_.backend.empty()) previous_ = readSessionRecord(outDir_);
    const bool resume = previous_ && sameFrames(*previous_, pulled_);
    fx_ = newInstance(url, resume ? &*previous_ : nullptr);
    fx_->userEdit("output_mode", o_.output);
    fx_->userEdit("quality", o_.quality);
    fx_->userEdit("edge_softness", o_.softness);
    if (!o_.hint.empty()) fx_->userEdit("text_hint", o_.hint);
    select();
    readMarks();
    pullAlpha();
    remember();
    render();
    return 0;
  }

 private:
  void openClip() {
    try {
      source_ = std::make_unique<ofxhost::VideoSource>(o_.clip, o_.isFloat ? kOfxBitDepthFloat : kOfxBitDepthByte);
    } catch (const ofxhost::HostError& e) {
      throw Stop{1, std::string("cannot open the clip: ") + e.what()};
    }
    first_ = o_.frames ? o_.frames->first : source_->firstFrame();
    last_ = o_.frames ? o_.frames->second : source_->lastFrame();
    anchor_ = o_.anchor.value_or(first_);
    const std::string range = std::to_string(source_->firstFrame()) + ":" + std::to_string(source_->lastFrame());
    if (first_ < source_->firstFrame() || last_ > source_->lastFrame())
      throw Stop{2, "--frames must lie inside the clip's frames " + range};
    const std::string pulled = "the frames pulled, " + std::to_string(first_) + " to " + std::to_string(last_);
    if (anchor_ < first_ || anchor_ > last_) throw Stop{2, "--anchor must be one of " + pulled};
    for (const contract::Dab& dab : o_.dabs)
      if (dab.time && (*dab.time < first_ || *dab.time > last_))
        throw Stop{2, "a correction on frame " + std::to_string(int(*dab.time)) + " lies outside " + pulled};
    if (o_.box && o_.box->time && (*o_.box->time < first_ || *o_.box->time > last_))
      throw Stop{2, "a box on frame " + std::to_string(int(*o_.box->time)) + " lies outside " + pulled};
    if (o_.box && o_.boxInPixels) {
      contract::Box& b = *o_.box;
      const double w = source_->width(), h = source_->height();
      if (b.x < 0 || b.y < 0 || b.x + b.w > w || b.y + b.h > h)
        throw Stop{2, "--box-px reaches outside the " + std::to_string(source_->width()) + "x" +
                          std::to_string(source_->height()) + " frame"};
      b = contract::Box{b.x / w, b.y / h, b.w / w, b.h / h, b.time};
      o_.boxInPixels = false;
    }
  }

  std::string backendUrl() {
    if (!o_.backend.empty()) {
      checkReachable(o_.backend);
      return o_.backend;
    }
    const std::string program = findBackendProgram();
    if (program.empty())
      throw BackendError(
          "prismhollow-backend is neither beside prismhollow nor in PATH; install it (cmake --install BUILD "
          "--component host) or name a running backend with --backend URL");
    std::string pattern = (fs::temp_directory_path() / "prismhollow-pull-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw BackendError("cannot make a temporary folder for the backend");
    tempDir_ = pattern;
    backend_ = std::make_unique<LocalBackend>(program, tempDir_);
    return backend_->url();
  }

  std::shared_ptr<ofxhost::EffectInstance> newInstance(const std::string& url,
                                                       const SessionRecord* previous = nullptr) {
    ofxhost::InstanceSettings settings;
    settings.projectWidth = source_->width();
    settings.projectHeight = source_->height();
    settings.frameRate = source_->frameRate();
    settings.firstFrame = first_;
    settings.lastFrame = last_;
    settings.depth = o_.isFloat ? kOfxBitDepthFloat : kOfxBitDepthByte;
    settings.strings["backend_url"] = url;  // as a saved project holds it
    if (previous) {
      settings.strings["session_id"] = previous->session;
      settings.strings["clip_start"] = previous->clipStart;
    }
    auto fx = plugin_->createInstance(settings);
    fx->setSource([this](OfxTime time) -> std::shared_ptr<ofxhost::ImageBuffer> {
      if (gInterrupted) return nullptr;  // ends the staging as an unreadable frame would
      return source_->frame(static_cast<int>(std::lround(time)));
    });
    return fx;
  }

  // The user's strokes in the viewer through the overlay: the box and each
  // dab on its own frame (the anchor's unless given one).
  void select() {
    auto overlay = fx_->createOverlay();
    if (!overlay) throw Stop{1, "the plug-in has no overlay to draw the selection with"};
    const double w = source_->width(), h = source_->height();
    const auto canonical = [&](double x, double y) { return std::pair{x * w, (1 - y) * h}; };  // y up
    if (o_.box) {
      const int frame = static_cast<int>(o_.box->time.value_or(anchor_));
      fx_->setTime(frame);  // the viewer shows the box's frame
      fx_->userEdit("select_tool", 0);
      const auto [x0, y0] = canonical(o_.box->x, o_.box->y);
      const auto [x1, y1] = canonical(o_.box->x + o_.box->w, o_.box->y + o_.box->h);
      overlay->penDown(x0, y0, frame);
      overlay->penMotion(x1, y1, frame);
      overlay->penUp(x1, y1, frame);
      if (fx_->stringValue("bbox_json").empty()) throw Stop{1, "the overlay did not take the box"};
    }
    if (!o_.dabs.empty()) fx_->userEdit("brush_size", o_.brushSize);
    for (const contract::Dab& dab : o_.dabs) {
      const int frame = static_cast<int>(dab.time.value_or(anchor_));
      fx_->setTime(frame);  // the viewer shows the dab's frame
      fx_->userEdit("select_tool", dab.r < 0 ? 2 : 1);
      const auto [x, y] = canonical(dab.x, dab.y);
      overlay->penDown(x, y, frame);
      overlay->penUp(x, y, frame);
    }
    fx_->setTime(anchor_);  // and the button is pressed on the anchor frame
  }

  // The frames the pull anchors on and corrects, as the plug-in groups the
  // records it was given, for the contact sheet to show.
  void readMarks() {
    contract::Box box;
    const bool hasBox = contract::read_box(contract::parse_record(fx_->stringValue("bbox_json")), &box);
    const contract::FrameMarks marks = contract::group_marks(
        contract::read_dabs(contract::parse_record(fx_->stringValue("brush_json"))),
        hasBox ? std::optional<contract::Box>(box) : std::nullopt, anchor_ - first_, first_, last_ - first_ + 1);
    sheetAnchor_ = first_ + static_cast<int>(marks.anchorFrame);
    if (sheetAnchor_ != anchor_)
      progress_.print("prismhollow: frame " + std::to_string(anchor_) +
                      " has no box and no dab that adds; the pull anchors on frame " + std::to_string(sheetAnchor_) +
                      ", the nearest that has one");
    for (const auto& correction : marks.corrections) corrected_.push_back(first_ + static_cast<int>(correction.frame));
  }

  // Presses the button and follows the job until the status says how it ended.
  void pullAlpha() {
    const long decodedBefore = source_->decoded();
    const int count = last_ - first_ + 1;
    std::atomic<bool> watching{true};
    std::thread watcher([&] {
      while (watching) {
        const std::string status = fx_->stringValue("status");
        progress_.show(startsWith(status, "grabbing") || status == "idle"
                           ? "staging " + std::to_string(source_->decoded() - decodedBefore) + "/" +
                                 std::to_string(count)
                           : clipNumbered(status, first_));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    });
    struct Join {
      std::atomic<bool>& flag;
      std::thread& thread;
      ~Join() { flag = false, thread.join(); }
    } join{watching, watcher};

    std::size_t seen = host_.messages().all().size();
    const auto printMessages = [&] {
      const auto all = host_.messages().all();
      for (; seen < all.size(); ++seen) progress_.print(all[seen].text);
      return all.size();
    };
    const std::size_t before = seen;
    pressed_ = true;
    fx_->pressButton("pull_alpha");
    if (gInterrupted) throw Stop{kInterruptedExit, ""};
    if (printMessages() > before) throw Stop{1, "the pull did not start"};  // refused, or a frame unreadable

    for (;;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      if (gInterrupted) throw Stop{kInterruptedExit, ""};
      fx_->syncPrivateData();  // the viewer redraws: the job's edits come in
      fx_->deliverPluginEdits();
      printMessages();
      const std::string status = fx_->stringValue("status");
      if (startsWith(status, "ready: ")) break;
      if (startsWith(status, "failed: ")) {
        settled_ = true;  // the worker has told the backend already
        throw Stop{1, clipNumbered(status, first_)};
      }
      if (backend_ && !backend_->running())
        throw Stop{1, "the local backend stopped during the job; the end of its log:\n" + backend_->logTail()};
    }
    session_ = fx_->stringValue("session_id");
    const orv::HttpResponse status = orv::HttpClient().get(url_ + contract::session_path(session_));
    jobSummary_ = nlohmann::json::parse(status.body, nullptr, false);
    if (status.status != 200 || !jobSummary_.is_object()) jobSummary_ = nlohmann::json::object();
  }

  // What the job came to, from the backend's summary: the frames with the
  // character, and why the others are empty.
  std::string outcome() const {
    const int frames = last_ - first_ + 1;
    const auto count = [&](const char* key) {
      const auto it = jobSummary_.find(key);
      return it != jobSummary_.end() && it->is_number_integer() ? it->get<int>() : 0;
    };
    const int empty = count("empty_frames"), lost = count("lost_frames");
    std::string text = "the character on " + std::to_string(frames - empty) + " of " + std::to_string(frames) + " frames";
    std::vector<std::string> why;
    if (empty > lost) {
      std::string cuts;
      if (const auto it = jobSummary_.find("cuts"); it != jobSummary_.end() && it->is_array())
        for (const auto& cut : *it)
          if (cut.is_number_integer()) cuts += (cuts.empty() ? "" : ", ") + std::to_string(first_ + cut.get<int>());
      why.push_back(std::to_string(empty - lost) + " in other shots" +
                    (cuts.empty() ? "" : " (cuts before frames " + cuts + ")"));
    }
    if (lost > 0) why.push_back(std::to_string(lost) + " where the track was lost (the look no longer matched)");
    for (std::size_t i = 0; i < why.size(); ++i) text += (i == 0 ? "; left empty: " : ", ") + why[i];
    return text;
  }

  // With a backend that outlives the run, the session it holds for the next
  // pull into OUT; the mattes of a session this one replaced are no use now.
  void remember() {
    if (o_.backend.empty()) return;
    pulled_.session = session_;
    pulled_.clipStart = fx_->stringValue("clip_start");
    if (!writeSessionRecord(results_->work(), pulled_))
      progress_.print("prismhollow: cannot write " + sessionRecordPath(outDir_) + "; a re-pull uploads the clip again");
    const std::string replaced = previous_ ? contract::matte_folder(previous_->session) : "";
    std::error_code ec;
    if (!replaced.empty() && previous_->session != session_) fs::remove_all(replaced, ec);
  }

  // An instance on the pulled session that renders with "Output" set to
  // `outputMode` (0 the character, 1 the matte), for the contact sheet.
  std::shared_ptr<ofxhost::EffectInstance> instanceShowing(int outputMode) {
    if (outputMode == o_.output) return fx_;
    auto fx = newInstance("");
    fx->setValue("session_id", fx_->stringValue("session_id"));
    fx->setValue("clip_start", fx_->stringValue("clip_start"));
    fx->setValue("output_mode", outputMode);
    return fx;
  }

  void render() {
    ContactSheet sheet(first_, last_, sheetAnchor_, corrected_, source_->width(), source_->height());
    const std::string work = results_->work();
    PreviewVideo preview(work + "/preview.mp4", source_->frameRate(), {source_->width(), source_->height()});
    if (!preview.isOpened()) progress_.print("prismhollow: this OpenCV cannot write MP4 files; no preview.mp4");
    RenderJob job;
    job.source = source_.get();
    job.output = fx_;
    job.character = instanceShowing(0);
    job.matte = instanceShowing(1);
    job.first = first_, job.last = last_;
    job.dir = work;
    job.sheet = &sheet;
    job.preview = &preview;
    job.interrupted = &gInterrupted;
    const std::string total = std::to_string(last_ - first_ + 1);
    std::atomic<bool> rendering{true};
    std::thread watcher([&] {
      for (; rendering; std::this_thread::sleep_for(std::chrono::milliseconds(100)))
        progress_.show("rendering " + std::to_string(job.done) + "/" + total);
    });
    const std::string failure = renderAll(job);
    rendering = false;
    watcher.join();
    progress_.show("rendering " + std::to_string(job.done) + "/" + total);
    progress_.finish();
    const bool previewWritten = preview.isOpened();
    preview.close();
    if (gInterrupted) throw Stop{kInterruptedExit, ""};
    if (!failure.empty()) throw Stop{1, failure};

    try {  // the marks as the viewer shows them, over the anchor frame and the corrected frames shown
      for (int frame : sheet.frames()) {
        if (frame != sheetAnchor_ && !sheet.corrected(frame)) continue;
        const auto picture = source_->frame(frame);
        if (!picture) throw ofxhost::HostError("frame " + std::to_string(frame) + " cannot be read");
        sheet.put(frame, ContactSheet::kSource, colours(*ofxhost::renderOverlayPreview(fx_, *picture, frame).image));
      }
    } catch (const ofxhost::HostError& e) {
      std::fprintf(stderr, "prismhollow: the contact sheet shows no selection: %s\n", e.what());
    }
    if (const std::string why = sheet.write(work + "/contact-sheet.png"); !why.empty())
      throw Stop{1, "cannot write " + outDir_ + "/contact-sheet.png: " + why};
    try {
      results_->publish();
    } catch (const ResultsError& e) {
      throw Stop{1, e.what()};
    }

    std::printf("prismhollow: %s frames written to %s/ (%s to %s)\n", total.c_str(), outDir_.c_str(),
                contract::frame_name(first_, ".png").c_str(), contract::frame_name(last_, ".png").c_str());
    std::printf("  %s\n", outcome().c_str());
    std::printf("  open %s/contact-sheet.png to judge the matte%s\n", outDir_.c_str(),
                previewWritten ? (", and play " + outDir_ + "/preview.mp4").c_str() : "");
    std::printf("  %s in all, %.2f s a frame: %s\n", clockText(progress_.seconds()).c_str(),
                progress_.seconds() / (last_ - first_ + 1), stageTimes().c_str());
  }

  // Where the time went: the command's own stages as it timed them; the
  // backend's part (upload, queue, matting) as the backend timed it, and
  // what is left of that part as the wait for the plug-in's next poll.
  std::string stageTimes() const {
    std::string text;
    const auto add = [&](const std::string& name, std::optional<double> seconds) {
      if (!seconds) return;
      char secs[32];
      std::snprintf(secs, sizeof secs, " %.1f s", *seconds);
      text += (text.empty() ? "" : ", ") + name + secs;
    };
    const auto number = [&](const char* key) -> std::optional<double> {
      const auto it = jobSummary_.find(key);
      return it != jobSummary_.end() && it->is_number() ? std::optional<double>(it->get<double>()) : std::nullopt;
    };
    add("staging", progress_.secondsIn(ProgressLine::kStaging));
    const std::optional<double> backend = progress_.backendSeconds(), matting = number("seconds");
    if (backend && matting) {
      const std::optional<double> upload = number("upload_seconds");  // none when the backend held the frames
      const double queued = number("queued_seconds").value_or(0);
      add("uploading", upload);
      if (queued >= 0.1) add("queued", queued);
      add("matting", matting);
      add("waiting for the status poll", std::max(0.0, *backend - upload.value_or(0) - queued - *matting));
    } else {
      add("uploading", progress_.secondsIn(ProgressLine::kUploading));
      add("matting", progress_.secondsIn(ProgressLine::kMatting));
    }
    add("downloading", progress_.secondsIn(ProgressLine::kDownloading));
    add("rendering", progress_.secondsIn(ProgressLine::kRendering));
    return text;
  }

  // The staging the plug-in leaves behind that nobody needs any more: the
  // session's mattes, which are in the PNG files now, unless a backend that
  // outlives the run holds the session (their fingerprint lets a re-pull
  // reuse its frames). Upload folders are the plug-in's own to remove, and
  // others' may be in use beside them.
  void cleanUp() {
    progress_.finish();
    std::error_code ec;
    // A job left unfinished on a backend that outlives us: the worker, at
    // its next step (a tenth of a second, or a second inside a call that
    // waits for an answer), tells the backend to forget it; at our exit it
    // could not.
    if (fx_) fx_->destroy();
    fx_.reset();
    if (pressed_ && !settled_ && session_.empty() && !o_.backend.empty())
      std::this_thread::sleep_for(std::chrono::seconds(1));
    host_.unloadAll();
    // A backend that outlives us keeps a session only while OUT's record
    // names it: the finished job's when its results were published, else
    // the one the record named before.
    if (!o_.backend.empty() && !session_.empty()) {
      const std::string before = previous_ ? previous_->session : "";
      const std::string named = results_ && results_->published() ? session_ : before;
      for (const std::string& session : {session_, before})
        if (!session.empty() && session != named) orv::HttpClient().del(url_ + contract::session_path(session));
    }
    if (backend_) backend_->stop();
    if (!tempDir_.empty()) fs::remove_all(tempDir_, ec);
    const std::string mattes = contract::matte_folder(session_);
    if (!mattes.empty() && o_.backend.empty()) fs::remove_all(mattes, ec);
  }

  PullOptions o_;
  std::unique_ptr<ofxhost::VideoSource> source_;
  int first_ = 0, last_ = 0, anchor_ = 0;
  int sheetAnchor_ = 0;         // the anchor the pull settles on (readMarks)
  std::vector<int> corrected_;  // the frames it corrects
  std::string outDir_, tempDir_, session_;
  std::unique_ptr<ResultsFolder> results_;  // removed unless published
  std::string url_;                         // the backend's
  bool pressed_ = false;                    // "Pull alpha" was pressed
  bool settled_ = false;                    // and the job ended with a failure the worker reported
  nlohmann::json jobSummary_;               // the backend's status of the finished job
  SessionRecord pulled_;                   // what this run pulls, and from which session once done
  std::optional<SessionRecord> previous_;  // what the last pull with --backend into OUT left
  std::unique_ptr<LocalBackend> backend_;
  ofxhost::Host host_;
  ofxhost::Plugin* plugin_ = nullptr;
  std::shared_ptr<ofxhost::EffectInstance> fx_;
  ProgressLine progress_;
};

}  // namespace

int pullCommand(const std::vector<std::string>& args) {
  PullOptions options;
  try {
    options = parsePullOptions(args);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "prismhollow pull: %s\n(prismhollow pull --help lists the options)\n", e.what());
    return 2;
  }
  if (options.help) return std::fputs(kPullUsage, stdout), 0;

  // OpenCV's worker pool stays unused: the frames are rendered on threads of
  // ours, one a core. Its workers are never joined; at exit they would still
  // be ending while the process's last handlers run.
  cv::setNumThreads(1);
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  try {
    return Pull(std::move(options)).run();
  } catch (const Stop& stop) {
    if (stop.code == kInterruptedExit || gInterrupted) {
      std::fputs("prismhollow: interrupted; the job is stopped and nothing is left running\n", stderr);
      return kInterruptedExit;
    }
    std::fprintf(stderr, "prismhollow: %s\n", stop.message.c_str());
    return stop.code;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "prismhollow: %s\n", e.what());
    return gInterrupted ? kInterruptedExit : 1;
  }
}

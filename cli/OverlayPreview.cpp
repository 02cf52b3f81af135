#include "OverlayPreview.h"

#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <GL/gl.h>
#include <GL/glext.h>
#include <fcntl.h>
#include <stb_image.h>
#include <stb_image_write.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <vector>

#include "HostError.h"
#include "Overlay.h"
#include "ofxImageEffect.h"
#include "ofxInteract.h"

namespace ofxhost {

namespace {

constexpr const char* kPackageHint =
    "; the overlay preview needs Mesa's EGL and software OpenGL (Debian: libegl1 libegl-mesa0 libgl1-mesa-dri)";

std::string eglErrorName(EGLint code) {
  switch (code) {
    case EGL_SUCCESS:
      return "EGL_SUCCESS";
    case EGL_NOT_INITIALIZED:
      return "EGL_NOT_INITIALIZED";
    case EGL_BAD_ACCESS:
      return "EGL_BAD_ACCESS";
    case EGL_BAD_ALLOC:
      return "EGL_BAD_ALLOC";
    case EGL_BAD_ATTRIBUTE:
      return "EGL_BAD_ATTRIBUTE";
    case EGL_BAD_CONFIG:
      return "EGL_BAD_CONFIG";
    case EGL_BAD_CONTEXT:
      return "EGL_BAD_CONTEXT";
    case EGL_BAD_DISPLAY:
      return "EGL_BAD_DISPLAY";
    case EGL_BAD_MATCH:
      return "EGL_BAD_MATCH";
    case EGL_BAD_PARAMETER:
      return "EGL_BAD_PARAMETER";
    default: {
      std::ostringstream out;
      out << "EGL error 0x" << std::hex << code;
      return out.str();
    }
  }
}

[[noreturn]] void eglFailure(const std::string& what) {
  const EGLint error = eglGetError();
  const std::string code = error == EGL_SUCCESS ? "" : " (" + eglErrorName(error) + ")";
  throw HostError("no offscreen OpenGL context: " + what + code + kPackageHint);
}

bool hasExtension(const char* list, const std::string& name) {
  std::istringstream words(list ? list : "");
  std::string word;
  while (words >> word)
    if (word == name) return true;
  return false;
}

template <typename Function>
Function glProc(const char* name) {
  auto function = reinterpret_cast<Function>(eglGetProcAddress(name));
  if (!function) throw HostError(std::string("no offscreen OpenGL context: OpenGL lacks ") + name + kPackageHint);
  return function;
}

// Mesa's surfaceless display, initialised on first use and kept for the
// life of the process. Initialising loads the driver and its shader compiler,
// too slow to repeat for every picture; and the display is one per process,
// so terminating it would also end any other context on it (Mesa then
// unloads the driver and leaves some of its own allocations behind).
EGLDisplay surfacelessDisplay() {
  static const EGLDisplay display = [] {
    if (!hasExtension(eglQueryString(EGL_NO_DISPLAY, EGL_EXTENSIONS), "EGL_MESA_platform_surfaceless"))
      eglFailure("EGL offers no surfaceless platform (EGL_MESA_platform_surfaceless)");
    auto getPlatformDisplay =
        reinterpret_cast<PFNEGLGETPLATFORMDISPLAYEXTPROC>(eglGetProcAddress("eglGetPlatformDisplayEXT"));
    if (!getPlatformDisplay) eglFailure("EGL lacks eglGetPlatformDisplayEXT");
    EGLDisplay display = getPlatformDisplay(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
    if (display == EGL_NO_DISPLAY) eglFailure("no surfaceless EGL display");
    EGLint major = 0, minor = 0;
    if (!eglInitialize(display, &major, &minor)) eglFailure("the surfaceless EGL display does not initialise");
    if (!hasExtension(eglQueryString(display, EGL_EXTENSIONS), "EGL_KHR_surfaceless_context"))
      eglFailure("the EGL display cannot make a context current without a surface (EGL_KHR_surfaceless_context)");
    return display;
  }();
  return display;
}

// A compatibility-profile context (the overlay draws in immediate mode) on
// Mesa's surfaceless platform, current on this thread with no surface, so
// that no window or display server is needed. Everything is drawn into a
// framebuffer object with one RGBA8 renderbuffer of the frame's size. The
// caller's own EGL context, if any, is current again afterwards.
class OffscreenContext {
 public:
  OffscreenContext(int width, int height) {
    try {
      open(width, height);
    } catch (...) {
      close();
      throw;
    }
  }
  ~OffscreenContext() { close(); }
  OffscreenContext(const OffscreenContext&) = delete;
  OffscreenContext& operator=(const OffscreenContext&) = delete;

 private:
  void open(int width, int height) {
    display_ = surfacelessDisplay();
    // The current context is per bound API: bind first, then note the
    // caller's desktop OpenGL context.
    if (!eglBindAPI(EGL_OPENGL_API)) eglFailure("EGL offers no desktop OpenGL");
    previousDisplay_ = eglGetCurrentDisplay();
    previousContext_ = eglGetCurrentContext();
    previousDraw_ = eglGetCurrentSurface(EGL_DRAW);
    previousRead_ = eglGetCurrentSurface(EGL_READ);
    // Nothing is drawn to a surface, so any surface type will do.
    const EGLint configAttributes[] = {EGL_RENDERABLE_TYPE, EGL_OPENGL_BIT, EGL_SURFACE_TYPE, 0, EGL_NONE};
    EGLConfig config = nullptr;
    EGLint count = 0;
    if (!eglChooseConfig(display_, configAttributes, &config, 1, &count) || count < 1)
      eglFailure("no EGL configuration renders desktop OpenGL");
    const EGLint contextAttributes[] = {EGL_CONTEXT_OPENGL_PROFILE_MASK, EGL_CONTEXT_OPENGL_COMPATIBILITY_PROFILE_BIT,
                                        EGL_NONE};
    context_ = eglCreateContext(display_, config, EGL_NO_CONTEXT, contextAttributes);
    if (context_ == EGL_NO_CONTEXT) eglFailure("no compatibility-profile OpenGL context");
    if (!eglMakeCurrent(display_, EGL_NO_SURFACE, EGL_NO_SURFACE, context_))
      eglFailure("the OpenGL context cannot be made current without a surface");
    current_ = true;
    if (!glGetString(GL_VERSION)) eglFailure("the OpenGL context answers nothing");

    GLint maxRenderbuffer = 0, maxViewport[2] = {0, 0};
    glGetIntegerv(GL_MAX_RENDERBUFFER_SIZE, &maxRenderbuffer);
    glGetIntegerv(GL_MAX_VIEWPORT_DIMS, maxViewport);
    if (width > maxRenderbuffer || width > maxViewport[0] || height > maxRenderbuffer || height > maxViewport[1])
      throw HostError("the frame (" + std::to_string(width) + " x " + std::to_string(height) +
                      ") is larger than OpenGL can draw here (" + std::to_string(maxRenderbuffer) + " pixels a side)");
    auto genFramebuffers = glProc<PFNGLGENFRAMEBUFFERSPROC>("glGenFramebuffers");
    auto bindFramebuffer = glProc<PFNGLBINDFRAMEBUFFERPROC>("glBindFramebuffer");
    auto genRenderbuffers = glProc<PFNGLGENRENDERBUFFERSPROC>("glGenRenderbuffers");
    auto bindRenderbuffer = glProc<PFNGLBINDRENDERBUFFERPROC>("glBindRenderbuffer");
    auto renderbufferStorage = glProc<PFNGLRENDERBUFFERSTORAGEPROC>("glRenderbufferStorage");
    auto framebufferRenderbuffer = glProc<PFNGLFRAMEBUFFERRENDERBUFFERPROC>("glFramebufferRenderbuffer");
    auto checkFramebufferStatus = glProc<PFNGLCHECKFRAMEBUFFERSTATUSPROC>("glCheckFramebufferStatus");
    deleteFramebuffers_ = glProc<PFNGLDELETEFRAMEBUFFERSPROC>("glDeleteFramebuffers");
    deleteRenderbuffers_ = glProc<PFNGLDELETERENDERBUFFERSPROC>("glDeleteRenderbuffers");
    genRenderbuffers(1, &renderbuffer_);
    bindRenderbuffer(GL_RENDERBUFFER, renderbuffer_);
    renderbufferStorage(GL_RENDERBUFFER, GL_RGBA8, width, height);
    genFramebuffers(1, &framebuffer_);
    bindFramebuffer(GL_FRAMEBUFFER, framebuffer_);
    framebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, renderbuffer_);
    const GLenum status = checkFramebufferStatus(GL_FRAMEBUFFER);
    if (status != GL_FRAMEBUFFER_COMPLETE) {
      std::ostringstream out;
      out << "the OpenGL framebuffer of " << width << " x " << height << " is incomplete (0x" << std::hex << status
          << ")";
      throw HostError(out.str());
    }
    glDrawBuffer(GL_COLOR_ATTACHMENT0);
    glReadBuffer(GL_COLOR_ATTACHMENT0);
  }

  void close() {
    if (current_) {
      if (framebuffer_) deleteFramebuffers_(1, &framebuffer_);
      if (renderbuffer_) deleteRenderbuffers_(1, &renderbuffer_);
      if (previousContext_ != EGL_NO_CONTEXT)
        eglMakeCurrent(previousDisplay_, previousDraw_, previousRead_, previousContext_);
      else
        eglMakeCurrent(display_, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
    }
    if (context_ != EGL_NO_CONTEXT) eglDestroyContext(display_, context_);
    if (previousContext_ == EGL_NO_CONTEXT) eglReleaseThread();
    current_ = false;
    context_ = EGL_NO_CONTEXT;
  }

  EGLDisplay display_ = EGL_NO_DISPLAY;
  EGLContext context_ = EGL_NO_CONTEXT;
  bool current_ = false;
  EGLDisplay previousDisplay_ = EGL_NO_DISPLAY;
  EGLContext previousContext_ = EGL_NO_CONTEXT;
  EGLSurface previousDraw_ = EGL_NO_SURFACE, previousRead_ = EGL_NO_SURFACE;
  GLuint framebuffer_ = 0, renderbuffer_ = 0;
  PFNGLDELETEFRAMEBUFFERSPROC deleteFramebuffers_ = nullptr;
  PFNGLDELETERENDERBUFFERSPROC deleteRenderbuffers_ = nullptr;
};

// The frame's rows, bottom up and without padding, as glDrawPixels takes
// them. ImageBuffer has no const access to its pixels; they are only read.
std::vector<unsigned char> packedRows(const ImageBuffer& frame) {
  auto& image = const_cast<ImageBuffer&>(frame);
  const std::size_t row = static_cast<std::size_t>(image.width()) * image.bytesPerPixel();
  std::vector<unsigned char> rows(row * image.height());
  for (int y = 0; y < image.height(); ++y)
    std::memcpy(rows.data() + row * y, image.pixel(image.bounds().x1, image.bounds().y1 + y), row);
  return rows;
}

// What of the viewer's OpenGL state an overlay may change while drawing.
struct ViewerState {
  GLboolean blending = GL_FALSE;
  GLint blendFunction[4] = {0, 0, 0, 0};
  GLfloat lineWidth = 0;
  GLfloat colour[4] = {0, 0, 0, 0};

  static ViewerState current() {
    ViewerState s;
    s.blending = glIsEnabled(GL_BLEND);
    glGetIntegerv(GL_BLEND_SRC_RGB, &s.blendFunction[0]);
    glGetIntegerv(GL_BLEND_DST_RGB, &s.blendFunction[1]);
    glGetIntegerv(GL_BLEND_SRC_ALPHA, &s.blendFunction[2]);
    glGetIntegerv(GL_BLEND_DST_ALPHA, &s.blendFunction[3]);
    glGetFloatv(GL_LINE_WIDTH, &s.lineWidth);
    glGetFloatv(GL_CURRENT_COLOR, s.colour);
    return s;
  }
  std::string changesIn(const ViewerState& after) const {
    std::string changed;
    auto note = [&changed](bool differs, const char* what) {
      if (differs) changed += (changed.empty() ? "" : ", ") + std::string(what);
    };
    note(blending != after.blending, "blending");
    note(!std::equal(blendFunction, blendFunction + 4, after.blendFunction), "blend function");
    note(lineWidth != after.lineWidth, "line width");
    note(!std::equal(colour, colour + 4, after.colour), "current colour");
    return changed;
  }
};

std::string glErrorText(const char* what, GLenum error) {
  std::ostringstream out;
  out << what << " (OpenGL error 0x" << std::hex << error << ")";
  return out.str();
}

}  // namespace

OverlayPreview renderOverlayPreview(const std::shared_ptr<EffectInstance>& instance, const ImageBuffer& frame,
                                    OfxTime time, bool viewerBlends) {
  if (!instance || !instance->alive()) throw HostError("the overlay preview needs a live effect instance");
  const int width = frame.width(), height = frame.height();
  if (width <= 0 || height <= 0) throw HostError("the overlay preview needs a frame of at least one pixel");
  const std::vector<double> size = instance->properties().getDoubles(kOfxImageEffectPropProjectSize);
  const std::vector<double> offset = instance->properties().getDoubles(kOfxImageEffectPropProjectOffset);
  if (size.size() != 2 || offset.size() != 2 || !(size[0] > 0) || !(size[1] > 0))
    throw HostError("the overlay preview needs an instance whose project size is positive");
  const std::vector<unsigned char> rows = packedRows(frame);

  OffscreenContext context(width, height);
  auto windowPos = glProc<PFNGLWINDOWPOS2IPROC>("glWindowPos2i");
  glViewport(0, 0, width, height);
  glClearColor(0, 0, 0, 1);
  glClear(GL_COLOR_BUFFER_BIT);
  // The window is opaque: only the colour channels of the frame and of the
  // overlay reach it.
  glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_FALSE);
  glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
  windowPos(0, 0);
  glDrawPixels(width, height, GL_RGBA, frame.isFloat() ? GL_FLOAT : GL_UNSIGNED_BYTE, rows.data());

  // What a viewer sets before it asks overlays to draw.
  glMatrixMode(GL_PROJECTION);
  glLoadIdentity();
  glOrtho(offset[0], offset[0] + size[0], offset[1], offset[1] + size[1], -1, 1);
  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();
  if (viewerBlends) {
    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
  } else {
    glDisable(GL_BLEND);
  }
  glLineWidth(1.0f);
  glColor4f(1.0f, 1.0f, 1.0f, 1.0f);
  if (GLenum error = glGetError(); error != GL_NO_ERROR)
    throw HostError(glErrorText("OpenGL refused the frame or the viewer's set-up", error));

  auto overlay = instance->createOverlay();
  if (!overlay) throw HostError("the effect has no overlay interact");
  struct Destroyer {
    Overlay& overlay;
    ~Destroyer() { overlay.destroy(); }
  } destroyer{*overlay};
  // Canonical units per screen pixel: more than 1 when the frame shows the
  // project zoomed out.
  overlay->properties().setDoubles(kOfxInteractPropPixelScale, {size[0] / width, size[1] / height});

  OverlayPreview preview;
  const ViewerState before = ViewerState::current();
  preview.status = overlay->draw(time);
  preview.stateLeftChanged = before.changesIn(ViewerState::current());
  if (preview.status != kOfxStatOK && preview.status != kOfxStatReplyDefault)
    throw HostError("the overlay's draw action failed (status " + std::to_string(preview.status) + ")");
  preview.glError = glGetError();
  // Several error flags may be set; a bounded drain, as a lost context
  // could keep answering one.
  for (int i = 0; i < 16 && glGetError() != GL_NO_ERROR; ++i) {
  }

  preview.image = ImageBuffer::allocate({0, 0, width, height}, kOfxBitDepthByte);
  glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glReadPixels(0, 0, width, height, GL_RGBA, GL_UNSIGNED_BYTE, preview.image->data());
  if (GLenum error = glGetError(); error != GL_NO_ERROR)
    throw HostError(glErrorText("the overlay preview's pixels cannot be read back", error));
  return preview;
}

std::shared_ptr<ImageBuffer> solidFrame(int width, int height, const std::array<unsigned char, 3>& rgb) {
  auto frame = ImageBuffer::allocate({0, 0, width, height}, kOfxBitDepthByte);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      unsigned char* p = frame->pixel(x, y);
      p[0] = rgb[0];
      p[1] = rgb[1];
      p[2] = rgb[2];
      p[3] = 255;
    }
  return frame;
}

std::shared_ptr<ImageBuffer> loadFramePng(const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) throw HostError("cannot open the frame " + path);
  int width = 0, height = 0, channels = 0;
  unsigned char* pixels = stbi_load_from_file(file, &width, &height, &channels, 4);
  std::fclose(file);
  if (!pixels) throw HostError(path + " is not a PNG file that can be decoded");
  std::shared_ptr<ImageBuffer> frame;
  try {
    frame = ImageBuffer::allocate({0, 0, width, height}, kOfxBitDepthByte);
  } catch (...) {
    stbi_image_free(pixels);
    throw;
  }
  // The file's rows go down from the top; the frame's go up.
  const std::size_t row = static_cast<std::size_t>(width) * 4;
  for (int y = 0; y < height; ++y) std::memcpy(frame->pixel(0, height - 1 - y), pixels + row * y, row);
  stbi_image_free(pixels);
  return frame;
}

void writeFramePng(ImageBuffer& image, const std::string& path) {
  if (image.isFloat()) throw HostError("only 8-bit images are written as PNG");
  const int width = image.width(), height = image.height();
  if (width <= 0 || height <= 0) throw HostError("an empty image cannot be written as PNG");
  const std::size_t row = static_cast<std::size_t>(width) * 4;
  std::vector<unsigned char> topDown(row * height);
  for (int y = 0; y < height; ++y)
    std::memcpy(topDown.data() + row * (height - 1 - y), image.pixel(image.bounds().x1, image.bounds().y1 + y), row);
  std::vector<unsigned char> png;
  auto append = [](void* context, void* data, int size) {
    auto* bytes = static_cast<unsigned char*>(data);
    auto* out = static_cast<std::vector<unsigned char>*>(context);
    out->insert(out->end(), bytes, bytes + size);
  };
  if (!stbi_write_png_to_func(append, &png, width, height, 4, topDown.data(), static_cast<int>(row)))
    throw HostError("cannot encode the PNG file " + path);

  // A file is written under a temporary name beside it and renamed when
  // complete, so that a failed write leaves no partial picture. Anything
  // else already there (a device, a pipe) is written to in place.
  struct stat existing;
  const bool inPlace = ::stat(path.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode);
  const std::size_t slash = path.rfind('/');
  std::string temporary = path.substr(0, slash == std::string::npos ? 0 : slash + 1) + ".~" +
                          path.substr(slash == std::string::npos ? 0 : slash + 1) + ".XXXXXX";
  int fd = inPlace ? ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC) : ::mkstemp(temporary.data());
  if (fd < 0) throw HostError("cannot write the PNG file " + path + ": " + std::strerror(errno));
  if (!inPlace) {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
  }
  int error = 0;
  for (std::size_t done = 0; done < png.size() && !error;) {
    const ssize_t n = ::write(fd, png.data() + done, png.size() - done);
    if (n > 0)
      done += static_cast<std::size_t>(n);
    else if (n < 0 && errno != EINTR)
      error = errno;
  }
  if (!error && !inPlace && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && !error) error = errno;
  if (!error && !inPlace && ::rename(temporary.c_str(), path.c_str()) != 0) error = errno;
  if (error) {
    if (!inPlace) ::unlink(temporary.c_str());
    throw HostError("cannot write the PNG file " + path + ": " + std::strerror(error));
  }
}

}  // namespace ofxhost

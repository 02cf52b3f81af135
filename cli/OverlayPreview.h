#pragma once
// Pictures of an effect's overlay as a viewer shows it: the overlay's draw
// action run in a real offscreen OpenGL context (Mesa's EGL, no window, no
// display server) over a frame, and the pixels read back. Kept out of the
// ofxhost library so that the host itself needs no OpenGL.

#include <array>
#include <memory>
#include <string>

#include "Image.h"
#include "Instance.h"
#include "ofxCore.h"

namespace ofxhost {

struct OverlayPreview {
  // What the overlay's draw action answered: kOfxStatOK, or
  // kOfxStatReplyDefault when it drew nothing (draw_mask off, say).
  OfxStatus status = kOfxStatFailed;
  // The first OpenGL error the drawing left behind (GL_NO_ERROR, 0, when
  // none): unbalanced glBegin/glEnd or calls that are invalid there.
  unsigned glError = 0;
  // 8-bit RGBA, bounds (0, 0) to the frame's size, rows from the bottom up,
  // opaque (a viewer's window has no alpha to show).
  std::shared_ptr<ImageBuffer> image;
  // The viewer's OpenGL state the overlay changed and did not put back
  // ("blending", "blend function", "line width", "current colour"),
  // comma-separated; empty when it left the state as it found it.
  std::string stateLeftChanged;
};

// Draws the frame (8-bit or float RGBA, any row layout; its colour channels
// only) filling the viewport, then the instance's overlay over it with the
// state a viewer sets: a viewport of the frame's size, an orthographic
// projection over the project rectangle in canonical coordinates (y up),
// GL_SRC_ALPHA / GL_ONE_MINUS_SRC_ALPHA blending (or, with viewerBlends
// false, blending off, as some viewers draw overlays), a line width of 1 and
// an opaque white current colour. A frame smaller than the
// project is a viewer zoomed out: the interact's pixel scale says so.
// Throws HostError when no OpenGL context can be had, the frame is empty or
// too large, the effect has no overlay or the draw action fails.
OverlayPreview renderOverlayPreview(const std::shared_ptr<EffectInstance>& instance, const ImageBuffer& frame,
                                    OfxTime time = 0, bool viewerBlends = true);

// A frame of one colour (RGB, 0..255), for a background of no interest.
std::shared_ptr<ImageBuffer> solidFrame(int width, int height, const std::array<unsigned char, 3>& rgb);

// A PNG file as an 8-bit RGBA frame, rows from the bottom up; throws
// HostError when it cannot be read or decoded.
std::shared_ptr<ImageBuffer> loadFramePng(const std::string& path);

// Writes an 8-bit image as an RGBA PNG, its top row first: complete or not
// at all (a file is written under a temporary name and renamed). Throws
// HostError on failure, saying why.
void writeFramePng(ImageBuffer& image, const std::string& path);

}  // namespace ofxhost

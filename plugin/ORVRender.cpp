// The render action: the source, the character premultiplied by its matte,
// or the matte alone, from the matte file of the frame being rendered.

#include <emmintrin.h>

#include <algorithm>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ORVHostImage.h"
#include "ORVMatteCache.h"
#include "ORVParams.h"
#include "ORVPlugin.h"
#include "contract/files.h"

namespace {

enum OutputMode { kCharacter = 0, kMatteOnly = 1, kSourceBypass = 2 };

// Hands both images back to the host on every way out of render, the
// source first.
struct FetchedImages {
  OfxPropertySetHandle source = nullptr;
  OfxPropertySetHandle output = nullptr;
  ~FetchedImages() {
    if (source) gEffect->clipReleaseImage(source);
    if (output) gEffect->clipReleaseImage(output);
  }
};

// Everything byte-depth rendering computes depends on one byte or one
// pair of bytes, so it is worked out once, with the same arithmetic.
struct ByteTables {
  std::uint8_t copy[256];         // a source byte passed through
  std::uint8_t matte[256];        // a matte byte as an output byte
  std::uint8_t premul[256][256];  // [matte][source]: source times matte
  float matteFloat[256];          // a matte byte as a float
  // Whether the float arithmetic above comes down to plain integer forms
  // (checked for every byte and pair, so the fast paths stay bit-identical):
  bool copyIsIdentity = true;   // copy[b] == b
  bool matteIsIdentity = true;  // matte[m] == m
  bool premulIsRounded = true;  // premul[m][b] == round(b * m / 255)

  ByteTables() {
    for (int m = 0; m < 256; ++m) {
      matteFloat[m] = static_cast<float>(m) / 255.0f;
      matte[m] = toByte(matteFloat[m]);
      matteIsIdentity = matteIsIdentity && matte[m] == m;
    }
    for (int b = 0; b < 256; ++b) {
      copy[b] = toByte(static_cast<float>(b) / 255.0f);
      copyIsIdentity = copyIsIdentity && copy[b] == b;
    }
    for (int m = 0; m < 256; ++m)
      for (int b = 0; b < 256; ++b) {
        premul[m][b] = toByte((static_cast<float>(b) / 255.0f) * matteFloat[m]);
        premulIsRounded = premulIsRounded && premul[m][b] == roundedProduct(b, m);
      }
  }

  // round(b * m / 255) for bytes, exactly, in 16-bit steps.
  static int roundedProduct(int b, int m) { return ((b * m + 128) * 257) >> 16; }
};

const ByteTables& tables() {
  static const ByteTables t;
  return t;
}

// Eight pixels' matte bytes, each repeated in its pixel's four channels:
// the first four pixels in lo, the next four in hi.
inline void spreadMatte(const std::uint8_t* m, __m128i* lo, __m128i* hi) {
  __m128i v = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(m));
  v = _mm_unpacklo_epi8(v, v);
  *lo = _mm_unpacklo_epi16(v, v);
  *hi = _mm_unpackhi_epi16(v, v);
}

const __m128i kAlphaLanes = _mm_set1_epi32(static_cast<int>(0xFF000000u));  // RGBA in memory order

// Four pixels times their spread matte, every channel alike.
inline __m128i premultiplyFour(__m128i src, __m128i mm) {
  const __m128i zero = _mm_setzero_si128(), half = _mm_set1_epi16(128), k257 = _mm_set1_epi16(257);
  __m128i lo = _mm_add_epi16(_mm_mullo_epi16(_mm_unpacklo_epi8(src, zero), _mm_unpacklo_epi8(mm, zero)), half);
  __m128i hi = _mm_add_epi16(_mm_mullo_epi16(_mm_unpackhi_epi8(src, zero), _mm_unpackhi_epi8(mm, zero)), half);
  return _mm_packus_epi16(_mm_mulhi_epu16(lo, k257), _mm_mulhi_epu16(hi, k257));
}

// Source pixels times their matte, alpha too, so that a premultiplied
// source stays premultiplied (an opaque one gets the matte as alpha): n
// pixels.
void premultiplyBytes(std::uint8_t* o, const std::uint8_t* s, const std::uint8_t* mv, std::size_t n) {
  const ByteTables& t = tables();
  std::size_t i = 0;
  if (t.premulIsRounded)
    for (; i + 8 <= n; i += 8) {
      __m128i m0, m1;
      spreadMatte(mv + i, &m0, &m1);
      const __m128i s0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 4 * i));
      const __m128i s1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 4 * i + 16));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 4 * i), premultiplyFour(s0, m0));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 4 * i + 16), premultiplyFour(s1, m1));
    }
  for (; i < n; ++i) {
    const std::uint8_t* premul = t.premul[mv[i]];
    o[4 * i + 0] = premul[s[4 * i + 0]];
    o[4 * i + 1] = premul[s[4 * i + 1]];
    o[4 * i + 2] = premul[s[4 * i + 2]];
    o[4 * i + 3] = premul[s[4 * i + 3]];
  }
}

// The matte as an opaque grey image: n pixels.
void matteBytes(std::uint8_t* o, const std::uint8_t* mv, std::size_t n) {
  const ByteTables& t = tables();
  std::size_t i = 0;
  if (t.matteIsIdentity)
    for (; i + 8 <= n; i += 8) {
      __m128i m0, m1;
      spreadMatte(mv + i, &m0, &m1);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 4 * i), _mm_or_si128(m0, kAlphaLanes));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 4 * i + 16), _mm_or_si128(m1, kAlphaLanes));
    }
  for (; i < n; ++i) {
    o[4 * i + 0] = o[4 * i + 1] = o[4 * i + 2] = t.matte[mv[i]];
    o[4 * i + 3] = 255;
  }
}

// The frame's matte, looked up for one render.
struct FrameMatte {
  bool found = false;
  Matte matte;
};

// Nearest-neighbour sampling of the matte over the output bounds: the matte
// column of output columns [from, from + count) of width, and the matte row
// of an output row, with the matte's top row at the output's top row. The
// sampling depends on the whole output, never on the part being rendered.
std::vector<int> matteColumns(const Matte& m, long long width, long long from, long long count) {
  std::vector<int> columns(static_cast<std::size_t>(count));
  for (long long i = 0; i < count; ++i) {
    auto mx = static_cast<long long>(static_cast<double>(m.width) * static_cast<double>(from + i) /
                                     static_cast<double>(width));
    columns[static_cast<std::size_t>(i)] = static_cast<int>(std::clamp<long long>(mx, 0, m.width - 1));
  }
  return columns;
}

const std::uint8_t* matteRow(const Matte& m, long long fromTop, long long height) {
  auto my = static_cast<long long>(static_cast<double>(m.height) * static_cast<double>(height - 1 - fromTop) /
                                   static_cast<double>(height));
  my = std::clamp<long long>(my, 0, m.height - 1);
  return m.pixels->data() + static_cast<std::size_t>(m.width) * static_cast<std::size_t>(my);
}

// The matte bytes under the rendered columns of an output row, one per
// column. A matte as wide as the output is read in place.
const std::uint8_t* matteAlongRow(const Matte& m, const std::vector<int>& columns, long long width, long long from,
                                  long long fromTop, long long height, std::vector<std::uint8_t>& row) {
  const std::uint8_t* source = matteRow(m, fromTop, height);
  if (m.width == width) return source + from;
  for (std::size_t i = 0; i < columns.size(); ++i) row[i] = source[columns[i]];
  return row.data();
}

// The output columns [begin, end) of a row of the area that lie over the
// source.
struct Span {
  int begin, end;
};

Span sourceSpan(const OfxRectI& area, const HostImage& src, int y) {
  if (!src.holdsRow(y)) return {area.x1, area.x1};
  int begin = std::max(area.x1, src.bounds.x1);
  int end = std::min(area.x2, src.bounds.x2);
  return end > begin ? Span{begin, end} : Span{area.x1, area.x1};
}

// The output's width and height, and the window's first column in it and
// its width, wide enough for any bounds.
struct Window {
  long long width, height, from, count;
};
Window windowIn(const OfxRectI& b, const OfxRectI& area) {
  return {static_cast<long long>(b.x2) - b.x1, static_cast<long long>(b.y2) - b.y1,
          static_cast<long long>(area.x1) - b.x1, static_cast<long long>(area.x2) - area.x1};
}

// Both write only inside area, a non-empty part of the output's bounds:
// hosts that render a frame on several threads hand each call a window of
// the same image.
void renderBytes(const HostImage& out, const HostImage& src, const FrameMatte& fm, int mode, const OfxRectI& area) {
  const ByteTables& t = tables();
  const OfxRectI& b = out.bounds;
  const auto [width, height, from, count] = windowIn(b, area);
  std::vector<int> columns;
  std::vector<std::uint8_t> rowMatte;
  if (fm.found) {
    columns = matteColumns(fm.matte, width, from, count);
    rowMatte.resize(static_cast<std::size_t>(count));
  }
  for (int y = area.y1; y < area.y2; ++y) {
    std::uint8_t* o = out.row(y) + 4 * from;
    Span inside = sourceSpan(area, src, y);
    const std::uint8_t* s = inside.end > inside.begin ? src.row(y) + 4LL * (inside.begin - src.bounds.x1) : nullptr;
    if (!fm.found) {
      // A plain copy; transparent black where the source does not reach.
      std::memset(o, 0, 4 * static_cast<std::size_t>(inside.begin - area.x1));
      std::uint8_t* oi = o + 4LL * (inside.begin - area.x1);
      std::size_t n = 4 * static_cast<std::size_t>(inside.end - inside.begin);
      if (t.copyIsIdentity) {
        if (n) std::memcpy(oi, s, n);
      } else {
        for (std::size_t i = 0; i < n; ++i) oi[i] = t.copy[s[i]];
      }
      std::memset(oi + n, 0, 4 * static_cast<std::size_t>(area.x2 - inside.end));
      continue;
    }
    const std::uint8_t* mv = matteAlongRow(fm.matte, columns, width, from, y - b.y1, height, rowMatte);
    if (mode == kMatteOnly) {
      matteBytes(o, mv, static_cast<std::size_t>(count));
      continue;
    }
    const std::size_t before = static_cast<std::size_t>(inside.begin - area.x1);
    const std::size_t n = static_cast<std::size_t>(inside.end - inside.begin);
    std::memset(o, 0, 4 * before);  // no character where there is no source
    premultiplyBytes(o + 4 * before, s, mv + before, n);
    std::memset(o + 4 * (before + n), 0, 4 * static_cast<std::size_t>(area.x2 - inside.end));
  }
}

void renderFloats(const HostImage& out, const HostImage& src, const FrameMatte& fm, int mode, const OfxRectI& area) {
  const ByteTables& t = tables();
  const OfxRectI& b = out.bounds;
  const auto [width, height, from, count] = windowIn(b, area);
  std::vector<int> columns;
  if (fm.found) columns = matteColumns(fm.matte, width, from, count);
  for (int y = area.y1; y < area.y2; ++y) {
    float* o = reinterpret_cast<float*>(out.row(y)) + 4 * from;
    Span inside = sourceSpan(area, src, y);
    const float* s = inside.end > inside.begin
                         ? reinterpret_cast<const float*>(src.row(y)) + 4LL * (inside.begin - src.bounds.x1)
                         : nullptr;
    if (!fm.found) {
      std::size_t before = 4 * static_cast<std::size_t>(inside.begin - area.x1);
      std::size_t n = 4 * static_cast<std::size_t>(inside.end - inside.begin);
      std::fill(o, o + before, 0.0f);
      if (n) std::memcpy(o + before, s, n * sizeof(float));
      std::fill(o + before + n, o + 4 * count, 0.0f);
      continue;
    }
    const std::uint8_t* mrow = matteRow(fm.matte, y - b.y1, height);
    const int* col = columns.data() - area.x1;
    for (int x = area.x1; x < area.x2; ++x, o += 4) {
      const float a = t.matteFloat[mrow[col[x]]];
      if (mode == kMatteOnly) {
        o[0] = o[1] = o[2] = a;
        o[3] = 1.0f;
      } else if (x >= inside.begin && x < inside.end) {
        const float* p = s + 4LL * (x - inside.begin);
        o[0] = p[0] * a;
        o[1] = p[1] * a;
        o[2] = p[2] * a;
        o[3] = p[3] * a;  // as the byte depth: premultiplied stays so
      } else {
        o[0] = o[1] = o[2] = o[3] = 0.0f;
      }
    }
  }
}

// The part of the output a render call writes: its render window clipped to
// the output's bounds (all of them when the host gives no window).
OfxRectI renderArea(OfxPropertySetHandle inArgs, const OfxRectI& bounds) {
  int w[4] = {bounds.x1, bounds.y1, bounds.x2, bounds.y2};
  if (gProp->propGetIntN(inArgs, kOfxImageEffectPropRenderWindow, 4, w) != kOfxStatOK) return bounds;
  return OfxRectI{std::max(bounds.x1, w[0]), std::max(bounds.y1, w[1]), std::min(bounds.x2, w[2]),
                  std::min(bounds.y2, w[3])};
}

// The frame index of a render time, or -1 when there is none: before the
// clip start, or too far from it for a 32-bit index.
long long frameIndex(double time, double clipStart) {
  double frame = std::round(time - clipStart);  // halves away from zero
  if (!(frame >= 0.0 && frame <= static_cast<double>(INT_MAX))) return -1;
  return static_cast<long long>(frame);
}

FrameMatte findMatte(OfxImageEffectHandle instance, double time, int mode) {
  FrameMatte fm;
  if (mode == kSourceBypass) return fm;
  // A session id read back from a saved project is outside input too.
  const MatteSession session = matteSession(instance);
  const std::string& folder = session.folder;
  if (folder.empty()) return fm;
  double clipStart = std::strtod(session.clipStart.c_str(), nullptr);
  long long frame = frameIndex(time, clipStart);
  if (frame < 0) return fm;
  fm.found = getMatte(contract::numbered_file(folder, static_cast<int>(frame), ".png"), &fm.matte);
  fm.found = fm.found && fm.matte.width > 0 && fm.matte.height > 0;
  return fm;
}

}  // namespace

OfxStatus render(OfxImageEffectHandle instance, OfxPropertySetHandle inArgs) {
  double time = 0.0;
  gProp->propGetDouble(inArgs, kOfxPropTime, 0, &time);
  OfxImageClipHandle sourceClip = nullptr, outputClip = nullptr;
  gEffect->clipGetHandle(instance, kOfxImageEffectSimpleSourceClipName, &sourceClip, nullptr);
  gEffect->clipGetHandle(instance, kOfxImageEffectOutputClipName, &outputClip, nullptr);

  FetchedImages images;
  if (gEffect->clipGetImage(sourceClip, time, nullptr, &images.source) != kOfxStatOK || !images.source) {
    images.source = nullptr;
    return kOfxStatFailed;
  }
  if (gEffect->clipGetImage(outputClip, time, nullptr, &images.output) != kOfxStatOK || !images.output) {
    images.output = nullptr;
    return kOfxStatFailed;
  }
  const HostImage src = readHostImage(images.source);
  const HostImage out = readHostImage(images.output);

  const int mode = readParam(instance, param::kOutputMode, 0);
  FrameMatte fm = findMatte(instance, time, mode);
  const OfxRectI area = renderArea(inArgs, out.bounds);
  if (out.data && area.x2 > area.x1 && area.y2 > area.y1) {
    if (out.isFloat)
      renderFloats(out, src, fm, mode, area);
    else
      renderBytes(out, src, fm, mode, area);
  }
  return kOfxStatOK;
}

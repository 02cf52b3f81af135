#pragma once
// Every frame of the pulled range rendered through the effect on several
// threads, as a host renders for export: the PNG files, the preview video
// and the contact sheet's cells.

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "Instance.h"
#include "VideoSource.h"
#include "contact_sheet.h"
#include "preview_video.h"

struct RenderJob {
  ofxhost::VideoSource* source = nullptr;
  // Instances sharing the pulled matte: in the chosen output mode, in
  // "Character (RGBA)" and in "Matte only" (the same instance where modes agree).
  std::shared_ptr<ofxhost::EffectInstance> output, character, matte;
  int first = 0, last = 0;
  std::string dir;  // DIR/%06d.png by frame number
  ContactSheet* sheet = nullptr;
  PreviewVideo* preview = nullptr;
  const std::atomic<bool>* interrupted = nullptr;
  std::atomic<int> done{0};  // frames written so far
};

// Renders on one thread per processor; empty when every frame was written,
// else what went wrong.
std::string renderAll(RenderJob& job);

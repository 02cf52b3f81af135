#pragma once
// The GL calls the plug-in made, in order, as recorded by gl_recorder.cpp.

#include <string>
#include <vector>

struct GlCall {
  std::string name;  // "glBegin", "glVertex2d", ...
  std::vector<double> args;
  bool operator==(const GlCall& o) const { return name == o.name && args == o.args; }
};

std::vector<GlCall>& glCalls();

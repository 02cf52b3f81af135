// Stands in for libGL's entry points: exported from the test executable, so
// the plug-in's calls land here and are recorded instead of drawn.

#include <GL/gl.h>

#include "GlRecorder.h"

std::vector<GlCall>& glCalls() {
  static std::vector<GlCall> calls;
  return calls;
}

extern "C" {

void glBegin(GLenum mode) { glCalls().push_back({"glBegin", {static_cast<double>(mode)}}); }
void glEnd() { glCalls().push_back({"glEnd", {}}); }
void glVertex2d(GLdouble x, GLdouble y) { glCalls().push_back({"glVertex2d", {x, y}}); }
void glColor4f(GLfloat r, GLfloat g, GLfloat b, GLfloat a) { glCalls().push_back({"glColor4f", {r, g, b, a}}); }
void glLineWidth(GLfloat width) { glCalls().push_back({"glLineWidth", {width}}); }
void glPushAttrib(GLbitfield mask) { glCalls().push_back({"glPushAttrib", {static_cast<double>(mask)}}); }
void glPopAttrib() { glCalls().push_back({"glPopAttrib", {}}); }
void glEnable(GLenum cap) { glCalls().push_back({"glEnable", {static_cast<double>(cap)}}); }
void glBlendFunc(GLenum s, GLenum d) {
  glCalls().push_back({"glBlendFunc", {static_cast<double>(s), static_cast<double>(d)}});
}
}

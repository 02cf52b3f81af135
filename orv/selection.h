#pragma once
// The selection's place in the project: the records (contract/selection.h)
// hold fractions of the project rectangle with the origin at its top-left
// corner; the overlay draws and reads the pen in the host's canonical
// coordinates, y up. The conversions between the two live here.

namespace orv {

// The project rectangle in the host's canonical coordinates.
struct Space {
  double offset_x = 0, offset_y = 0;
  double width = 1920, height = 1080;
};

// The space of a project of the given size and offset; a size that is not
// positive on both axes stands for 1920 x 1080.
Space make_space(double size_x, double size_y, double offset_x, double offset_y);

// Selection (x right, y down, 0..1) to canonical (y up).
void to_canonical(const Space& space, double x, double y, double* cx, double* cy);
// Canonical to selection, clamped to [0, 1] on both axes.
void to_selection(const Space& space, double cx, double cy, double* x, double* y);

}  // namespace orv

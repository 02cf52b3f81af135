// The overlay interact that draws and edits the selection in the viewer.

#include "ORVPlugin.h"

namespace orv {

OfxStatus overlayMain(const char* action, const void* handle, OfxPropertySetHandle inArgs,
                      OfxPropertySetHandle outArgs) {
  (void)action;
  (void)handle;
  (void)inArgs;
  (void)outArgs;
  return kOfxStatReplyDefault;
}

}  // namespace orv

#ifndef OFX_PROGRESS_H
#define OFX_PROGRESS_H
/* The progress suite: a bar the host shows while a plug-in works through a
 * long job in an action, with the user's chance to cancel it. Optional:
 * hosts that do not offer it answer null from fetchSuite. */

#include "ofxCore.h"

#ifdef __cplusplus
extern "C" {
#endif

#define kOfxProgressSuite "OfxProgressSuite"

typedef struct OfxProgressSuiteV1 {
  /* Shows the bar with a label. effectInstance is the instance's handle. */
  OfxStatus (*progressStart)(void* effectInstance, const char* label);
  /* progress from 0 to 1; kOfxStatReplyNo when the user asked to stop. */
  OfxStatus (*progressUpdate)(void* effectInstance, double progress);
  OfxStatus (*progressEnd)(void* effectInstance);
} OfxProgressSuiteV1;

/* Version 2: the same three calls; the start also names the message so that
 * hosts can tell one progress from another. */
typedef struct OfxProgressSuiteV2 {
  OfxStatus (*progressStart)(void* effectInstance, const char* message, const char* messageid);
  OfxStatus (*progressUpdate)(void* effectInstance, double progress);
  OfxStatus (*progressEnd)(void* effectInstance);
} OfxProgressSuiteV2;

#ifdef __cplusplus
}
#endif

#endif

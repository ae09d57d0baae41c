// Program flow: start-up, message loop and shutdown, in their fixed order.
#include "app/clock.h"
#include "app/window.h"
#include "app/window_proc.h"
#include "display/font_atlas.h"
#include "display/scene_state.h"
#include "sound/audio_library.h"
#include "sound/audio_output.h"
#include "vision/capture_setup.h"
#include "vision/motion_state.h"

#include <GL/gl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
// The one message record; its wParam becomes the exit status.
AppMessage messageRecord{};
}  // namespace

int main() {
  // Lines reach a log as they happen, not when the process ends.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  // Start-up, strictly in this order.
  clearClock();                                              // 1
  startClock();                                              // 2
  if (!createAppWindow("Tessaro", 640, 480, 32)) return -1;  // 3
  if (!initSceneState()) return -1;                          // 4
  std::srand(1234);                                          // 5
  std::memset(KeyState, 0, sizeof KeyState);                 // 6
  initFontAtlas();                                           // 7
  initMotionLock();                                          // 8
  startCapture();                                            // 9  (runs on without frames if it fails)
  initAudio(nullptr);                                        // 10
  setStartMark();                                            // 11

  runMessageLoop(messageRecord);

  // Shutdown, strictly in this order; the context stays current until 9.
  glDeleteLists(glyphListBase, 256);              // 1
  BASS_Free();                                    // 2
  stopCapture();                                  // 3-7
  deleteMotionLock();                             // 8
  destroyAppWindow();                             // 9
  return static_cast<int>(messageRecord.wParam);  // 10
}

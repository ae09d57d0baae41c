// Program flow: start-up, message loop and shutdown, in their fixed order.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/message_loop.h"
#include "app/options.h"
#include "app/outputs.h"
#include "display/font_atlas.h"
#include "display/scene_state.h"
#include "platform/clock.h"
#include "platform/window.h"
#include "sound/audio_library.h"
#include "sound/audio_output.h"
#include "vision/capture_setup.h"
#include "vision/motion_state.h"

namespace {
// The one message record; its wParam becomes the exit status.
AppMessage messageRecord{};
}  // namespace

int main(int argc, char** argv) {
  // Lines reach a log as they happen, not when the process ends.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  ProgramOptions options;
  switch (parseProgramOptions(argc, argv, options)) {
    case OptionsOutcome::Run: break;
    case OptionsOutcome::Exit: return 0;
    case OptionsOutcome::Usage: return usageExitStatus;
  }

  // Start-up, strictly in this order.
  clearClock();
  startClock();
  if (!chooseWindowPlacement(options)) return usageExitStatus;
  if (!createAppWindow("Tessaro", 640, 480, 32)) return -1;  // the only failure that ends the start-up
  if (!initSceneState()) return -1;
  std::srand(1234);                           // the C runtime's generator, as every run finds it
  std::memset(KeyState, 0, sizeof KeyState);  // no key down
  initFontAtlas();
  initMotionLock();
  // OSC and the preview when asked for, before the first frame and the first synthesis call.
  startMotionOutputs(options);
  startCapture();      // runs on without frames if it fails
  initAudio(nullptr);  // runs on in silence if it fails
  setStartMark();      // frame times count from here

  runMessageLoop(messageRecord);

  // Shutdown, strictly in this order; the context stays current until the window goes.
  stopMotionOutputs();
  deleteGlyphLists();
  BASS_Free();    // no synthesis callback runs after this
  stopCapture();  // stop, disconnect and release, with the two teardown lines
  deleteMotionLock();
  destroyAppWindow();
  return static_cast<int>(messageRecord.wParam);  // 0 after a close, the key after Escape
}

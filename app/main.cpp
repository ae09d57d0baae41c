// Program flow: start-up, message loop and shutdown, in their fixed order.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/alerts.h"
#include "app/message_loop.h"
#include "app/options.h"
#include "app/outputs.h"
#include "app/status_watch.h"
#include "audio/audio_library.h"
#include "camera/camera_controls.h"
#include "display/font_atlas.h"
#include "display/scene_state.h"
#include "platform/audio_device.h"
#include "platform/clock.h"
#include "platform/diagnostics.h"
#include "platform/display_server.h"
#include "platform/ending_signals.h"
#include "platform/message_box.h"
#include "platform/service_notify.h"
#include "platform/window.h"
#include "sound/audio_output.h"
#include "vision/capture_setup.h"
#include "vision/motion_state.h"

namespace {
// The one message record; its wParam becomes the exit status.
AppMessage messageRecord{};
bool captureTornDown = false;

// The X server went away: the shutdown's steps that need no display, with the
// teardown lines, unless the shutdown has passed them already. The window and
// its context went with the server.
void endWithoutDisplay() {
  if (!captureTornDown) {
    statusWatchFinish();
    BASS_Free();
    stopCapture();
    deleteMotionLock();
  }
  reportRun();
}

// What the options ask of the run before it starts; false after one line
// saying why it cannot.
bool applyOptions(const ProgramOptions& options) {
  std::string reason;
  if (!options.log.empty() && !setDiagnosticLog(options.log.c_str(), &reason)) {
    diagnostic("tessaro", "cannot write the log '%s': %s", options.log.c_str(), reason.c_str());
    return false;
  }
  // The camera layer reads its choice from the environment.
  if (!options.camera.empty()) setenv("TESSARO_CAMERA", options.camera.c_str(), 1);
  CameraControlSetup controls;
  for (const std::string& text : options.cameraControls) {
    ControlSetting setting;
    if (parseControlSetting(text, setting)) controls.settings.push_back(setting);  // checked already
  }
  controls.holdSeconds = options.holdExposure;
  setCameraControlSetup(controls);
  setUnattendedBoxes(options.unattended);
  setAlertCommand(options.alertCommand);
  return applyRoomFitting(options.room, "tessaro");
}

void reportStarted() {
  const char* driver = audioDriverName();
  diagnostic("tessaro", "started: camera %s; audio %s", captureStarted ? captureDescription : "none",
             *driver ? driver : "none");
  notifyServiceReady("playing");
}

void reportStopping(const AppMessage& last) {
  const char* why =
      last.message == WM_QUIT ? "the window was closed or the program was told to end" : "Escape was pressed";
  diagnostic("tessaro", "stopping: %s", why);
  notifyServiceStopping();
}
}  // namespace

int main(int argc, char** argv) {
  // From here on Ctrl+C, kill or a closed terminal ends the run through the
  // message loop, with the teardown lines, however early it comes.
  catchEndingSignals({SIGINT, SIGTERM, SIGHUP});
  askSoundServerBuffer(audioServerBufferMs);  // writes the environment: before any thread
  // A message box's own process shows its box and ends.
  if (const int boxStatus = runMessageBoxProcess(argc, argv); boxStatus >= 0) return boxStatus;
  // Lines reach a log as they happen, not when the process ends.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  ProgramOptions options;
  switch (parseProgramOptions(argc, argv, options)) {
    case OptionsOutcome::Exit: return 0;
    case OptionsOutcome::Usage: return usageExitStatus;
    case OptionsOutcome::Run: break;
  }
  if (!applyOptions(options)) return usageExitStatus;
  setDisplayLostEnding(endWithoutDisplay);

  // Start-up, strictly in this order.
  clearClock();
  startClock();
  if (!chooseWindowPlacement(options)) return missingDisplayExitStatus;
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
  reportStarted();

  runMessageLoop(messageRecord);
  reportStopping(messageRecord);

  // Shutdown, strictly in this order; the context stays current until the window goes.
  statusWatchFinish();
  stopMotionOutputs();
  deleteGlyphLists();
  BASS_Free();    // no synthesis callback runs after this
  stopCapture();  // stop, disconnect and release, with the two teardown lines
  captureTornDown = true;
  deleteMotionLock();
  destroyAppWindow();
  reportRun();
  return static_cast<int>(messageRecord.wParam);  // 0 after a close, the key after Escape
}

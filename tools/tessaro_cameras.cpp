// tessaro-cameras: the cameras the installation would find, with their
// modes, and why a camera that is there cannot be used. Exit status 0 when at
// least one camera can be used, 1 otherwise: `make run` then starts the
// installation with the demo camera. It reads the installation's camera
// setting, from the same places as the installation.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "app/options.h"
#include "app/settings.h"
#include "camera/camera_listing.h"
#include "platform/diagnostics.h"

namespace {
struct CameraOptions {
  std::string camera;
  bool controls = false;
};
const OptionSpec controlsOption{"controls", nullptr, OptionKind::Switch, nullptr, "no", nullptr,
                                "also list each camera's controls: the name --camera-control takes\n"
                                "(as v4l2-ctl names it), type, range or menu entries, default, current\n"
                                "value, and whether it is inactive now (its automatic is on) or read-only"};
const OptionField<CameraOptions> fields[] = {{cameraOption, &CameraOptions::camera},
                                             {controlsOption, &CameraOptions::controls}};
}  // namespace

int main(int argc, char** argv) {
  const std::vector<const OptionSpec*> specs = optionSpecs<CameraOptions>(fields);
  const ProgramSettings program{"tessaro-cameras", specs, installationOptions()};
  SettingsResult result = readSettings(program, argc, argv);
  if (result.outcome == SettingsOutcome::Run && !result.arguments.empty()) {
    result.outcome = SettingsOutcome::Mistake;
    result.mistake = "unexpected argument " + result.arguments.front();
  }
  switch (result.outcome) {
    case SettingsOutcome::Help:
      std::printf("usage: tessaro-cameras %s\n"
                  "Lists the cameras the installation would find, with their modes (mode 0 is the one\n"
                  "used), and why a camera that is there cannot be used; with --controls, their controls.\n"
                  "Exit status 0 when one can be used, 1 when none can.\n\n",
                  optionsUsage(program).c_str());
      printOptionsHelp(stdout, program);
      return 0;
    case SettingsOutcome::Version: std::printf("tessaro-cameras %s\n", tessaroVersion()); return 0;
    case SettingsOutcome::PrintSettings: printSettings(stdout, result); return 0;
    case SettingsOutcome::Mistake:
    case SettingsOutcome::FileMistake:
      diagnostic("tessaro-cameras", "%s", result.mistake.c_str());
      return 2;
    case SettingsOutcome::Run: break;
  }
  CameraOptions options;
  storeSettings<CameraOptions>(result, fields, options);
  // The camera layer reads its choice from the environment.
  if (!options.camera.empty()) setenv("TESSARO_CAMERA", options.camera.c_str(), 1);
  const CameraListing listing = describeCameras(options.controls);
  std::fputs(listing.text.c_str(), stdout);
  return listing.usableCameras > 0 ? 0 : 1;
}

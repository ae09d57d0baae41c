#pragma once
// A program's options, read through one table. Each option is a long
// command-line option, an environment variable and a key of the settings
// file, all of the same meaning, with one check for its value. The command
// line wins over the environment, the environment over the user's settings
// file, that over the system's, that over the built-in default.
//
// Settings files hold `key = value` lines (the long option names without
// dashes), with comments from `#` or `;` at the start of a line or after a
// space. They are read by inih, configured here once.
#include <cstdint>
#include <cstdio>
#include <functional>
#include <span>
#include <string>
#include <vector>

enum class OptionKind : uint8_t {
  Switch,  // no value on the command line; 1/yes/true/on or 0/no/false/off elsewhere
  Value,   // one value
  List,    // may be given again on the command line; a comma list elsewhere
};

struct OptionSpec {
  const char* name;          // "camera": --camera, and the settings key
  const char* variable;      // "TESSARO_CAMERA"; nullptr when it has none
  OptionKind kind;
  const char* valueName;     // "HOST:PORT" in the usage; nullptr for a switch
  const char* defaultValue;  // what --print-settings shows when nothing sets it
  // What is wrong with a value ("takes a number"), or nullptr when it is
  // fine; nullptr: any value. An empty value always means the default.
  const char* (*check)(const std::string& value);
  const char* help;  // for --help, lines separated by '\n'
};

enum class SettingOrigin : uint8_t { Default, SystemFile, UserFile, ConfigFile, Environment, CommandLine };

struct Setting {
  const OptionSpec* option = nullptr;
  std::vector<std::string> values;  // a switch: "yes" or "no"; a value: one; a list: each
  SettingOrigin origin = SettingOrigin::Default;
  std::string file;  // for a setting from a file: that file and its line
  int line = 0;

  const std::string& value() const;  // the one value; "" when there is none
  bool on() const;                   // a switch that is on
  std::string source() const;        // "default", "user file PATH:LINE", "environment VAR", ...
};

struct SettingsFile {
  std::string path;
  SettingOrigin origin;
  bool read;  // false: not there
};

struct ProgramSettings {
  const char* program;                          // "tessaro", for --version
  std::span<const OptionSpec* const> options;   // what this program takes
  // The keys a settings file may hold (all of the installation's options);
  // empty: the program reads no settings file and takes no --config.
  std::span<const OptionSpec* const> fileKeys;
  std::string systemFile = "/etc/tessaro/tessaro.conf";  // a test seam
};

enum class SettingsOutcome : uint8_t {
  Run,
  Help,           // --help or -h: the program prints its help
  Version,        // --version: the program prints readSettings' version
  PrintSettings,  // --print-settings: everything is read; the program prints it
  Mistake,        // on the command line or in the environment: mistake says what
  FileMistake,    // in a settings file: mistake is "FILE:LINE: what"
};

struct SettingsResult {
  SettingsOutcome outcome = SettingsOutcome::Run;
  std::vector<Setting> settings;       // one per option, in the table's order
  std::vector<std::string> arguments;  // the words that are no option
  std::vector<SettingsFile> files;     // the settings files looked for
  std::string mistake;                 // one line, without the program's name

  const Setting& operator[](const char* name) const;
};

SettingsResult readSettings(const ProgramSettings& program, int argc, char** argv);

// The usage's options ("[--camera DEV|demo|FILE] [--unattended] ...") and
// the option lines of --help, with each one's variable and settings key.
std::string optionsUsage(const ProgramSettings& program);
void printOptionsHelp(std::FILE* stream, const ProgramSettings& program);
// Every setting as a `key = value` line, with where it came from.
void printSettings(std::FILE* stream, const SettingsResult& result);

const char* tessaroVersion();

// What a program does with each setting: the field of its options that the
// setting's value goes into, converted (text, switch, number or list). Only
// settings that something set are stored: the field's own initial value is
// the default.
void storeSetting(const Setting& setting, std::string& field);
void storeSetting(const Setting& setting, bool& field);
void storeSetting(const Setting& setting, int32_t& field);
void storeSetting(const Setting& setting, uint64_t& field);
void storeSetting(const Setting& setting, double& field);
void storeSetting(const Setting& setting, std::vector<std::string>& field);

template <class Options>
struct OptionField {
  const OptionSpec* option;
  std::function<void(const Setting&, Options&)> store;
  template <class T>
  OptionField(const OptionSpec& entry, T Options::*field)
      : option(&entry), store([field](const Setting& setting, Options& options) {
          storeSetting(setting, options.*field);
        }) {}
  // A field of a group of options that several programs share.
  template <class T, class Group>
  OptionField(const OptionSpec& entry, Group Options::*group, T Group::*field)
      : option(&entry), store([group, field](const Setting& setting, Options& options) {
          storeSetting(setting, options.*group.*field);
        }) {}
};

template <class Options>
std::vector<const OptionSpec*> optionSpecs(std::span<const OptionField<Options>> fields) {
  std::vector<const OptionSpec*> specs;
  for (const OptionField<Options>& field : fields) specs.push_back(field.option);
  return specs;
}

template <class Options>
void storeSettings(const SettingsResult& result, std::span<const OptionField<Options>> fields, Options& options) {
  for (const OptionField<Options>& field : fields) {
    const Setting& setting = result[field.option->name];
    if (setting.origin != SettingOrigin::Default) field.store(setting, options);
  }
}

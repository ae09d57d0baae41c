#include "app/settings.h"

#include <ini.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#ifndef TESSARO_VERSION
#define TESSARO_VERSION "unknown"
#endif

namespace {
const OptionSpec configOption{
    "config", "TESSARO_CONFIG", OptionKind::Value, "FILE", "", nullptr,
    "read the settings from FILE instead of /etc/tessaro/tessaro.conf and\n"
    "~/.config/tessaro/tessaro.conf (a FILE that is not there is an error)"};

const std::string noValue;

// "1", "yes", "true", "on" or "0", "no", "false", "off", "" (case as written).
bool parseSwitch(const std::string& text, bool& on) {
  for (const char* yes : {"1", "yes", "true", "on"}) {
    if (text == yes) return on = true, true;
  }
  for (const char* no : {"0", "no", "false", "off", ""}) {
    if (text == no) return on = false, true;
  }
  return false;
}

std::string trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// "a, b,,c" -> a, b, c
std::vector<std::string> splitList(const std::string& text) {
  std::vector<std::string> items;
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    if (std::string item = trimmed(text.substr(start, comma - start)); !item.empty()) items.push_back(item);
    start = comma + 1;
  }
  return items;
}

std::vector<std::string> valuesOf(const OptionSpec& option, const std::string& text) {
  return option.kind == OptionKind::List ? splitList(text) : std::vector<std::string>{text};
}

// Checks the values as given; a switch's value becomes "yes" or "no".
// Otherwise false, with what is wrong ("takes a number, not 'x'").
bool checkValues(const OptionSpec& option, std::vector<std::string>& values, std::string& complaint) {
  for (std::string& value : values) {
    if (option.kind == OptionKind::Switch) {
      bool on = false;
      if (!parseSwitch(value, on)) {
        complaint = "must be 1 or 0 (yes or no, true or false, on or off), not '" + value + "'";
        return false;
      }
      value = on ? "yes" : "no";
    } else if (!value.empty() && option.check) {
      if (const char* wrong = option.check(value)) {
        complaint = std::string(wrong) + ", not '" + value + "'";
        return false;
      }
    }
  }
  return true;
}

const OptionSpec* findOption(std::span<const OptionSpec* const> options, const std::string& name) {
  for (const OptionSpec* option : options) {
    if (name == option->name) return option;
  }
  return nullptr;
}

Setting* findSetting(SettingsResult& result, const OptionSpec* option) {
  for (Setting& setting : result.settings) {
    if (setting.option == option) return &setting;
  }
  return nullptr;
}

// inih counts no lines for its handler: the reader does, one per newline.
struct FileReading {
  std::FILE* file;
  int line = 0;
  bool atLineStart = true;
  const ProgramSettings* program;
  SettingsResult* result;
  const std::string* path;
  SettingOrigin origin;
  std::vector<std::pair<std::string, int>> seen;  // each key with its line
  std::string complaint;                         // what is wrong with the line inih stops at
};

char* readLine(char* text, int size, void* stream) {
  auto& reading = *static_cast<FileReading*>(stream);
  if (!std::fgets(text, size, reading.file)) return nullptr;
  if (reading.atLineStart) ++reading.line;
  const size_t length = std::strlen(text);
  reading.atLineStart = length > 0 && text[length - 1] == '\n';
  return text;
}

int onFileSetting(void* user, const char* section, const char* name, const char* text) {
  auto& reading = *static_cast<FileReading*>(user);
  if (*section) {
    reading.complaint = std::string(name) + " is in a section [" + section + "]: settings take none";
    return 0;
  }
  const OptionSpec* option = findOption(reading.program->fileKeys, name);
  if (!option) {
    reading.complaint = "unknown setting '" + std::string(name) + "'";
    return 0;
  }
  for (const auto& [key, line] : reading.seen) {
    if (key == name) {
      reading.complaint = std::string(name) + " is set twice (first on line " + std::to_string(line) + ")";
      return 0;
    }
  }
  reading.seen.emplace_back(name, reading.line);
  std::vector<std::string> values = valuesOf(*option, text);
  if (!checkValues(*option, values, reading.complaint)) {
    reading.complaint = std::string(name) + " " + reading.complaint;
    return 0;
  }
  // A key of the installation that this program does not take is checked, then left.
  if (Setting* setting = findSetting(*reading.result, option)) {
    *setting = Setting{option, std::move(values), reading.origin, *reading.path, reading.line};
  }
  return 1;
}

// Reads one settings file into the result; false with the mistake set. A
// default place that holds no file is fine; a file named by --config must be there.
bool readSettingsFile(const ProgramSettings& program, const std::string& path, SettingOrigin origin,
                      SettingsResult& result) {
  std::FILE* file = std::fopen(path.c_str(), "r");
  if (!file) {
    if (origin != SettingOrigin::ConfigFile && (errno == ENOENT || errno == ENOTDIR)) {
      result.files.push_back({path, origin, false});
      return true;
    }
    result.mistake = "cannot read the settings file '" + path + "': " + std::strerror(errno);
    return false;
  }
  struct stat status {};
  if (fstat(fileno(file), &status) == 0 && S_ISDIR(status.st_mode)) {
    std::fclose(file);
    result.mistake = "cannot read the settings file '" + path + "': " + std::strerror(EISDIR);
    return false;
  }
  result.files.push_back({path, origin, true});
  // Whole lines as written: no continuation lines, any length a person
  // writes, a comment after a value, and the first mistake ends the reading.
  static char commentStarts[] = "#;";
  ini_allow_multiline = false;
  ini_allow_inline_comments = true;
  ini_inline_comment_prefixes = commentStarts;
  ini_use_stack = false;
  ini_allow_realloc = true;
  ini_initial_alloc = 256;
  ini_max_line = 65536;
  ini_stop_on_first_error = true;
  FileReading reading{file, 0, true, &program, &result, &path, origin, {}, {}};
  const int failedLine = ini_parse_stream(readLine, &reading, onFileSetting, &reading);
  std::fclose(file);
  if (failedLine == 0) return true;
  if (failedLine < 0) {
    result.mistake = "cannot read the settings file '" + path + "': " + std::strerror(ENOMEM);
  } else {
    const std::string what = reading.complaint.empty() ? "not a 'key = value' line" : reading.complaint;
    result.mistake = path + ":" + std::to_string(failedLine) + ": " + what;
  }
  return false;
}

std::string userSettingsFile() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config && config[0] == '/') return std::string(config) + "/tessaro/tessaro.conf";
  const char* home = std::getenv("HOME");
  if (home && *home) return std::string(home) + "/.config/tessaro/tessaro.conf";
  return "";
}

bool readSettingsFiles(const ProgramSettings& program, const std::string& configFromCommandLine,
                       SettingsResult& result) {
  std::string config = configFromCommandLine;
  if (config.empty()) {
    if (const char* fromEnvironment = std::getenv(configOption.variable)) config = fromEnvironment;
  }
  if (!config.empty()) return readSettingsFile(program, config, SettingOrigin::ConfigFile, result);
  if (!readSettingsFile(program, program.systemFile, SettingOrigin::SystemFile, result)) return false;
  const std::string user = userSettingsFile();
  return user.empty() || readSettingsFile(program, user, SettingOrigin::UserFile, result);
}

// "--camera", "--camera DEV|demo|FILE"
std::string optionWords(const OptionSpec& option) {
  std::string words = std::string("--") + option.name;
  if (option.valueName) words += std::string(" ") + option.valueName;
  return words;
}

std::vector<const OptionSpec*> helpedOptions(const ProgramSettings& program) {
  std::vector<const OptionSpec*> options(program.options.begin(), program.options.end());
  if (!program.fileKeys.empty()) options.push_back(&configOption);
  return options;
}
}  // namespace

const std::string& Setting::value() const { return values.empty() ? noValue : values.front(); }

bool Setting::on() const { return value() == "yes"; }

std::string Setting::source() const {
  const std::string where = file + ":" + std::to_string(line);
  switch (origin) {
    case SettingOrigin::Default: return "default";
    case SettingOrigin::SystemFile: return "system file " + where;
    case SettingOrigin::UserFile: return "user file " + where;
    case SettingOrigin::ConfigFile: return "--config file " + where;
    case SettingOrigin::Environment: return std::string("environment ") + option->variable;
    case SettingOrigin::CommandLine: return "command line";
  }
  return "";
}

const Setting& SettingsResult::operator[](const char* name) const {
  for (const Setting& setting : settings) {
    if (std::strcmp(setting.option->name, name) == 0) return setting;
  }
  static const Setting none;
  return none;
}

SettingsResult readSettings(const ProgramSettings& program, int argc, char** argv) {
  SettingsResult result;
  for (const OptionSpec* option : program.options) {
    std::vector<std::string> values = valuesOf(*option, option->defaultValue);
    result.settings.push_back(Setting{option, std::move(values), SettingOrigin::Default, "", 0});
  }
  const bool takesFiles = !program.fileKeys.empty();
  auto mistake = [&result](std::string what) {
    result.outcome = SettingsOutcome::Mistake;
    result.mistake = std::move(what);
    return result;
  };

  // The command line first: it may answer at once, or name the settings file.
  std::vector<std::pair<const OptionSpec*, std::string>> given;
  std::string config;
  bool printAll = false;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--help" || word == "-h") {
      result.outcome = SettingsOutcome::Help;
      return result;
    }
    if (word == "--version") {
      result.outcome = SettingsOutcome::Version;
      return result;
    }
    if (takesFiles && word == "--print-settings") {
      printAll = true;
      continue;
    }
    if (word.size() < 2 || word[0] != '-') {
      result.arguments.push_back(word);
      continue;
    }
    const size_t equals = word.find('=');
    const std::string name = word.starts_with("--") ? word.substr(2, equals - 2) : "";
    const OptionSpec* option = findOption(program.options, name);
    if (!option && takesFiles && name == configOption.name) option = &configOption;
    if (!option || (option->kind == OptionKind::Switch && equals != std::string::npos)) {
      return mistake("unknown option " + word);
    }
    if (option->kind == OptionKind::Switch) {
      given.emplace_back(option, "yes");
      continue;
    }
    const char* value = equals != std::string::npos ? argv[i] + equals + 1 : (i + 1 < argc ? argv[++i] : nullptr);
    if (!value || !*value) return mistake("--" + name + " needs a value");
    if (option == &configOption) {
      config = value;
    } else {
      given.emplace_back(option, value);
    }
  }

  if (takesFiles && !readSettingsFiles(program, config, result)) {
    result.outcome = SettingsOutcome::FileMistake;
    return result;
  }
  for (Setting& setting : result.settings) {
    const OptionSpec& option = *setting.option;
    if (const char* text = option.variable ? std::getenv(option.variable) : nullptr) {
      setting = Setting{&option, valuesOf(option, text), SettingOrigin::Environment, "", 0};
    }
  }
  for (const auto& [option, value] : given) {
    Setting& setting = *findSetting(result, option);
    if (setting.origin != SettingOrigin::CommandLine || option->kind != OptionKind::List) {
      setting = Setting{option, {}, SettingOrigin::CommandLine, "", 0};
    }
    setting.values.push_back(value);
  }
  // What the files say was checked as they were read; the rest is checked
  // only where it is used, named as it was given.
  for (Setting& setting : result.settings) {
    std::string complaint;
    if ((setting.origin == SettingOrigin::Environment || setting.origin == SettingOrigin::CommandLine) &&
        !checkValues(*setting.option, setting.values, complaint)) {
      const bool fromEnvironment = setting.origin == SettingOrigin::Environment;
      return mistake((fromEnvironment ? std::string(setting.option->variable) : "--" + std::string(setting.option->name)) +
                     " " + complaint);
    }
  }
  if (printAll) result.outcome = SettingsOutcome::PrintSettings;
  return result;
}

std::string optionsUsage(const ProgramSettings& program) {
  std::string usage;
  for (const OptionSpec* option : helpedOptions(program)) {
    usage += "[" + optionWords(*option) + "]" + (option->kind == OptionKind::List ? "... " : " ");
  }
  if (!program.fileKeys.empty()) usage += "[--print-settings] ";
  return usage + "[--help] [--version]";
}

void printOptionsHelp(std::FILE* stream, const ProgramSettings& program) {
  const std::vector<const OptionSpec*> options = helpedOptions(program);
  int width = 0;
  for (const OptionSpec* option : options) width = std::max(width, static_cast<int>(optionWords(*option).size()));
  auto line = [&](const std::string& left, const std::string& text) {
    std::fprintf(stream, "  %-*s  %s\n", width, left.c_str(), text.c_str());
  };
  for (const OptionSpec* option : options) {
    std::string left = optionWords(*option);
    const std::string help = option->help;
    for (size_t start = 0; start < help.size();) {
      const size_t end = std::min(help.find('\n', start), help.size());
      line(left, help.substr(start, end - start));
      left.clear();
      start = end + 1;
    }
    std::string names;
    if (option->variable) names = std::string("environment ") + option->variable;
    if (findOption(program.fileKeys, option->name) == option) {  // a program's own switch is no key
      names += std::string(names.empty() ? "" : ", ") + "settings key " + option->name;
    }
    if (option->kind == OptionKind::List) names += "; again for more, a comma list elsewhere";
    if (!names.empty()) line("", "(" + names + ")");
  }
  if (!program.fileKeys.empty()) line("--print-settings", "print every setting, its value and where it came from");
  line("--help", "this text");
  line("--version", "the version");
}

void printSettings(std::FILE* stream, const SettingsResult& result) {
  for (const SettingsFile& file : result.files) {
    std::fprintf(stream, "# %s: %s\n", file.path.c_str(), file.read ? "read" : "not there");
  }
  std::vector<std::string> lines;
  size_t width = 0;
  for (const Setting& setting : result.settings) {
    std::string line = std::string(setting.option->name) + " =";
    for (size_t i = 0; i < setting.values.size(); ++i) line += (i == 0 ? " " : ",") + setting.values[i];
    width = std::max(width, line.size());
    lines.push_back(std::move(line));
  }
  for (size_t i = 0; i < lines.size(); ++i) {
    std::fprintf(stream, "%-*s  # %s\n", static_cast<int>(width), lines[i].c_str(),
                 result.settings[i].source().c_str());
  }
}

const char* tessaroVersion() { return TESSARO_VERSION; }

void storeSetting(const Setting& setting, std::string& field) { field = setting.value(); }

void storeSetting(const Setting& setting, bool& field) { field = setting.on(); }

void storeSetting(const Setting& setting, int32_t& field) {
  if (!setting.value().empty()) field = static_cast<int32_t>(std::strtol(setting.value().c_str(), nullptr, 10));
}

void storeSetting(const Setting& setting, uint64_t& field) {
  if (!setting.value().empty()) field = std::strtoull(setting.value().c_str(), nullptr, 10);
}

void storeSetting(const Setting& setting, double& field) {
  if (!setting.value().empty()) field = std::strtod(setting.value().c_str(), nullptr);
}

void storeSetting(const Setting& setting, std::vector<std::string>& field) { field = setting.values; }

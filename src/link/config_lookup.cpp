#include "link/config_lookup.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "link/config_file.h"

// The build passes where the program is installed; these are the GNU defaults.
#ifndef VQLISP_DATADIR
#define VQLISP_DATADIR "/usr/local/share"
#endif
#ifndef VQLISP_DATADIR_FROM_BINDIR
#define VQLISP_DATADIR_FROM_BINDIR "../share"
#endif

namespace vql {

namespace {

namespace fs = std::filesystem;

// dir/vql-isp/CONFIG.VQL, without "." and ".." steps, so that the messages show the
// path a user would type.
std::string InFolder(const fs::path& dir) {
  return (dir / kConfigFolder / kConfigFileName).lexically_normal().string();
}

}  // namespace

std::vector<std::string> ConfigPlaces(const ConfigEnvironment& env) {
  std::vector<std::string> places;
  const auto add = [&places](std::string place) {
    if (std::find(places.begin(), places.end(), place) == places.end()) {
      places.push_back(std::move(place));
    }
  };
  add(env.currentDir.empty()
          ? std::string(kConfigFileName)
          : (fs::path(env.currentDir) / kConfigFileName).lexically_normal().string());
  // A relative XDG_CONFIG_HOME is invalid by the base directory rules and ignored.
  if (env.xdgConfigHome.starts_with('/')) {
    add(InFolder(env.xdgConfigHome));
  } else if (!env.home.empty()) {
    add(InFolder(fs::path(env.home) / ".config"));
  }
  add(InFolder(kSystemConfigDir));
  if (!env.exeDir.empty()) add(InFolder(fs::path(env.exeDir) / env.dataDirFromExe));
  if (!env.dataDir.empty()) add(InFolder(env.dataDir));
  return places;
}

ConfigLookup FindConfigFile(const ConfigEnvironment& env) {
  ConfigLookup lookup;
  lookup.places = ConfigPlaces(env);
  for (const std::string& place : lookup.places) {
    if (env.fileExists && env.fileExists(place)) {
      lookup.path = place;
      break;
    }
  }
  return lookup;
}

ConfigLookup NamedConfigFile(std::string_view name) {
  std::string path = ConfigFilePath(name);
  return {path, {path}};
}

std::string NoConfigFileText(const std::vector<std::string>& places) {
  std::string text = "No configuration file: " + std::string(kConfigFileName) +
                     " is in none of the places where it is looked for, in this order:";
  for (const std::string& place : places) text += "\n  " + place;
  text += "\nPut it in one of them and start the program again.";
  return text;
}

std::string InstalledDefaultConfig() { return InFolder(VQLISP_DATADIR); }

std::string InstalledDefaultBesideProgram() {
  return (fs::path(VQLISP_DATADIR_FROM_BINDIR) / kConfigFolder / kConfigFileName).string();
}

ConfigEnvironment SystemConfigEnvironment(
    const std::function<const char*(const char* name)>& getenv) {
  const auto variable = [&getenv](const char* name) {
    const char* value = getenv(name);
    return std::string(value != nullptr ? value : "");
  };
  ConfigEnvironment env;
  std::error_code error;
  env.currentDir = fs::current_path(error).string();
  env.xdgConfigHome = variable("XDG_CONFIG_HOME");
  env.home = variable("HOME");
  const fs::path exe = fs::read_symlink("/proc/self/exe", error);
  if (!error) env.exeDir = exe.parent_path().string();
  env.dataDirFromExe = VQLISP_DATADIR_FROM_BINDIR;
  env.dataDir = VQLISP_DATADIR;
  env.fileExists = [](const std::string& path) {
    std::error_code statError;
    const fs::file_status status = fs::status(path, statError);
    return fs::exists(status) && !fs::is_directory(status);
  };
  return env;
}

}  // namespace vql

// Where the configuration file is found when no file is named on the command line:
// the current directory first, then the user's configuration folder, then the
// system's, then the default installed with the program. The first file that exists
// is read. The lookup itself is a pure function of what it is given about the
// system, so that a test can hand it a home and a data directory of its own.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace vql {

inline constexpr std::string_view kConfigFileName = "CONFIG.VQL";
// The folder below the configuration and data directories that holds the file.
inline constexpr std::string_view kConfigFolder = "vql-isp";
inline constexpr std::string_view kSystemConfigDir = "/etc";

// What the lookup sees of the system.
struct ConfigEnvironment {
  std::string currentDir;     // absolute; empty: unknown, the name is then used as it is
  std::string xdgConfigHome;  // $XDG_CONFIG_HOME; empty or relative counts as unset
  std::string home;           // $HOME, for ~/.config when XDG_CONFIG_HOME is unset
  std::string exeDir;         // the folder of the running program; empty: unknown
  std::string dataDirFromExe; // the data directory relative to exeDir, e.g. "../share"
  std::string dataDir;        // the data directory the program was built for
  std::function<bool(const std::string& path)> fileExists;
};

// Every place the file is looked for, in order, each once: the current directory,
// $XDG_CONFIG_HOME/vql-isp (or ~/.config/vql-isp), /etc/vql-isp, then the installed
// default, found relative to the program (so that a copy installed into a staging
// folder finds its own) and in the data directory it was built for.
std::vector<std::string> ConfigPlaces(const ConfigEnvironment& env);

// The configuration that start-up reads: a file, or, when there is none, the places
// where it was looked for.
struct ConfigLookup {
  std::string path;                 // the file to read; empty when none exists
  std::vector<std::string> places;  // where it was looked for
};

// The first of ConfigPlaces that exists, by env.fileExists.
ConfigLookup FindConfigFile(const ConfigEnvironment& env);

// The one file named (--config), relative to the current directory. Throws FileError
// when the current directory cannot be found out.
ConfigLookup NamedConfigFile(std::string_view name);

// The message for an empty lookup: every place looked at, one a line, in order.
std::string NoConfigFileText(const std::vector<std::string>& places);

// Where the installed default lives, for the manuals: in the data directory compiled
// in (CMAKE_INSTALL_FULL_DATADIR), and relative to the program's folder
// ("../share/vql-isp/CONFIG.VQL").
std::string InstalledDefaultConfig();
std::string InstalledDefaultBesideProgram();

// The running program's view: XDG_CONFIG_HOME and HOME from getenv, the current
// directory, the program's folder from /proc/self/exe, the compiled-in data
// directory, and the file system's answer to whether a file exists there.
ConfigEnvironment SystemConfigEnvironment(
    const std::function<const char*(const char* name)>& getenv);

}  // namespace vql

#include "link/config_lookup.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "support/temp_dir.h"

namespace vql {
namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

// A machine: where the program runs, from which folder, and for which user. Built in
// one piece, as the table below gives it.
ConfigEnvironment Env(std::string currentDir, std::string xdgConfigHome, std::string home,
                      std::string exeDir) {
  return {.currentDir = std::move(currentDir),
          .xdgConfigHome = std::move(xdgConfigHome),
          .home = std::move(home),
          .exeDir = std::move(exeDir),
          .dataDirFromExe = "../share",
          .dataDir = "/usr/share",
          .fileExists = {}};
}

// The usual machine, whose files are the names in present, nothing else.
ConfigEnvironment Machine(const std::set<std::string>& present) {
  ConfigEnvironment env = Env("/work/board", "", "/home/op", "/opt/vql/bin");
  env.fileExists = [present](const std::string& path) { return present.contains(path); };
  return env;
}

TEST(ConfigPlaces, CurrentDirectoryThenUserThenSystemThenTheInstalledDefault) {
  struct Case {
    const char* name;
    ConfigEnvironment env;
    Strings places;
  };
  const Case cases[] = {
      {"XDG_CONFIG_HOME unset: ~/.config", Env("/work/board", "", "/home/op", "/opt/vql/bin"),
       {"/work/board/CONFIG.VQL", "/home/op/.config/vql-isp/CONFIG.VQL",
        "/etc/vql-isp/CONFIG.VQL", "/opt/vql/share/vql-isp/CONFIG.VQL",
        "/usr/share/vql-isp/CONFIG.VQL"}},
      {"XDG_CONFIG_HOME set", Env("/work/board", "/cfg/", "/home/op", "/opt/vql/bin"),
       {"/work/board/CONFIG.VQL", "/cfg/vql-isp/CONFIG.VQL", "/etc/vql-isp/CONFIG.VQL",
        "/opt/vql/share/vql-isp/CONFIG.VQL", "/usr/share/vql-isp/CONFIG.VQL"}},
      {"a relative XDG_CONFIG_HOME is ignored",
       Env("/work/board", "cfg", "/home/op", "/opt/vql/bin"),
       {"/work/board/CONFIG.VQL", "/home/op/.config/vql-isp/CONFIG.VQL",
        "/etc/vql-isp/CONFIG.VQL", "/opt/vql/share/vql-isp/CONFIG.VQL",
        "/usr/share/vql-isp/CONFIG.VQL"}},
      {"no home and no XDG_CONFIG_HOME: no user place",
       Env("/work/board", "", "", "/opt/vql/bin"),
       {"/work/board/CONFIG.VQL", "/etc/vql-isp/CONFIG.VQL",
        "/opt/vql/share/vql-isp/CONFIG.VQL", "/usr/share/vql-isp/CONFIG.VQL"}},
      {"installed where it was built for: the default once",
       Env("/work/board", "", "/home/op", "/usr/bin"),
       {"/work/board/CONFIG.VQL", "/home/op/.config/vql-isp/CONFIG.VQL",
        "/etc/vql-isp/CONFIG.VQL", "/usr/share/vql-isp/CONFIG.VQL"}},
      {"the program's folder unknown", Env("/work/board", "", "/home/op", ""),
       {"/work/board/CONFIG.VQL", "/home/op/.config/vql-isp/CONFIG.VQL",
        "/etc/vql-isp/CONFIG.VQL", "/usr/share/vql-isp/CONFIG.VQL"}},
      {"started in the root directory", Env("/", "", "/home/op", "/opt/vql/bin"),
       {"/CONFIG.VQL", "/home/op/.config/vql-isp/CONFIG.VQL", "/etc/vql-isp/CONFIG.VQL",
        "/opt/vql/share/vql-isp/CONFIG.VQL", "/usr/share/vql-isp/CONFIG.VQL"}},
  };
  for (const Case& c : cases) EXPECT_EQ(ConfigPlaces(c.env), c.places) << c.name;
}

TEST(FindConfigFile, TheFirstPlaceThatHoldsTheFileWins) {
  const std::string cwd = "/work/board/CONFIG.VQL";
  const std::string user = "/home/op/.config/vql-isp/CONFIG.VQL";
  const std::string etc = "/etc/vql-isp/CONFIG.VQL";
  const std::string beside = "/opt/vql/share/vql-isp/CONFIG.VQL";
  const std::string data = "/usr/share/vql-isp/CONFIG.VQL";
  struct Case {
    std::set<std::string> present;
    std::string found;
  };
  const Case cases[] = {
      {{cwd, user, etc, beside, data}, cwd}, {{user, etc, beside, data}, user},
      {{etc, beside, data}, etc},            {{beside, data}, beside},
      {{data}, data},                        {{cwd, data}, cwd},
      {{}, ""},
  };
  for (const Case& c : cases) {
    const ConfigLookup lookup = FindConfigFile(Machine(c.present));
    EXPECT_EQ(lookup.path, c.found) << c.present.size() << " files";
    EXPECT_EQ(lookup.places, (Strings{cwd, user, etc, beside, data}));
  }
}

// The real file system, in a scratch folder that stands for the current directory,
// the home and the installed tree; anything outside it counts as missing, so that
// the machine's own /etc cannot get in the way.
TEST(FindConfigFile, OnDiskTheUserFileBeatsTheInstalledDefaultAndTheCurrentDirectoryBoth) {
  testing::TempDir dir;
  const fs::path root = dir.Path();
  ConfigEnvironment env = SystemConfigEnvironment([](const char*) { return nullptr; });
  const auto onDisk = env.fileExists;
  env.fileExists = [&](const std::string& path) {
    return path.starts_with(root.string()) && onDisk(path);
  };
  env.currentDir = (root / "work").string();
  env.home = (root / "home").string();
  env.exeDir = (root / "stage/usr/bin").string();
  env.dataDirFromExe = "../share";
  env.dataDir = "/usr/share";
  fs::create_directories(root / "work");
  // A folder of that name is no configuration file.
  fs::create_directories(root / "home/.config/vql-isp/CONFIG.VQL");

  const std::string installed = dir.Write("stage/usr/share/vql-isp/CONFIG.VQL", "[2710]");
  EXPECT_EQ(FindConfigFile(env).path, installed);
  fs::remove(root / "home/.config/vql-isp/CONFIG.VQL");
  const std::string user = dir.Write("home/.config/vql-isp/CONFIG.VQL", "[0064]");
  EXPECT_EQ(FindConfigFile(env).path, user);
  const std::string here = dir.Write("work/CONFIG.VQL", "[03E8]");
  EXPECT_EQ(FindConfigFile(env).path, here);
  fs::remove_all(root / "stage");
  fs::remove(here);
  fs::remove(user);
  EXPECT_EQ(FindConfigFile(env).path, "");
}

TEST(NoConfigFileText, ListsEveryPlaceInTheOrderTheyWereLookedAt) {
  EXPECT_EQ(NoConfigFileText({"/w/CONFIG.VQL", "/home/op/.config/vql-isp/CONFIG.VQL",
                              "/etc/vql-isp/CONFIG.VQL", "/usr/share/vql-isp/CONFIG.VQL"}),
            "No configuration file: CONFIG.VQL is in none of the places where it is looked "
            "for, in this order:\n"
            "  /w/CONFIG.VQL\n"
            "  /home/op/.config/vql-isp/CONFIG.VQL\n"
            "  /etc/vql-isp/CONFIG.VQL\n"
            "  /usr/share/vql-isp/CONFIG.VQL\n"
            "Put it in one of them and start the program again.");
}

TEST(SystemConfigEnvironment, TakesTheUserFoldersFromTheEnvironmentAndKnowsTheProgram) {
  const ConfigEnvironment env = SystemConfigEnvironment([](const char* name) -> const char* {
    const std::string_view n(name);
    return n == "XDG_CONFIG_HOME" ? "/x/cfg" : n == "HOME" ? "/x/home" : nullptr;
  });
  EXPECT_EQ(env.xdgConfigHome, "/x/cfg");
  EXPECT_EQ(env.home, "/x/home");
  EXPECT_EQ(env.currentDir, fs::current_path().string());
  // The test program's own folder.
  EXPECT_EQ(env.exeDir, fs::read_symlink("/proc/self/exe").parent_path().string());
  EXPECT_EQ(ConfigPlaces(env).back(), InstalledDefaultConfig());
}

}  // namespace
}  // namespace vql

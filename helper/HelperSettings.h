#pragma once

#include <string>
#include <vector>

#include "protocol/HelperNames.h"

namespace quillmere {

// Every program and place the daemon relies on, with the values it runs with. Tests point them
// at stand-ins; nothing else changes them.
struct HelperSettings {
  // Removal: systemd stops and disables both units; the daemon may be stopped while it waits.
  std::string systemctlPath = "/bin/systemctl";
  std::vector<std::string> removalArguments = {"disable", "--now", std::string{helperSocketUnit},
                                               std::string{helperServiceUnit}};
  // The script runner's shell and the PATH its scripts get.
  std::string bashPath = "/bin/bash";
  std::string scriptSearchPath = "/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin";
  // Where script files go; empty means $TMPDIR (read on each call), else /tmp.
  std::string scriptDirectory = {};
  // Tool discovery: `which` with a search path of its own, then fixed places for wg-quick.
  std::string whichPath = "/usr/bin/which";
  std::string whichSearchPath =
      "/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin:/opt/local/bin:/sw/bin";
  std::vector<std::string> wireGuardSearchPaths = {
      "/opt/homebrew/bin/wg-quick", "/usr/local/bin/wg-quick", "/usr/bin/wg-quick",
      "/opt/local/bin/wg-quick",    "/sw/bin/wg-quick",
  };
};

}  // namespace quillmere

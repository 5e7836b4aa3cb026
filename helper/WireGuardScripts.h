#pragma once

#include <string>
#include <string_view>

namespace quillmere {

// The interface name wg-quick derives from a configuration path: its last path component with
// every ".conf" taken out, wherever it stands.
std::string wireGuardInterfaceName(std::string_view configPath);

// Makes `value` safe between double quotes in a bash script, whatever locale bash reads it in:
// a backslash goes before each character that keeps a meaning there (\ " $ `), and each run of
// bytes outside ASCII is written as $'\xHH...' between closed quotes, so the script holds ASCII
// only. Anything else, a line feed included, is literal inside double quotes already; an ASCII
// value comes back unchanged but for those backslashes.
std::string escapeForDoubleQuotes(std::string_view value);

// The script that clears stale WireGuard state and brings the tunnel up. `wgQuick` is the
// wg-quick path as found; the configuration path and interface name go in escaped.
std::string wireGuardUpScript(std::string_view wgQuick, std::string_view configPath);

// The script that takes the tunnel down and clears its state.
std::string wireGuardDownScript(std::string_view wgQuick, std::string_view configPath);

}  // namespace quillmere

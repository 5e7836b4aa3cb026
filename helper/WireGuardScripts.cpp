#include "helper/WireGuardScripts.h"

#include "platform/HexText.h"

namespace quillmere {
namespace {

constexpr std::string_view confSuffix = ".conf";

// @W@ is wg-quick's path, @C@ the configuration path, @I@ the interface name.
constexpr std::string_view upTemplate = R"(# Cleanup any existing interface
NAME_FILE="/var/run/wireguard/@I@.name"
if [ -f "$NAME_FILE" ]; then
  ACTUAL_INTERFACE=$(cat "$NAME_FILE")
  @W@ down "@C@" 2>/dev/null || @W@ down "@I@" 2>/dev/null || true
  rm -f "/var/run/wireguard/$ACTUAL_INTERFACE.sock" 2>/dev/null || true
  rm -f "$NAME_FILE" 2>/dev/null || true
else
  @W@ down "@C@" 2>/dev/null || true
fi
pkill -9 wireguard-go 2>/dev/null || true
rm -f /var/run/wireguard/*.sock 2>/dev/null || true
rm -f /var/run/wireguard/*.name 2>/dev/null || true
rm -rf /var/run/wireguard/* 2>/dev/null || true

# Connect
@W@ up "@C@")";

constexpr std::string_view downTemplate = R"(@W@ down "@C@" 2>/dev/null || true
pkill -9 wireguard-go 2>/dev/null || true
rm -f /var/run/wireguard/*.sock 2>/dev/null || true
rm -f /var/run/wireguard/*.name 2>/dev/null || true)";

// Replaces the placeholders in one pass, so an inserted value is never scanned again.
std::string fillTemplate(std::string_view script, std::string_view w, std::string_view c,
                         std::string_view i) {
  std::string filled;
  filled.reserve(script.size() + 4 * (w.size() + c.size() + i.size()));
  while (!script.empty()) {
    if (script.starts_with("@W@")) {
      filled += w;
    } else if (script.starts_with("@C@")) {
      filled += c;
    } else if (script.starts_with("@I@")) {
      filled += i;
    } else {
      filled += script.front();
      script.remove_prefix(1);
      continue;
    }
    script.remove_prefix(3);
  }
  return filled;
}

// The last component, a trailing "/" ignored; a path of slashes alone is "/".
std::string_view lastPathComponent(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') {
    path.remove_suffix(1);
  }
  if (path == "/") {
    return path;
  }
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string wireGuardInterfaceName(std::string_view configPath) {
  const std::string_view component = lastPathComponent(configPath);
  std::string name;
  name.reserve(component.size());
  for (std::size_t at = 0; at < component.size();) {
    if (component.substr(at).starts_with(confSuffix)) {
      at += confSuffix.size();
    } else {
      name += component[at++];
    }
  }
  return name;
}

std::string escapeForDoubleQuotes(std::string_view value) {
  std::string escaped;
  escaped.reserve(value.size());
  bool inByteRun = false;
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80) {
      // Outside ASCII, bash reads the script in its locale: under GBK, Big5 or Shift_JIS such a
      // byte can start a character that swallows the ASCII byte after it (an inserted backslash
      // among them). So these bytes never appear as themselves: the quotes close and $'\xHH'
      // spells them, which every locale reads the same way.
      escaped += inByteRun ? "" : "\"$'";
      platform::appendByteEscape(escaped, byte);
      inByteRun = true;
      continue;
    }
    if (inByteRun) {
      escaped += "'\"";
      inByteRun = false;
    }
    if (c == '\\' || c == '"' || c == '$' || c == '`') {
      escaped += '\\';
    }
    escaped += c;
  }
  if (inByteRun) escaped += "'\"";
  return escaped;
}

std::string wireGuardUpScript(std::string_view wgQuick, std::string_view configPath) {
  return fillTemplate(upTemplate, wgQuick, escapeForDoubleQuotes(configPath),
                      escapeForDoubleQuotes(wireGuardInterfaceName(configPath)));
}

std::string wireGuardDownScript(std::string_view wgQuick, std::string_view configPath) {
  return fillTemplate(downTemplate, wgQuick, escapeForDoubleQuotes(configPath), {});
}

}  // namespace quillmere

#include "protocol/MessageCodec.h"

#include <optional>
#include <set>
#include <string>
#include <vector>

namespace quillmere::varlink {
namespace {

using nlohmann::json;

// Counts bracket depth outside strings, so hostile nesting is refused in one linear pass
// instead of being handed to the parser.
bool nestsTooDeeply(std::string_view text) {
  int depth = 0;
  bool inString = false;
  bool escaped = false;
  for (const char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '{' || c == '[') {
      if (++depth > maxNestingDepth) {
        return true;
      }
    } else if (c == '}' || c == ']') {
      --depth;
    }
  }
  return false;
}

// Parsers settle a member named twice in different ways (first wins, last wins), so a message
// could mean one thing to whoever checked it and another here: such a message is refused.
class DuplicateMemberFinder {
 public:
  bool operator()(json::parse_event_t event, const json& parsed) {
    switch (event) {
      case json::parse_event_t::object_start:
        openObjects_.emplace_back();
        break;
      case json::parse_event_t::object_end:
        openObjects_.pop_back();
        break;
      case json::parse_event_t::key:
        if (!openObjects_.back().insert(parsed.get<std::string>()).second && !duplicate_) {
          duplicate_ = parsed.get<std::string>();
        }
        break;
      default:
        break;
    }
    return true;
  }

  const std::optional<std::string>& duplicate() const { return duplicate_; }

 private:
  std::vector<std::set<std::string>> openObjects_;
  std::optional<std::string> duplicate_;
};

std::string duplicateMemberReason(const std::string& name) {
  constexpr std::size_t shownLength = 64;
  return "duplicate member \"" +
         (name.size() > shownLength ? name.substr(0, shownLength) + "..." : name) + "\"";
}

Decoded<json> parseObject(std::string_view text) {
  if (nestsTooDeeply(text)) {
    return MalformedMessage{"JSON nested too deeply"};
  }
  DuplicateMemberFinder duplicates;
  json document = json::parse(
      text,
      [&duplicates](int, json::parse_event_t event, json& parsed) {
        return duplicates(event, parsed);
      },
      /*allow_exceptions=*/false);
  if (document.is_discarded()) {
    return MalformedMessage{"not valid JSON"};
  }
  if (const auto& name = duplicates.duplicate()) {
    return MalformedMessage{duplicateMemberReason(*name)};
  }
  if (!document.is_object()) {
    return MalformedMessage{"not a JSON object"};
  }
  return document;
}

// Reads an optional boolean flag; a member of any other type makes the message malformed.
bool readFlag(const json& document, const char* name, bool& flag) {
  const auto member = document.find(name);
  if (member == document.end() || member->is_null()) {
    flag = false;
    return true;
  }
  if (!member->is_boolean()) {
    return false;
  }
  flag = member->get<bool>();
  return true;
}

// Takes the "parameters" member out of the document (moved, not copied: it may hold megabytes).
bool takeParameters(json& document, json& parameters) {
  const auto member = document.find("parameters");
  if (member == document.end() || member->is_null()) {
    parameters = json::object();
    return true;
  }
  if (!member->is_object()) {
    return false;
  }
  parameters = std::move(*member);
  return true;
}

std::string dump(const json& document) {
  return document.dump(-1, ' ', /*ensure_ascii=*/false, json::error_handler_t::replace);
}

json textOrNull(const std::optional<std::string>& text) {
  return text ? json(*text) : json(nullptr);
}

std::optional<std::string> optionalText(const json& value) {
  return value.is_string() ? std::optional<std::string>{value.get<std::string>()} : std::nullopt;
}

}  // namespace

std::string encodeCall(const Call& call) {
  json document{{"method", call.method}};
  if (!call.parameters.empty()) {
    document["parameters"] = call.parameters;
  }
  if (call.oneway) {
    document["oneway"] = true;
  }
  if (call.more) {
    document["more"] = true;
  }
  if (call.upgrade) {
    document["upgrade"] = true;
  }
  return dump(document);
}

// A reply may carry a script's whole output, hundreds of MiB: its parameters are written straight
// into one buffer sized up front, never copied into an envelope or grown by doubling.
std::string encodeReply(const Reply& reply) {
  std::size_t textBytes = 0;
  for (const auto& value : reply.parameters) {
    if (value.is_string()) textBytes += value.get_ref<const std::string&>().size();
  }
  std::string text;
  text.reserve(textBytes + 256);
  // Members in the order a JSON object document would have them: sorted by name.
  text += '{';
  if (reply.continues) text += "\"continues\":true,";
  if (reply.error) text += "\"error\":" + dump(json(*reply.error)) + ",";
  text += "\"parameters\":";
  nlohmann::detail::serializer<json> serializer{
      nlohmann::detail::output_adapter<char, std::string>(text), ' ',
      json::error_handler_t::replace};
  serializer.dump(reply.parameters, /*pretty_print=*/false, /*ensure_ascii=*/false, 0);
  text += '}';
  return text;
}

Decoded<Call> decodeCall(std::string_view text) {
  auto parsed = parseObject(text);
  if (auto* malformed = std::get_if<MalformedMessage>(&parsed)) {
    return *malformed;
  }
  json& document = std::get<json>(parsed);
  Call call;
  const auto method = document.find("method");
  if (method == document.end() || !method->is_string()) {
    return MalformedMessage{"no method name"};
  }
  call.method = method->get<std::string>();
  if (!takeParameters(document, call.parameters)) {
    return MalformedMessage{"parameters are not an object"};
  }
  if (!readFlag(document, "oneway", call.oneway) || !readFlag(document, "more", call.more) ||
      !readFlag(document, "upgrade", call.upgrade)) {
    return MalformedMessage{"a call flag is not a boolean"};
  }
  return call;
}

Decoded<Reply> decodeReply(std::string_view text) {
  auto parsed = parseObject(text);
  if (auto* malformed = std::get_if<MalformedMessage>(&parsed)) {
    return *malformed;
  }
  json& document = std::get<json>(parsed);
  Reply reply;
  const auto error = document.find("error");
  if (error != document.end() && !error->is_null()) {
    if (!error->is_string()) {
      return MalformedMessage{"error name is not a string"};
    }
    reply.error = error->get<std::string>();
  }
  if (!takeParameters(document, reply.parameters)) {
    return MalformedMessage{"parameters are not an object"};
  }
  if (!readFlag(document, "continues", reply.continues)) {
    return MalformedMessage{"continues is not a boolean"};
  }
  return reply;
}

Reply errorReply(std::string_view name, nlohmann::json parameters) {
  return Reply{std::string{name}, std::move(parameters), false};
}

nlohmann::json commandResultParameters(const CommandResult& result) {
  return json{{"success", result.success},
              {"output", textOrNull(result.output)},
              {"error", textOrNull(result.error)}};
}

std::optional<CommandResult> commandResultFromParameters(const nlohmann::json& parameters) {
  const auto success = parameters.find("success");
  if (success == parameters.end() || !success->is_boolean()) {
    return std::nullopt;
  }
  CommandResult result{success->get<bool>(), std::nullopt, std::nullopt};
  for (auto [name, text] : {std::pair{"output", &result.output}, {"error", &result.error}}) {
    const auto member = parameters.find(name);
    if (member != parameters.end()) {
      if (!member->is_null() && !member->is_string()) {
        return std::nullopt;
      }
      *text = optionalText(*member);
    }
  }
  return result;
}

std::string textParameter(const nlohmann::json& parameters, std::string_view name) {
  const auto member = parameters.find(name);
  if (member == parameters.end() || !member->is_string()) {
    return {};
  }
  return member->get<std::string>();
}

}  // namespace quillmere::varlink

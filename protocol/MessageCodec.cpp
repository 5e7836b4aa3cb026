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

// Reads a call from parse events in one pass. Each open object keeps its own member names, so
// closing one costs nothing; only the method, the flags and the parameters are kept, and any
// other value is dropped as soon as it is read. Reading stops at the first value past the limit
// or nested too deeply, so neither the work nor the memory grows with what follows.
class CallReader {
 public:
  using string_t = json::string_t;

  bool null() { return scalar(json(nullptr)); }
  bool boolean(bool flag) { return scalar(json(flag)); }
  bool number_integer(json::number_integer_t number) { return scalar(json(number)); }
  bool number_unsigned(json::number_unsigned_t number) { return scalar(json(number)); }
  bool number_float(json::number_float_t number, const string_t&) { return scalar(json(number)); }
  bool string(string_t& text) { return scalar(json(std::move(text))); }
  bool binary(json::binary_t&) { return false; }  // JSON text holds none
  bool start_object(std::size_t) { return open(json::value_t::object); }
  bool start_array(std::size_t) { return open(json::value_t::array); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
    return false;
  }

  bool key(string_t& name) {
    if (!refusal_ && !containers_.back().memberNames.insert(name).second) {
      refusal_ = duplicateMemberReason(name);
    }
    key_ = std::move(name);
    return true;
  }

  // The call, or why the text is not one; `parsed` tells whether reading reached the end.
  Decoded<Call> result(bool parsed) {
    if (stopped_) {
      return MalformedMessage{*refusal_};
    }
    if (!parsed) {
      return MalformedMessage{"not valid JSON"};
    }
    if (refusal_) {
      return MalformedMessage{*refusal_};
    }
    if (!isObject_) {
      return MalformedMessage{"not a JSON object"};
    }
    if (!hasMethod_) {
      return MalformedMessage{"no method name"};
    }
    if (badParameters_) {
      return MalformedMessage{"parameters are not an object"};
    }
    if (badFlag_) {
      return MalformedMessage{"a call flag is not a boolean"};
    }
    return std::move(call_);
  }

 private:
  // What an open array or object is to the call.
  enum class Role {
    Document,    // the call itself
    Parameters,  // its "parameters" member
    Kept,        // a parameter member, or inside one
    Dropped,     // of no use to the call
  };

  struct Container {
    Role role;
    json* kept = nullptr;  // where its values go when Role::Kept
    std::set<std::string> memberNames = {};
  };

  bool scalar(json&& read) {
    if (!count()) {
      return false;
    }
    place(read.type(), std::move(read));
    return true;
  }

  bool open(json::value_t type) {
    if (!count()) {
      return false;
    }
    if (containers_.size() == static_cast<std::size_t>(maxNestingDepth)) {
      return stop("JSON nested too deeply");
    }
    containers_.push_back(place(type, json()));
    return true;
  }

  bool close() {
    containers_.pop_back();
    return true;
  }

  bool count() {
    return ++values_ <= maxCallValues ||
           stop("more than " + std::to_string(maxCallValues) + " JSON values");
  }

  // Ends reading; a refusal found earlier stays the reason.
  bool stop(std::string reason) {
    if (!refusal_) {
      refusal_ = std::move(reason);
    }
    stopped_ = true;
    return false;
  }

  // Puts the value now read where the call keeps it, if anywhere. `read` holds a scalar; an
  // array or object is made only when it is kept. The answer describes the container the value
  // opens, if it is one.
  Container place(json::value_t type, json&& read) {
    if (containers_.empty()) {
      isObject_ = type == json::value_t::object;
      return {isObject_ ? Role::Document : Role::Dropped};
    }
    const Container& parent = containers_.back();
    if (refusal_ || parent.role == Role::Dropped) {
      return {Role::Dropped};
    }
    if (parent.role == Role::Document) {
      return {takeCallMember(type, std::move(read))};
    }
    json& into = parent.role == Role::Parameters ? call_.parameters : *parent.kept;
    json& stored = into.is_object() ? into[key_] : into.emplace_back();
    const bool structured = type == json::value_t::object || type == json::value_t::array;
    stored = structured ? json(type) : std::move(read);
    return {structured ? Role::Kept : Role::Dropped, &stored};
  }

  Role takeCallMember(json::value_t type, json&& read) {
    if (key_ == "method") {
      hasMethod_ = type == json::value_t::string;
      if (hasMethod_) {
        call_.method = std::move(read.get_ref<std::string&>());
      }
    } else if (key_ == "parameters") {
      badParameters_ = type != json::value_t::null && type != json::value_t::object;
      if (type == json::value_t::object) {
        return Role::Parameters;
      }
    } else if (bool* flag = flagNamed(key_)) {
      badFlag_ = badFlag_ || (type != json::value_t::null && type != json::value_t::boolean);
      *flag = type == json::value_t::boolean && read.get<bool>();
    }
    return Role::Dropped;
  }

  bool* flagNamed(std::string_view name) {
    if (name == "oneway") return &call_.oneway;
    if (name == "more") return &call_.more;
    if (name == "upgrade") return &call_.upgrade;
    return nullptr;
  }

  Call call_;
  std::vector<Container> containers_;
  std::string key_;  // the name of the member whose value comes next
  std::size_t values_ = 0;
  std::optional<std::string> refusal_;
  bool stopped_ = false;
  bool isObject_ = false;
  bool hasMethod_ = false;
  bool badParameters_ = false;
  bool badFlag_ = false;
};

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
  CallReader reader;
  const bool parsed = json::sax_parse(text.begin(), text.end(), &reader);
  return reader.result(parsed);
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

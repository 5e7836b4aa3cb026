#include "protocol/MessageCodec.h"

#include <algorithm>
#include <optional>
#include <set>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "protocol/JsonText.h"

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

json textOrNull(std::optional<std::string>&& text) {
  return text ? json(std::move(*text)) : json(nullptr);
}

// Reads the texts out of `parameters`: copied from a const object, moved out of any other.
template <typename Parameters>
std::optional<CommandResult> readCommandResult(Parameters& parameters) {
  const auto success = parameters.find("success");
  if (success == parameters.end() || !success->is_boolean()) {
    return std::nullopt;
  }
  CommandResult result{success->template get<bool>(), std::nullopt, std::nullopt};
  for (auto [name, text] : {std::pair{"output", &result.output}, {"error", &result.error}}) {
    const auto member = parameters.find(name);
    if (member == parameters.end() || member->is_null()) {
      continue;
    }
    if (!member->is_string()) {
      return std::nullopt;
    }
    if constexpr (std::is_const_v<Parameters>) {
      *text = member->template get<std::string>();
    } else {
      *text = std::move(member->template get_ref<std::string&>());
    }
  }
  return result;
}

// Gathers a reply's text into pieces of about `pieceBytes` and hands each to the sink, so that a
// string of hundreds of MiB never exists twice.
class PieceWriter {
 public:
  PieceWriter(const EncodedReply::Sink& sink, std::size_t pieceBytes, std::size_t expectedBytes)
      : sink_(sink), pieceBytes_(pieceBytes) {
    buffer_.reserve(expectedBytes < pieceBytes ? expectedBytes : pieceBytes);
  }

  void raw(std::string_view text) {
    buffer_ += text;
    if (buffer_.size() >= pieceBytes_) flush(false);
  }

  void string(std::string_view text) {
    buffer_ += '"';
    for (std::size_t position = 0; position < text.size() && !stopped_;) {
      position = appendEscaped(buffer_, text, position, pieceBytes_);
      if (buffer_.size() >= pieceBytes_) flush(false);
    }
    buffer_ += '"';
  }

  void value(const json& value) {
    if (value.is_string()) {
      string(value.get_ref<const std::string&>());
    } else {
      raw(dump(value));
    }
  }

  bool finish() { return flush(true); }
  std::string& buffer() { return buffer_; }

 private:
  bool flush(bool last) {
    if (!stopped_ && sink_ && !sink_(buffer_, last)) stopped_ = true;
    if (!last) buffer_.clear();
    return !stopped_;
  }

  const EncodedReply::Sink& sink_;
  std::size_t pieceBytes_;
  std::string buffer_;
  bool stopped_ = false;
};

// An object's members with their strings escaped in pieces; any other value as dump() writes it.
void writeValue(const json& value, PieceWriter& out) {
  if (!value.is_object()) {
    out.value(value);
    return;
  }
  out.raw("{");
  bool first = true;
  for (const auto& [name, member] : value.items()) {
    if (!first) out.raw(",");
    first = false;
    out.string(name);
    out.raw(":");
    out.value(member);
  }
  out.raw("}");
}

// Members in the order a JSON object document has them: sorted by name.
bool writeReply(const Reply& reply, PieceWriter& out) {
  out.raw("{");
  if (reply.continues) out.raw("\"continues\":true,");
  if (reply.error) {
    out.raw("\"error\":");
    out.string(*reply.error);
    out.raw(",");
  }
  out.raw("\"parameters\":");
  writeValue(reply.parameters, out);
  out.raw("}");
  return out.finish();
}

std::size_t expectedSize(const json& parameters) {
  std::size_t bytes = 256;
  for (const auto& value : parameters) {
    if (value.is_string()) bytes += value.get_ref<const std::string&>().size();
  }
  return bytes;
}

// Reads a reply whose members are strings, booleans or null, with parameters that are an
// object of such members: every reply of this interface. Its texts are moved into place, never
// copied through a tree. Nothing for anything else, which the general parser then reads and,
// when malformed, explains.
//
// Given the message as a string of its own, the one parameter string that fills most of it (a
// script's output) is decoded over the message itself, which then becomes that string: it is
// never held twice. That happens last, once the rest has been read; should it fail, the message
// was not valid JSON.
class FlatReplyReader {
 public:
  explicit FlatReplyReader(std::string_view text) : text_(text) {}
  explicit FlatReplyReader(std::string& owned) : text_(owned), owned_(&owned) {}

  std::optional<Reply> read() {
    Reply reply;
    bool seenError = false;
    bool seenParameters = false;
    bool seenContinues = false;
    std::vector<std::string> otherNames;
    if (!expect('{')) return std::nullopt;
    std::string name;
    for (bool first = true;; first = false) {
      skipSpace();
      if (first && peek('}')) break;
      if (!readJsonString(text_, position_, name) || !expect(':')) return std::nullopt;
      skipSpace();
      if (name == "parameters") {
        if (std::exchange(seenParameters, true) || !readParameters(reply.parameters)) {
          return std::nullopt;
        }
      } else {
        json value;
        if (!readSimpleValue(value)) return std::nullopt;
        if (name == "error") {
          if (std::exchange(seenError, true) || value.is_boolean()) return std::nullopt;
          if (value.is_string()) reply.error = std::move(value.get_ref<std::string&>());
        } else if (name == "continues") {
          if (std::exchange(seenContinues, true) || value.is_string()) return std::nullopt;
          reply.continues = value.is_boolean() && value.get<bool>();
        } else if (std::find(otherNames.begin(), otherNames.end(), name) != otherNames.end()) {
          return std::nullopt;
        } else {
          otherNames.push_back(name);
        }
      }
      skipSpace();
      if (peek('}')) break;
      if (!expect(',')) return std::nullopt;
    }
    ++position_;
    skipSpace();
    if (position_ != text_.size()) return std::nullopt;
    return reply;
  }

  // After read(): puts the string left for last in place. False when it is not a valid literal.
  bool finish(Reply& reply) {
    if (!inPlaceName_) return true;
    std::size_t position = inPlaceLiteral_;
    const auto length = readJsonStringInPlace(*owned_, position);
    if (!length) return false;
    owned_->resize(*length);
    reply.parameters[*inPlaceName_] = std::move(*owned_);
    return true;
  }

 private:
  bool readParameters(json& parameters) {
    if (readLiteral("null")) {
      parameters = json::object();
      return true;
    }
    if (!expect('{')) return false;
    parameters = json::object();
    std::string name;
    for (bool first = true;; first = false) {
      skipSpace();
      if (first && peek('}')) break;
      if (!readJsonString(text_, position_, name) || !expect(':')) return false;
      skipSpace();
      if (parameters.contains(name) || name == inPlaceName_) return false;
      if (!inPlaceName_ && leaveForLast()) {
        inPlaceName_ = name;
      } else {
        json value;
        if (!readSimpleValue(value)) return false;
        parameters[name] = std::move(value);
      }
      skipSpace();
      if (peek('}')) break;
      if (!expect(',')) return false;
    }
    ++position_;
    return true;
  }

  // Skips the string literal here when it fills at least half the owned message, keeping where
  // it starts.
  bool leaveForLast() {
    if (owned_ == nullptr || !peek('"')) return false;
    const std::size_t end = jsonStringLiteralEnd(text_, position_);
    if (end == std::string_view::npos || 2 * (end - position_) < text_.size()) return false;
    inPlaceLiteral_ = position_;
    position_ = end;
    return true;
  }

  bool readSimpleValue(json& value) {
    if (peek('"')) {
      std::string text;
      if (!readJsonString(text_, position_, text)) return false;
      value = std::move(text);
      return true;
    }
    if (readLiteral("true")) {
      value = true;
    } else if (readLiteral("false")) {
      value = false;
    } else if (readLiteral("null")) {
      value = nullptr;
    } else {
      return false;
    }
    return true;
  }

  bool readLiteral(std::string_view literal) {
    if (text_.substr(position_, literal.size()) != literal) return false;
    position_ += literal.size();
    return true;
  }

  void skipSpace() {
    while (position_ < text_.size() && (text_[position_] == ' ' || text_[position_] == '\t' ||
                                        text_[position_] == '\n' || text_[position_] == '\r')) {
      ++position_;
    }
  }

  bool peek(char wanted) const { return position_ < text_.size() && text_[position_] == wanted; }

  bool expect(char wanted) {
    skipSpace();
    if (!peek(wanted)) return false;
    ++position_;
    return true;
  }

  std::string_view text_;
  std::size_t position_ = 0;
  std::string* owned_ = nullptr;
  std::optional<std::string> inPlaceName_;  // the parameter read last, in place
  std::size_t inPlaceLiteral_ = 0;
};

Decoded<Reply> decodeGeneralReply(std::string_view text);

}  // namespace

// Members in the order a JSON object document has them, as for replies.
std::string encodeCall(const Call& call) {
  const EncodedReply::Sink none;
  PieceWriter out{none, std::string::npos, expectedSize(call.parameters) + call.method.size()};
  out.raw("{\"method\":");
  out.string(call.method);
  if (call.more) out.raw(",\"more\":true");
  if (call.oneway) out.raw(",\"oneway\":true");
  if (!call.parameters.empty()) {
    out.raw(",\"parameters\":");
    writeValue(call.parameters, out);
  }
  if (call.upgrade) out.raw(",\"upgrade\":true");
  out.raw("}");
  return std::move(out.buffer());
}

bool EncodedReply::write(const Sink& sink, std::size_t pieceBytes) const {
  PieceWriter out{sink, pieceBytes, expectedSize(reply_->parameters)};
  return writeReply(*reply_, out);
}

std::string EncodedReply::text() const {
  const Sink none;
  PieceWriter out{none, std::string::npos, expectedSize(reply_->parameters)};
  writeReply(*reply_, out);
  return std::move(out.buffer());
}

EncodedReply encodeReply(const Reply& reply) { return EncodedReply{reply}; }
EncodedReply encodeReply(Reply&& reply) { return EncodedReply{std::move(reply)}; }

Decoded<Call> decodeCall(std::string_view text) {
  CallReader reader;
  const bool parsed = json::sax_parse(text.begin(), text.end(), &reader);
  return reader.result(parsed);
}

Decoded<Reply> decodeReply(std::string_view text) {
  if (auto flat = FlatReplyReader{text}.read()) {
    return *std::move(flat);
  }
  return decodeGeneralReply(text);
}

Decoded<Reply> decodeReplyInPlace(std::string&& text) {
  FlatReplyReader reader{text};
  if (auto flat = reader.read()) {
    // Only the long string can still be wrong, which the general parser would call invalid.
    if (!reader.finish(*flat)) return MalformedMessage{"not valid JSON"};
    return *std::move(flat);
  }
  return decodeGeneralReply(text);
}

namespace {

Decoded<Reply> decodeGeneralReply(std::string_view text) {
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

}  // namespace

Reply errorReply(std::string_view name, nlohmann::json parameters) {
  return Reply{std::string{name}, std::move(parameters), false};
}

nlohmann::json commandResultParameters(const CommandResult& result) {
  return commandResultParameters(CommandResult{result});
}

nlohmann::json commandResultParameters(CommandResult&& result) {
  json parameters = json::object();
  parameters["success"] = result.success;
  parameters["output"] = textOrNull(std::move(result.output));
  parameters["error"] = textOrNull(std::move(result.error));
  return parameters;
}

std::optional<CommandResult> commandResultFromParameters(const nlohmann::json& parameters) {
  return readCommandResult(parameters);
}

std::optional<CommandResult> commandResultFromParameters(nlohmann::json&& parameters) {
  return readCommandResult(parameters);
}

std::string textParameter(const nlohmann::json& parameters, std::string_view name) {
  const auto member = parameters.find(name);
  if (member == parameters.end() || !member->is_string()) {
    return {};
  }
  return member->get<std::string>();
}

}  // namespace quillmere::varlink

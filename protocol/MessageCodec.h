#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "protocol/CommandResult.h"

namespace quillmere::varlink {

// Deeper JSON than this is refused without being parsed further; no message of this protocol
// nests more than a few levels.
inline constexpr int maxNestingDepth = 64;

// A call message of more JSON values than this (every string, number, array and object counts,
// wherever it is) is refused as soon as the next one is read. No call of this protocol needs
// more than a few, and so what a call costs to read and keep stays within a few values and the
// message's own size.
inline constexpr std::size_t maxCallValues = 1024;

struct Call {
  std::string method;  // fully qualified: interface + "." + member
  nlohmann::json parameters = nlohmann::json::object();
  bool oneway = false;
  bool more = false;
  bool upgrade = false;
};

struct Reply {
  std::optional<std::string> error;  // a qualified error name, or nothing for a normal reply
  nlohmann::json parameters = nlohmann::json::object();
  bool continues = false;
};

// Why a message could not be read as a call or a reply at all.
struct MalformedMessage {
  std::string reason;
};

template <typename Message>
using Decoded = std::variant<Message, MalformedMessage>;

// Encoding yields the JSON text without the terminating NUL; MessageChannel adds it.
std::string encodeCall(const Call& call);
std::string encodeReply(const Reply& reply);
// In one pass over the text, keeping only the method, the flags and the parameters: members
// the call does not use are checked as JSON and dropped as they are read.
Decoded<Call> decodeCall(std::string_view text);
Decoded<Reply> decodeReply(std::string_view text);

Reply errorReply(std::string_view name, nlohmann::json parameters = nlohmann::json::object());

// The reply parameters of the two script-running methods, and back. Absent texts are null.
nlohmann::json commandResultParameters(const CommandResult& result);
// Nothing when the parameters do not have the declared shape.
std::optional<CommandResult> commandResultFromParameters(const nlohmann::json& parameters);

// A text argument that is null or missing is served as the empty text.
std::string textParameter(const nlohmann::json& parameters, std::string_view name);

}  // namespace quillmere::varlink

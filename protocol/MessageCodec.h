#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
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

// A reply in its wire form (without the terminating NUL, which MessageChannel adds), produced as
// it is written: a script's output of hundreds of MiB is escaped piece by piece on its way out
// rather than held a second time. Made from a reply that lives on, it refers to that reply, which
// must outlive it; made from a temporary, it keeps the reply itself.
class EncodedReply {
 public:
  // Receives the message in order, one piece at a time; `last` marks the final piece. Returns
  // false to stop.
  using Sink = std::function<bool(std::string_view piece, bool last)>;

  explicit EncodedReply(const Reply& reply) : reply_(&reply) {}
  explicit EncodedReply(Reply&& reply)
      : owned_(std::make_shared<const Reply>(std::move(reply))), reply_(owned_.get()) {}

  // Hands the message to `sink` in pieces of about `pieceBytes` (a small reply is one piece).
  // False when the sink stopped it.
  bool write(const Sink& sink, std::size_t pieceBytes) const;

  // The whole message in one string.
  std::string text() const;
  operator std::string() const { return text(); }  // NOLINT: used where a string is wanted

  friend bool operator==(const EncodedReply& encoded, std::string_view text) {
    return encoded.text() == text;
  }
  friend std::ostream& operator<<(std::ostream& out, const EncodedReply& encoded) {
    return out << encoded.text();
  }

 private:
  std::shared_ptr<const Reply> owned_;
  const Reply* reply_;
};

std::string encodeCall(const Call& call);
EncodedReply encodeReply(const Reply& reply);
EncodedReply encodeReply(Reply&& reply);
// In one pass over the text, keeping only the method, the flags and the parameters: members
// the call does not use are checked as JSON and dropped as they are read.
Decoded<Call> decodeCall(std::string_view text);
Decoded<Reply> decodeReply(std::string_view text);
// The same for a message the caller gives up: a parameter string that fills most of it (a
// script's output) is decoded over the message's own bytes and becomes that string, so that it is
// never held twice.
Decoded<Reply> decodeReplyInPlace(std::string&& text);

Reply errorReply(std::string_view name, nlohmann::json parameters = nlohmann::json::object());

// The reply parameters of the two script-running methods, and back. Absent texts are null.
// The texts are moved, not copied, from a result or parameters given as temporaries.
nlohmann::json commandResultParameters(const CommandResult& result);
nlohmann::json commandResultParameters(CommandResult&& result);
// Nothing when the parameters do not have the declared shape.
std::optional<CommandResult> commandResultFromParameters(const nlohmann::json& parameters);
std::optional<CommandResult> commandResultFromParameters(nlohmann::json&& parameters);

// A text argument that is null or missing is served as the empty text.
std::string textParameter(const nlohmann::json& parameters, std::string_view name);

}  // namespace quillmere::varlink

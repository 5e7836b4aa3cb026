// The message codec: the input is a byte stream as it would arrive on a connection. It is framed
// (whole and in uneven pieces, with the protocol's limit and with small ones), and every message
// is decoded as a call and as a reply and re-encoded.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "helper/ScriptText.h"
#include "protocol/JsonText.h"
#include "protocol/MessageCodec.h"
#include "protocol/MessageFramer.h"
#include "protocol/VarlinkInterface.h"

namespace quillmere::fuzzing {
namespace {

using nlohmann::json;
using varlink::Call;
using varlink::Reply;

// A limit small enough for inputs to cross it; the framer's logic does not depend on the figure.
constexpr std::size_t smallLimit = 256;

struct Framing {
  std::vector<std::string> messages;
  bool oversized = false;
};

// What any framer must make of the stream: the NUL-terminated messages in order, up to the first
// one (terminated or not) longer than the limit.
Framing expectedFraming(std::string_view stream, std::size_t limit) {
  Framing framing;
  while (true) {
    const std::size_t terminator = stream.find('\0');
    const std::size_t length = terminator == std::string_view::npos ? stream.size() : terminator;
    if (length > limit) {
      framing.oversized = true;
      return framing;
    }
    if (terminator == std::string_view::npos) {
      return framing;
    }
    framing.messages.emplace_back(stream.substr(0, terminator));
    stream.remove_prefix(terminator + 1);
  }
}

// Feeds the stream in pieces of the given sizes (cycled), taking messages out after each piece
// and stopping at an oversized message as a reader does.
Framing frame(std::string_view stream, std::size_t limit, std::span<const std::size_t> pieces) {
  varlink::MessageFramer framer{limit};
  Framing framing;
  for (std::size_t offset = 0, index = 0; offset < stream.size() && !framing.oversized; ++index) {
    const std::size_t size = std::min(pieces[index % pieces.size()], stream.size() - offset);
    if (index % 2 == 0) {
      framer.append(stream.substr(offset, size));
    } else {
      // Received straight into the framer's room, as the channel reads: a room larger than
      // what arrives.
      const std::span<char> room = framer.room(size + index % 3);
      std::copy_n(stream.begin() + static_cast<std::ptrdiff_t>(offset), size, room.begin());
      framer.received(size);
    }
    offset += size;
    while (auto message = framer.next()) {
      require(message->size() <= limit, "no framed message is longer than the limit");
      framing.messages.push_back(std::move(*message));
    }
    framing.oversized = framer.oversized();
  }
  if (framing.oversized) {
    require(!framer.next(), "an oversized stream yields nothing more");
  }
  return framing;
}

// The longest message in the stream, terminated or not: limits at and just below it put the
// boundary exactly where off-by-one faults show.
std::size_t longestMessage(std::string_view stream) {
  std::size_t longest = 0;
  for (std::size_t start = 0; start <= stream.size();) {
    const std::size_t terminator = std::min(stream.find('\0', start), stream.size());
    longest = std::max(longest, terminator - start);
    start = terminator + 1;
  }
  return longest;
}

void checkFraming(std::string_view stream) {
  static constexpr std::array<std::size_t, 1> whole{std::size_t{1} << 30};
  static constexpr std::array<std::size_t, 5> uneven{1, 7, 64, 2, 300};
  const std::size_t longest = longestMessage(stream);
  for (const std::size_t limit :
       {varlink::maxMessageSize, smallLimit, longest, longest > 0 ? longest - 1 : 0}) {
    const Framing expected = expectedFraming(stream, limit);
    for (const std::span<const std::size_t> pieces :
         {std::span<const std::size_t>{whole}, std::span<const std::size_t>{uneven}}) {
      const Framing framed = frame(stream, limit, pieces);
      require(framed.messages == expected.messages, "framing yields the terminated messages");
      require(framed.oversized == expected.oversized, "framing refuses a message over the limit");
    }
  }
}

bool sameCall(const Call& a, const Call& b) {
  return a.method == b.method && a.parameters == b.parameters && a.oneway == b.oneway &&
         a.more == b.more && a.upgrade == b.upgrade;
}

bool sameReply(const Reply& a, const Reply& b) {
  return a.error == b.error && a.parameters == b.parameters && a.continues == b.continues;
}

void checkEncoded(std::string_view text) {
  require(text.find('\0') == std::string_view::npos, "an encoded message holds no NUL");
}

// The field table's answer names either a member the object has or a field it lacks.
void checkFieldTable(const json& parameters) {
  for (const varlink::InterfaceSpec* interface :
       {&varlink::helperInterface(), &varlink::serviceInterface()}) {
    for (const varlink::MethodSpec& method : interface->methods) {
      const auto invalid = varlink::findInvalidField(parameters, method.parameters);
      if (!invalid) {
        continue;
      }
      const bool declared = std::any_of(method.parameters.begin(), method.parameters.end(),
                                        [&](const auto& field) { return field.name == *invalid; });
      require(declared || parameters.contains(*invalid),
              "an invalid field is a member or a declared field");
    }
  }
}

void checkCall(std::string_view message) {
  auto decoded = varlink::decodeCall(message);
  const Call* call = std::get_if<Call>(&decoded);
  if (call == nullptr) {
    return;
  }
  require(call->parameters.is_object(), "a call's parameters are an object");
  const std::string text = varlink::encodeCall(*call);
  checkEncoded(text);
  const auto again = varlink::decodeCall(text);
  require(std::holds_alternative<Call>(again) && sameCall(std::get<Call>(again), *call),
          "a decoded call re-encodes to the same call");
  checkFieldTable(call->parameters);
}

void checkReply(std::string_view message) {
  auto decoded = varlink::decodeReply(message);
  // Decoding over the message's own bytes reads every message as decoding a view of it does.
  const auto inPlace = varlink::decodeReplyInPlace(std::string{message});
  require(inPlace.index() == decoded.index(), "in place, a message decodes or fails alike");
  if (const auto* malformed = std::get_if<varlink::MalformedMessage>(&decoded)) {
    require(std::get<varlink::MalformedMessage>(inPlace).reason == malformed->reason,
            "in place, a message fails for the same reason");
  } else {
    require(sameReply(std::get<Reply>(inPlace), std::get<Reply>(decoded)),
            "in place, a message decodes to the same reply");
  }
  const Reply* reply = std::get_if<Reply>(&decoded);
  if (reply == nullptr) {
    return;
  }
  const std::string text = varlink::encodeReply(*reply);
  checkEncoded(text);
  const auto again = varlink::decodeReply(text);
  require(std::holds_alternative<Reply>(again) && sameReply(std::get<Reply>(again), *reply),
          "a decoded reply re-encodes to the same reply");

  // The client's reading of a script result agrees with the declared reply fields.
  const auto* script =
      varlink::findMethod(varlink::helperInterface(), varlink::method::executeShellScript);
  const auto result = varlink::commandResultFromParameters(reply->parameters);
  if (!varlink::findInvalidField(reply->parameters, script->replyFields)) {
    require(result.has_value(), "a reply of the declared shape reads as a result");
  }
  if (result) {
    require(
        varlink::commandResultFromParameters(varlink::commandResultParameters(*result)) == result,
        "a result survives its own encoding");
  }
}

// Replies carry texts the daemon did not choose (a script's output): whatever the bytes, the
// reply stays one valid message, and valid UTF-8 arrives unchanged.
void checkReplyOfArbitraryText(std::string_view bytes) {
  const std::string text{bytes};
  const Reply reply{text, varlink::commandResultParameters(CommandResult{true, text, text}), false};
  const std::string encoded = varlink::encodeReply(reply);
  checkEncoded(encoded);
  const auto decoded = varlink::decodeReply(encoded);
  require(std::holds_alternative<Reply>(decoded), "a reply with any text decodes");
  if (varlink::isValidUtf8(bytes)) {
    require(sameReply(std::get<Reply>(decoded), reply), "a reply with valid UTF-8 round-trips");
  }
}

}  // namespace
}  // namespace quillmere::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quillmere::fuzzing;
  const std::string_view stream{reinterpret_cast<const char*>(data), size};
  checkFraming(stream);
  for (const std::string& message :
       expectedFraming(stream, quillmere::varlink::maxMessageSize).messages) {
    checkCall(message);
    checkReply(message);
  }
  // An unterminated stream is one message as far as the codec is concerned.
  if (stream.find('\0') == std::string_view::npos) {
    checkCall(stream);
    checkReply(stream);
  }
  checkReplyOfArbitraryText(stream);
  return 0;
}

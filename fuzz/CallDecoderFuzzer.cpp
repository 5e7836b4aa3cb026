// The daemon's call decoder: the input is one message. The decoder is checked against a plain
// reading of the same text by the library's document parser: both agree on whether it is JSON
// (short of the value and nesting limits, where the decoder stops reading), and a call the
// decoder accepts is that document's call, within the limits.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "fuzz/FuzzCheck.h"
#include "protocol/MessageCodec.h"

namespace quillmere::fuzzing {
namespace {

using nlohmann::json;

// Counts every value of a text, members named twice included (a document keeps only one).
class ValueCounter final : public json::json_sax_t {
 public:
  bool null() override { return counted(); }
  bool boolean(bool) override { return counted(); }
  bool number_integer(number_integer_t) override { return counted(); }
  bool number_unsigned(number_unsigned_t) override { return counted(); }
  bool number_float(number_float_t, const string_t&) override { return counted(); }
  bool string(string_t&) override { return counted(); }
  bool binary(binary_t&) override { return counted(); }
  bool start_object(std::size_t) override { return counted(); }
  bool key(string_t&) override { return true; }
  bool end_object() override { return true; }
  bool start_array(std::size_t) override { return counted(); }
  bool end_array() override { return true; }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

  std::size_t values = 0;

 private:
  bool counted() {
    ++values;
    return true;
  }
};

std::size_t valuesIn(std::string_view text) {
  ValueCounter counter;
  json::sax_parse(text.begin(), text.end(), &counter);
  return counter.values;
}

bool flagOf(const json& document, const char* name) {
  const auto member = document.find(name);
  return member != document.end() && member->is_boolean() && member->get<bool>();
}

void checkAgainstDocument(std::string_view text, const varlink::Decoded<varlink::Call>& decoded) {
  const json document = json::parse(text, nullptr, /*allow_exceptions=*/false);
  const auto* malformed = std::get_if<varlink::MalformedMessage>(&decoded);
  const std::string tooMany =
      "more than " + std::to_string(varlink::maxCallValues) + " JSON values";
  if (document.is_discarded()) {
    require(malformed != nullptr && !malformed->reason.empty(), "text that is not JSON is refused");
    return;
  }
  if (malformed != nullptr) {
    require(!malformed->reason.empty() && malformed->reason != "not valid JSON",
            "JSON is never refused as not JSON");
    require(malformed->reason != tooMany || valuesIn(text) > varlink::maxCallValues,
            "a message within the value limit is not refused for its values");
    return;
  }
  require(valuesIn(text) <= varlink::maxCallValues, "a call past the value limit is refused");
  const varlink::Call& call = std::get<varlink::Call>(decoded);
  require(document.is_object() && document.value("method", json()) == call.method,
          "the method is the document's");
  require(call.oneway == flagOf(document, "oneway") && call.more == flagOf(document, "more") &&
              call.upgrade == flagOf(document, "upgrade"),
          "the flags are the document's");
  const json wanted = document.contains("parameters") && document["parameters"].is_object()
                          ? document["parameters"]
                          : json::object();
  require(call.parameters == wanted, "the parameters are the document's");
}

}  // namespace
}  // namespace quillmere::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text{reinterpret_cast<const char*>(data), size};
  const auto decoded = quillmere::varlink::decodeCall(text);
  quillmere::fuzzing::checkAgainstDocument(text, decoded);
  return 0;
}

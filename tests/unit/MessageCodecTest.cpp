#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "protocol/MessageCodec.h"
#include "tests/support/CaseName.h"

namespace quillmere::varlink {
namespace {

using nlohmann::json;

struct CallCase {
  const char* name;
  std::string text;
  bool wellFormed;
  std::string method;
  json parameters;
  bool oneway;
};

class DecodeCallTest : public testing::TestWithParam<CallCase> {};

TEST_P(DecodeCallTest, ReadsOrRefuses) {
  const CallCase& c = GetParam();
  const auto decoded = decodeCall(c.text);
  ASSERT_EQ(std::holds_alternative<Call>(decoded), c.wellFormed);
  if (const auto* call = std::get_if<Call>(&decoded)) {
    EXPECT_EQ(call->method, c.method);
    EXPECT_EQ(call->parameters, c.parameters);
    EXPECT_EQ(call->oneway, c.oneway);
  } else {
    EXPECT_FALSE(std::get<MalformedMessage>(decoded).reason.empty());
  }
}

const json noParameters = json::object();

INSTANTIATE_TEST_SUITE_P(
    Messages, DecodeCallTest,
    testing::Values(
        CallCase{"Plain", R"({"method":"a.B"})", true, "a.B", noParameters, false},
        CallCase{"WithParameters", R"({"method":"a.B","parameters":{"script":"echo hi"}})", true,
                 "a.B", json{{"script", "echo hi"}}, false},
        CallCase{"NullParameters", R"({"method":"a.B","parameters":null})", true, "a.B",
                 noParameters, false},
        CallCase{"NullAndEmptyStayApart", R"({"method":"a.B","parameters":{"x":null,"y":""}})",
                 true, "a.B", json{{"x", nullptr}, {"y", ""}}, false},
        CallCase{"Oneway", R"({"method":"a.B","oneway":true})", true, "a.B", noParameters, true},
        CallCase{"UnknownTopLevelMemberIgnored", R"({"method":"a.B","future":1})", true, "a.B",
                 noParameters, false},
        CallCase{"DuplicateMember", R"({"method":"a.B","method":"c.D"})", false, "", {}, false},
        CallCase{"DuplicateParameter",
                 R"({"method":"a.B","parameters":{"s":"x","s":"y"}})",
                 false,
                 "",
                 {},
                 false},
        CallCase{"DuplicateDeepInside",
                 R"({"method":"a.B","parameters":{"s":[{"k":1,"k":2}]}})",
                 false,
                 "",
                 {},
                 false},
        CallCase{"SameNameInSiblingObjects",
                 R"({"method":"a.B","parameters":{"a":{"k":1},"b":{"k":2}}})", true, "a.B",
                 json{{"a", {{"k", 1}}}, {"b", {{"k", 2}}}}, false},
        CallCase{"Empty", "", false, "", {}, false},
        CallCase{"NotJson", "hello", false, "", {}, false},
        CallCase{"Truncated", R"({"method":"a.B")", false, "", {}, false},
        CallCase{"NotAnObject", R"(["a.B"])", false, "", {}, false},
        CallCase{"NoMethod", R"({"parameters":{}})", false, "", {}, false},
        CallCase{"MethodNotAString", R"({"method":7})", false, "", {}, false},
        CallCase{
            "ParametersNotAnObject", R"({"method":"a.B","parameters":[1]})", false, "", {}, false},
        CallCase{"OnewayNotABoolean", R"({"method":"a.B","oneway":"yes"})", false, "", {}, false},
        CallCase{"InvalidUtf8InString",
                 "{\"method\":\"a.B\",\"parameters\":{\"s\":\"\xff\"}}",
                 false,
                 "",
                 {},
                 false},
        CallCase{"TrailingGarbage", R"({"method":"a.B"} x)", false, "", {}, false},
        CallCase{"NestedTooDeeply",
                 R"({"method":"a.B","parameters":{"x":)" + std::string(200, '[') +
                     std::string(200, ']') + "}}",
                 false,
                 "",
                 {},
                 false},
        CallCase{"BracketsInsideStringsDoNotCount",
                 R"({"method":"a.B","parameters":{"x":")" + std::string(200, '[') + R"("}})", true,
                 "a.B", json{{"x", std::string(200, '[')}}, false}),
    testing_support::CaseName{});

TEST(MessageCodecTest, ADuplicateIsNamedInTheReason) {
  const auto decoded = decodeCall(R"({"method":"a.B","parameters":{"s":"x","s":"y"}})");
  ASSERT_TRUE(std::holds_alternative<MalformedMessage>(decoded));
  EXPECT_EQ(std::get<MalformedMessage>(decoded).reason, "duplicate member \"s\"");
  const std::string longName(100, 'n');
  const auto decodedLong =
      decodeCall(R"({"method":"a.B",")" + longName + R"(":1,")" + longName + R"(":2})");
  ASSERT_TRUE(std::holds_alternative<MalformedMessage>(decodedLong));
  EXPECT_EQ(std::get<MalformedMessage>(decodedLong).reason,
            "duplicate member \"" + std::string(64, 'n') + "...\"");
}

// `count` members named m0, m1, ... with the value `value`, as the inside of an object.
std::string members(std::size_t count, const std::string& value) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    text += (i == 0 ? "\"m" : ",\"m") + std::to_string(i) + "\":" + value;
  }
  return text;
}

// `count` values as the inside of an array.
std::string values(std::size_t count, const std::string& value) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    text += (i == 0 ? "" : ",") + value;
  }
  return text;
}

struct ReasonCase {
  const char* name;
  std::string text;
  std::string reason;
};

class MalformedCallTest : public testing::TestWithParam<ReasonCase> {};

TEST_P(MalformedCallTest, IsRefusedWithItsReason) {
  const auto decoded = decodeCall(GetParam().text);
  ASSERT_TRUE(std::holds_alternative<MalformedMessage>(decoded));
  EXPECT_EQ(std::get<MalformedMessage>(decoded).reason, GetParam().reason);
}

const std::string tooManyValues = "more than 1024 JSON values";

INSTANTIATE_TEST_SUITE_P(
    Messages, MalformedCallTest,
    testing::Values(
        ReasonCase{"NotJson", "hello", "not valid JSON"},
        ReasonCase{"BrokenJsonOutranksADuplicate", R"({"method":"a.B","method":"a.B")",
                   "not valid JSON"},
        ReasonCase{"NotAnObject", "[{},{}]", "not a JSON object"},
        ReasonCase{"ADuplicateOutranksNotAnObject", R"([{"k":1,"k":2}])", "duplicate member \"k\""},
        ReasonCase{"NoMethod", R"({"parameters":{"script":"x"}})", "no method name"},
        ReasonCase{"MethodNull", R"({"method":null})", "no method name"},
        ReasonCase{"MethodAnObject", R"({"method":{"name":"a.B"}})", "no method name"},
        ReasonCase{"ParametersAText", R"({"method":"a.B","parameters":"x"})",
                   "parameters are not an object"},
        ReasonCase{"MoreNotABoolean", R"({"method":"a.B","more":1})",
                   "a call flag is not a boolean"},
        ReasonCase{"UpgradeAnArray", R"({"method":"a.B","upgrade":[true]})",
                   "a call flag is not a boolean"},
        ReasonCase{"TooManyParameters",
                   R"({"method":"a.B","parameters":{)" + members(1023, "1") + "}}", tooManyValues},
        ReasonCase{"TooManyValuesInAnUnusedMember",
                   R"({"method":"a.B","future":[)" + values(1022, "{}") + "]}", tooManyValues},
        // Reading stops there, so what follows is never looked at.
        ReasonCase{"TooManyValuesOutrankBrokenJson", "[" + values(1025, "0") + ",", tooManyValues},
        ReasonCase{"AnEarlierDuplicateOutranksTooManyValues",
                   R"({"method":"a.B","method":"a.B","x":[)" + values(1025, "0") + "]}",
                   "duplicate member \"method\""},
        ReasonCase{"NestedTooDeeply", std::string(65, '[') + std::string(65, ']'),
                   "JSON nested too deeply"},
        ReasonCase{"NestedTooDeeplyInsideAString", "\"" + std::string(65, '[') + "\"",
                   "not a JSON object"}),
    testing_support::CaseName{});

TEST(MessageCodecTest, ACallOfAsManyValuesAsAllowedIsRead) {
  // The call, its method, its parameters and 1021 parameter members.
  const auto decoded =
      decodeCall(R"({"method":"a.B","parameters":{)" + members(1021, R"("x")") + "}}");
  ASSERT_TRUE(std::holds_alternative<Call>(decoded));
  EXPECT_EQ(std::get<Call>(decoded).parameters.size(), 1021u);
  EXPECT_EQ(std::get<Call>(decoded).parameters["m1020"], "x");
}

// A message of millions of values, as large as the protocol allows, is refused at the first
// value past the limit, wherever they are: neither reading it nor keeping it grows with them.
TEST(MessageCodecTest, AMessageOfMillionsOfEmptyObjectsIsRefusedEarly) {
  const std::string manyObjects = "[" + values(5'000'000, "{}") + "]";
  for (const std::string& text :
       {manyObjects, R"({"method":"a.B","parameters":{"n":)" + manyObjects + "}}",
        R"({"method":"a.B","x":)" + manyObjects + "}"}) {
    const auto decoded = decodeCall(text);
    ASSERT_TRUE(std::holds_alternative<MalformedMessage>(decoded));
    EXPECT_EQ(std::get<MalformedMessage>(decoded).reason, tooManyValues);
  }
}

TEST(MessageCodecTest, HugeNumbersDoNotBreakDecoding) {
  // Overflowing literals parse as infinity and stay out of the way of the typed checks.
  const auto decoded =
      decodeCall(R"({"method":"a.B","parameters":{"n":123456789012345678901234567890}})");
  ASSERT_TRUE(std::holds_alternative<Call>(decoded));
  EXPECT_TRUE(std::get<Call>(decoded).parameters["n"].is_number());
}

TEST(MessageCodecTest, CallRoundTrip) {
  Call call{"com.quillmere.helper.ExecuteShellScript", json{{"script", "echo \"hi\"\n"}}, true,
            false, false};
  const auto decoded = decodeCall(encodeCall(call));
  ASSERT_TRUE(std::holds_alternative<Call>(decoded));
  EXPECT_EQ(std::get<Call>(decoded).method, call.method);
  EXPECT_EQ(std::get<Call>(decoded).parameters, call.parameters);
  EXPECT_TRUE(std::get<Call>(decoded).oneway);
}

TEST(MessageCodecTest, ReplyEncodingMatchesTheWire) {
  EXPECT_EQ(encodeReply(Reply{std::nullopt, json{{"version", "1.0.0"}}, false}),
            R"({"parameters":{"version":"1.0.0"}})");
  EXPECT_EQ(encodeReply(errorReply("org.varlink.service.PermissionDenied")),
            R"({"error":"org.varlink.service.PermissionDenied","parameters":{}})");
}

TEST(MessageCodecTest, DecodesReplies) {
  const auto normal = decodeReply(R"({"parameters":{"success":true}})");
  ASSERT_TRUE(std::holds_alternative<Reply>(normal));
  EXPECT_FALSE(std::get<Reply>(normal).error);
  EXPECT_EQ(std::get<Reply>(normal).parameters, json({{"success", true}}));

  const auto failed = decodeReply(R"({"error":"org.varlink.service.MethodNotFound"})");
  ASSERT_TRUE(std::holds_alternative<Reply>(failed));
  EXPECT_EQ(std::get<Reply>(failed).error, "org.varlink.service.MethodNotFound");
  EXPECT_EQ(std::get<Reply>(failed).parameters, json::object());

  for (const char* broken : {"", "[]", R"({"error":3})", R"({"parameters":"x"})",
                             R"({"parameters":{},"continues":"no"})"}) {
    EXPECT_TRUE(std::holds_alternative<MalformedMessage>(decodeReply(broken))) << broken;
  }
}

// Decoding over the message itself gives what decoding a view of it gives, for the long output it
// is made for and for everything it leaves to the usual path.
TEST(MessageCodecTest, DecodesInPlaceWhatItDecodesFromAView) {
  const std::string longOutput =
      std::string(300, 'x') + R"(\n\"\\\u00e9\ud83d\ude00\t)" + "\xC3\xA9" + std::string(300, 'y');
  const std::string messages[] = {
      R"({"parameters":{"error":null,"output":")" + longOutput + R"(","success":true}})",
      R"({"parameters":{"error":"e","output":")" + longOutput + R"(","success":false}})",
      R"({"error":"x.Y","parameters":{"output":")" + longOutput + R"("}})",
      R"({"parameters":{"output":")" + longOutput + R"(","output":"again"}})",
      R"({"parameters":{"output":")" + longOutput + R"(","list":[1]}})",
      R"({"parameters":{"output":")" + longOutput + R"(\q"}})",
      "{\"parameters\":{\"output\":\"" + longOutput + "\xFF\"}}",
      R"({"parameters":{"output":")" + longOutput + R"(",}})",
      R"({"parameters":{"a":"short","b":"also short"}})",
      R"({"parameters":{"success":true}})",
      R"({"parameters":{"output":""}})",
  };
  for (const std::string& message : messages) {
    const auto fromView = decodeReply(message);
    const auto inPlace = decodeReplyInPlace(std::string{message});
    ASSERT_EQ(inPlace.index(), fromView.index()) << message;
    if (const auto* reply = std::get_if<Reply>(&fromView)) {
      const Reply& other = std::get<Reply>(inPlace);
      EXPECT_EQ(other.error, reply->error) << message;
      EXPECT_EQ(other.parameters, reply->parameters) << message;
      EXPECT_EQ(other.continues, reply->continues) << message;
    } else {
      EXPECT_EQ(std::get<MalformedMessage>(inPlace).reason,
                std::get<MalformedMessage>(fromView).reason)
          << message;
    }
  }
}

TEST(MessageCodecTest, ReadsFlatRepliesAsTheGeneralParserDoes) {
  struct Case {
    std::string text;
    std::optional<std::string> error;
    json parameters;
    bool continues;
  };
  const Case cases[] = {
      {" {\n\"parameters\" : {\"success\" : false ,\"output\":null, \"error\":\"a\\u00e9\"}}\t",
       std::nullopt,
       {{"success", false}, {"output", nullptr}, {"error", "a\xC3\xA9"}},
       false},
      {R"({"parameters":null,"error":null,"continues":true})", std::nullopt, json::object(), true},
      {R"({"other":"x","error":"e.F","parameters":{}})", "e.F", json::object(), false},
      {"{}", std::nullopt, json::object(), false},
  };
  for (const Case& c : cases) {
    const auto decoded = decodeReply(c.text);
    ASSERT_TRUE(std::holds_alternative<Reply>(decoded)) << c.text;
    const Reply& reply = std::get<Reply>(decoded);
    EXPECT_EQ(reply.error, c.error) << c.text;
    EXPECT_EQ(reply.parameters, c.parameters) << c.text;
    EXPECT_EQ(reply.continues, c.continues) << c.text;
  }
  // What it does not take, the general parser reads or explains.
  const auto nested = decodeReply(R"({"parameters":{"list":["a",{"b":1}]}})");
  ASSERT_TRUE(std::holds_alternative<Reply>(nested));
  EXPECT_EQ(std::get<Reply>(nested).parameters, json({{"list", {"a", {{"b", 1}}}}}));
  for (const char* duplicate :
       {R"({"parameters":{"a":1,"a":2}})", R"({"parameters":{"a":"x","a":"y"}})",
        R"({"error":"a","error":"b"})", R"({"x":true,"x":false})"}) {
    const auto decoded = decodeReply(duplicate);
    ASSERT_TRUE(std::holds_alternative<MalformedMessage>(decoded)) << duplicate;
    EXPECT_TRUE(std::get<MalformedMessage>(decoded).reason.starts_with("duplicate member"))
        << duplicate;
  }
  for (const char* broken : {R"({"parameters":{}} x)", R"({"parameters":{},})",
                             R"({"parameters":{"a":"\q"}})", "{\"parameters\":{\"a\":\"\xFF\"}}"}) {
    EXPECT_TRUE(std::holds_alternative<MalformedMessage>(decodeReply(broken))) << broken;
  }
}

TEST(MessageCodecTest, AReplyWrittenInPiecesJoinsToTheWholeMessage) {
  const Reply reply{std::nullopt,
                    commandResultParameters(
                        {true, std::string(1000, 'o') + "\n\"\xC3\xA9", std::string(300, 'e')}),
                    false};
  const std::string whole = encodeReply(reply);
  EXPECT_EQ(json::parse(whole), json::parse(encodeReply(Reply{reply}).text()));
  EXPECT_EQ(json::parse(whole)["parameters"], reply.parameters);
  std::string joined;
  int lastPieces = 0;
  EXPECT_TRUE(encodeReply(reply).write(
      [&](std::string_view piece, bool last) {
        EXPECT_LE(piece.size(), 64u + 32u);
        joined += piece;
        lastPieces += last ? 1 : 0;
        return true;
      },
      64));
  EXPECT_EQ(joined, whole);
  EXPECT_EQ(lastPieces, 1);
  // A sink that stops is not called again.
  int calls = 0;
  EXPECT_FALSE(encodeReply(reply).write([&](std::string_view, bool) { return ++calls < 3; }, 64));
  EXPECT_EQ(calls, 3);
}

TEST(MessageCodecTest, CommandResultKeepsAbsentAndEmptyApart) {
  const CommandResult results[] = {
      {true, "", std::nullopt},
      {true, std::nullopt, std::nullopt},
      {false, "out", ""},
      {false, std::nullopt, "Failed to execute script: No such file or directory"},
      {true, "line 1\nline 2 \xc3\xa9", std::nullopt},
  };
  for (const CommandResult& result : results) {
    const std::string wire =
        encodeReply(Reply{std::nullopt, commandResultParameters(result), false});
    const auto decoded = decodeReply(wire);
    ASSERT_TRUE(std::holds_alternative<Reply>(decoded)) << wire;
    EXPECT_EQ(commandResultFromParameters(std::get<Reply>(decoded).parameters), result) << wire;
    // Taking the texts out of parameters given up reads the same result.
    EXPECT_EQ(commandResultFromParameters(json(std::get<Reply>(decoded).parameters)), result);
    EXPECT_EQ(commandResultFromParameters(commandResultParameters(CommandResult{result})), result);
  }
  EXPECT_EQ(
      encodeReply(Reply{std::nullopt, commandResultParameters({true, "", std::nullopt}), false}),
      R"({"parameters":{"error":null,"output":"","success":true}})");
}

TEST(MessageCodecTest, CommandResultRefusesWrongShapes) {
  for (const json& parameters :
       {json::object(), json{{"success", "true"}}, json{{"success", true}, {"output", 1}},
        json{{"success", false}, {"error", json::array()}}}) {
    EXPECT_FALSE(commandResultFromParameters(parameters)) << parameters.dump();
  }
  // Missing texts read as absent.
  EXPECT_EQ(commandResultFromParameters(json{{"success", true}}),
            (CommandResult{true, std::nullopt, std::nullopt}));
}

TEST(MessageCodecTest, TextParameterServesNullAndMissingAsEmpty) {
  const json parameters{{"a", "x"}, {"b", nullptr}, {"c", ""}};
  EXPECT_EQ(textParameter(parameters, "a"), "x");
  EXPECT_EQ(textParameter(parameters, "b"), "");
  EXPECT_EQ(textParameter(parameters, "c"), "");
  EXPECT_EQ(textParameter(parameters, "missing"), "");
}

}  // namespace
}  // namespace quillmere::varlink

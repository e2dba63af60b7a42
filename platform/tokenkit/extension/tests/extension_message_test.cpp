#include "platform/tokenkit/extension/extension_message.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace platform::tokenkit {
namespace {

using namespace std::string_literals;
namespace request = extension_request;

TokenConfigurationSnapshot publishedConfiguration() {
  KeychainKey key;
  key.objectID = "key:a1";
  key.label = "Signing key";
  key.certificateDER = Bytes{0x30, 0x03, 0x02, 0x01, 0x01};
  key.canSign = true;
  key.constraints = {{Operation::signData, Constraint("corvanta.totp.per-request.v1"s)},
                     {Operation::decryptData, Constraint(false)}};
  KeychainCertificate certificate{"cert:a1", "Signing certificate", Bytes{0x30, 0x00}};
  return TokenConfigurationSnapshot{"a1", bytesOf(R"({"version":1})"), {certificate, key}};
}

struct RequestCase {
  std::string name;
  ExtensionRequest request;
};

std::vector<RequestCase> requestCases() {
  return {
      {"token for a configuration", {1, request::TokenForConfiguration{publishedConfiguration()}}},
      {"token for a configuration without data", {2, request::TokenForConfiguration{{"b2", std::nullopt, {}}}}},
      {"terminate", {3, request::TerminateToken{0xfedcba9876543210}}},
      {"create session", {4, request::CreateSession{5}}},
      {"release session", {5, request::ReleaseSession{6}}},
      {"supports with a text key", {6, request::Supports{7, Operation::signData, "key:a1"s, {"rsa"}}}},
      {"supports with a bytes key", {7, request::Supports{7, Operation::decryptData, Bytes{1, 2}, {""}}}},
      {"supports with no key", {8, request::Supports{7, static_cast<Operation>(-1), ObjectID{}, {"x"}}}},
      {"sign", {9, request::SignData{8, Bytes(64, 0xab), "key:a1"s, {"ecdsa"}}}},
      {"sign empty data", {10, request::SignData{8, Bytes{}, ObjectID{}, {"ecdsa"}}}},
      {"begin auth with a text constraint", {11, request::BeginAuth{8, Operation::signData, Constraint("c"s)}}},
      {"begin auth with true", {12, request::BeginAuth{8, Operation::signData, Constraint(true)}}},
      {"begin auth with false", {13, request::BeginAuth{8, Operation::signData, Constraint(false)}}},
      {"finish with a password", {14, request::Finish{9, "123456"s}}},
      {"finish with an empty password", {15, request::Finish{9, ""s}}},
      {"finish without a password", {16, request::Finish{9, std::nullopt}}},
      {"release operation", {17, request::ReleaseOperation{10}}},
  };
}

// Every request reads back as itself: same call and identifier, and the same bytes again, which
// with one encoding per message means the same fields.
TEST(ExtensionMessageTest, RequestsReadBackAsWritten) {
  for (const auto& testCase : requestCases()) {
    SCOPED_TRACE(testCase.name);
    const auto encoded = encodeExtensionRequest(testCase.request);
    ASSERT_TRUE(encoded);
    const auto decoded = decodeExtensionRequest(*encoded);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->id, testCase.request.id);
    EXPECT_EQ(decoded->call(), testCase.request.call());
    EXPECT_EQ(encodeExtensionRequest(*decoded), encoded);
    // A request is never taken for a reply.
    EXPECT_FALSE(decodeExtensionReply(*encoded));
  }
}

TEST(ExtensionMessageTest, FieldsSurviveTheWire) {
  const auto configuration = decodeExtensionRequest(
      *encodeExtensionRequest({1, request::TokenForConfiguration{publishedConfiguration()}}));
  ASSERT_TRUE(configuration);
  EXPECT_EQ(std::get<request::TokenForConfiguration>(configuration->body).configuration, publishedConfiguration());

  const auto sign = decodeExtensionRequest(*encodeExtensionRequest({2, request::SignData{8, Bytes{1, 2, 3}, Bytes{4}, {"alg"}}}));
  ASSERT_TRUE(sign);
  const auto& body = std::get<request::SignData>(sign->body);
  EXPECT_EQ(body.session, 8U);
  EXPECT_EQ(body.data, (Bytes{1, 2, 3}));
  EXPECT_EQ(body.key, ObjectID(Bytes{4}));
  EXPECT_EQ(body.algorithm.id, "alg");

  const auto finish = decodeExtensionRequest(*encodeExtensionRequest({3, request::Finish{9, ""s}}));
  ASSERT_TRUE(finish);
  // An empty password is not the same as none.
  EXPECT_EQ(std::get<request::Finish>(finish->body).password, std::optional<std::string>(""));
}

struct ReplyCase {
  std::string name;
  ExtensionReply reply;
};

std::vector<ReplyCase> replyCases() {
  return {
      {"token made", {1, ExtensionCall::tokenForConfiguration, Result<ExtensionObject>(ExtensionObject{1})}},
      {"token refused with a text",
       {2, ExtensionCall::tokenForConfiguration, Result<ExtensionObject>(Error(-2, "No token."s))}},
      {"token refused without a text", {3, ExtensionCall::tokenForConfiguration, Result<ExtensionObject>(Error(-8))}},
      {"token refused with an empty text", {4, ExtensionCall::tokenForConfiguration, Result<ExtensionObject>(Error(-8, ""s))}},
      {"terminated", {5, ExtensionCall::terminateToken, Acknowledged{}}},
      {"session made", {6, ExtensionCall::createSession, Result<ExtensionObject>(ExtensionObject{2})}},
      {"session released", {7, ExtensionCall::releaseSession, Acknowledged{}}},
      {"supported", {8, ExtensionCall::supports, Result<bool>(true)}},
      {"not supported", {9, ExtensionCall::supports, Result<bool>(false)}},
      {"signed", {10, ExtensionCall::signData, Result<Bytes>(Bytes(512, 0x5a))}},
      {"authentication needed", {11, ExtensionCall::signData, Result<Bytes>(Error(-9))}},
      {"no operation", {12, ExtensionCall::beginAuth, Result<BegunAuth>(BegunAuth{AuthOperationKind::none, 0})}},
      {"plain operation", {13, ExtensionCall::beginAuth, Result<BegunAuth>(BegunAuth{AuthOperationKind::plain, 3})}},
      {"password operation", {14, ExtensionCall::beginAuth, Result<BegunAuth>(BegunAuth{AuthOperationKind::password, 4})}},
      {"finished", {15, ExtensionCall::finish, Result<void>()}},
      {"finish refused", {16, ExtensionCall::finish, Result<void>(Error(-5, "The code was refused."s))}},
      {"operation released", {17, ExtensionCall::releaseOperation, Acknowledged{}}},
  };
}

TEST(ExtensionMessageTest, RepliesReadBackAsWritten) {
  for (const auto& testCase : replyCases()) {
    SCOPED_TRACE(testCase.name);
    const auto encoded = encodeExtensionReply(testCase.reply);
    ASSERT_TRUE(encoded);
    const auto decoded = decodeExtensionReply(*encoded);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->id, testCase.reply.id);
    EXPECT_EQ(decoded->call, testCase.reply.call);
    EXPECT_EQ(decoded->body.index(), testCase.reply.body.index());
    EXPECT_EQ(encodeExtensionReply(*decoded), encoded);
    EXPECT_FALSE(decodeExtensionRequest(*encoded));
  }
}

TEST(ExtensionMessageTest, ErrorTextsSurviveTheWire) {
  const auto refused = decodeExtensionReply(*encodeExtensionReply(
      {1, ExtensionCall::finish, Result<void>(Error(-5, "The code was refused."s))}));
  ASSERT_TRUE(refused);
  EXPECT_EQ(std::get<Result<void>>(refused->body).error(), Error(-5, "The code was refused."s));
  const auto bare = decodeExtensionReply(*encodeExtensionReply({2, ExtensionCall::signData, Result<Bytes>(Error(-9))}));
  ASSERT_TRUE(bare);
  EXPECT_EQ(std::get<Result<Bytes>>(bare->body).error(), Error(-9));
}

TEST(ExtensionMessageTest, RepliesOfTheWrongShapeAreNotWritten) {
  EXPECT_FALSE(encodeExtensionReply({1, ExtensionCall::signData, Result<bool>(true)}));
  EXPECT_FALSE(encodeExtensionReply({1, ExtensionCall::terminateToken, Result<void>()}));
  EXPECT_FALSE(encodeExtensionReply({1, ExtensionCall::finish, Acknowledged{}}));
  // "none" has no handle on the wire, so one given with it could not read back.
  EXPECT_FALSE(encodeExtensionReply({1, ExtensionCall::beginAuth, Result<BegunAuth>(BegunAuth{AuthOperationKind::none, 5})}));
}

// The limit is on the whole message: a sign request whose data fills it exactly is written, one
// byte more is not, and a configuration the store's encoding refuses is not either.
TEST(ExtensionMessageTest, MessagesAreBoundedBySizeAndForm) {
  const auto empty = encodeExtensionRequest({1, request::SignData{1, Bytes{}, ObjectID{}, {""}}});
  ASSERT_TRUE(empty);
  const auto room = maximumExtensionMessageSize - empty->size();
  const auto full = encodeExtensionRequest({1, request::SignData{1, Bytes(room, 1), ObjectID{}, {""}}});
  ASSERT_TRUE(full);
  EXPECT_EQ(full->size(), maximumExtensionMessageSize);
  EXPECT_TRUE(decodeExtensionRequest(*full));
  EXPECT_FALSE(encodeExtensionRequest({1, request::SignData{1, Bytes(room + 1, 1), ObjectID{}, {""}}}));

  const auto emptyReply = encodeExtensionReply({1, ExtensionCall::signData, Result<Bytes>(Bytes{})});
  ASSERT_TRUE(emptyReply);
  const auto replyRoom = maximumExtensionMessageSize - emptyReply->size();
  const auto fullReply = encodeExtensionReply({1, ExtensionCall::signData, Result<Bytes>(Bytes(replyRoom, 1))});
  ASSERT_TRUE(fullReply);
  EXPECT_EQ(fullReply->size(), maximumExtensionMessageSize);
  EXPECT_TRUE(decodeExtensionReply(*fullReply));
  EXPECT_FALSE(encodeExtensionReply({1, ExtensionCall::signData, Result<Bytes>(Bytes(replyRoom + 1, 1))}));

  // An instance identifier that cannot name a file of the store.
  EXPECT_FALSE(encodeExtensionRequest({1, request::TokenForConfiguration{{"", std::nullopt, {}}}}));
}

Bytes valid(const ExtensionRequest& request) { return *encodeExtensionRequest(request); }

struct RefusalCase {
  std::string name;
  Bytes message;
};

TEST(ExtensionMessageTest, MalformedRequestsAreRefused) {
  const auto sign = valid({1, request::SignData{8, Bytes{1, 2, 3}, "key"s, {"alg"}}});
  auto withTrailing = sign;
  withTrailing.push_back(0);
  auto unknownCall = sign;
  unknownCall[9] = 10;
  auto callZero = sign;
  callZero[9] = 0;
  auto replyDirection = sign;
  replyDirection[0] = 2;
  auto badKeyTag = valid({1, request::Supports{7, Operation::signData, "k"s, {"a"}}});
  badKeyTag[10 + 8 + 4] = 3;
  auto badConstraintTag = valid({1, request::BeginAuth{8, Operation::signData, Constraint(true)}});
  badConstraintTag.back() = 3;
  auto badPasswordFlag = valid({1, request::Finish{9, std::nullopt}});
  badPasswordFlag.back() = 2;
  auto longLength = valid({1, request::SignData{8, Bytes{1}, ObjectID{}, {""}}});
  longLength[10 + 8] = 0xff;  // the data's length claims more than the message holds
  auto badConfiguration = valid({1, request::TokenForConfiguration{publishedConfiguration()}});
  badConfiguration[10 + 4] = 'X';  // the store file's magic

  const std::vector<RefusalCase> cases = {
      {"empty", {}},
      {"header only", Bytes(sign.begin(), sign.begin() + 10)},
      {"cut short", Bytes(sign.begin(), sign.end() - 1)},
      {"a byte too many", withTrailing},
      {"unknown call", unknownCall},
      {"call zero", callZero},
      {"reply direction", replyDirection},
      {"unknown key tag", badKeyTag},
      {"unknown constraint tag", badConstraintTag},
      {"password flag not 0 or 1", badPasswordFlag},
      {"length past the end", longLength},
      {"configuration the store does not read", badConfiguration},
      {"larger than a message", Bytes(maximumExtensionMessageSize + 1, 1)},
  };
  for (const auto& testCase : cases) {
    SCOPED_TRACE(testCase.name);
    EXPECT_FALSE(decodeExtensionRequest(testCase.message));
  }
}

TEST(ExtensionMessageTest, MalformedRepliesAreRefused) {
  const auto supported = *encodeExtensionReply({1, ExtensionCall::supports, Result<bool>(true)});
  auto notABoolean = supported;
  notABoolean.back() = 2;
  auto badResultTag = supported;
  badResultTag[10] = 2;
  const auto begun = *encodeExtensionReply(
      {1, ExtensionCall::beginAuth, Result<BegunAuth>(BegunAuth{AuthOperationKind::password, 4})});
  auto unknownKind = begun;
  unknownKind[11] = 3;
  const auto acknowledged = *encodeExtensionReply({1, ExtensionCall::terminateToken, Acknowledged{}});
  auto acknowledgedWithMore = acknowledged;
  acknowledgedWithMore.push_back(1);
  const auto refused = *encodeExtensionReply({1, ExtensionCall::finish, Result<void>(Error(-5, "x"s))});
  auto textFlagBad = refused;
  textFlagBad[10 + 1 + 4] = 7;

  const std::vector<RefusalCase> cases = {
      {"boolean not 0 or 1", notABoolean},
      {"result tag not 0 or 1", badResultTag},
      {"unknown operation kind", unknownKind},
      {"operation handle missing", Bytes(begun.begin(), begun.end() - 8)},
      {"acknowledgement with a body", acknowledgedWithMore},
      {"error text flag not 0 or 1", textFlagBad},
      {"error text cut short", Bytes(refused.begin(), refused.end() - 1)},
  };
  for (const auto& testCase : cases) {
    SCOPED_TRACE(testCase.name);
    EXPECT_FALSE(decodeExtensionReply(testCase.message));
  }
}

TEST(ExtensionMessageTest, WipingLeavesNothingOfTheMessage) {
  auto message = valid({1, request::Finish{9, "123456"s}});
  const auto* storage = message.data();
  const auto capacity = message.capacity();
  message.resize(4);  // what lies past the size is wiped too
  wipeMessage(message);
  EXPECT_TRUE(message.empty());
  EXPECT_EQ(message.data(), storage);  // wiped where it lay, not moved away
  for (std::size_t i = 0; i < capacity; ++i) EXPECT_EQ(storage[i], 0) << i;
}

}  // namespace
}  // namespace platform::tokenkit

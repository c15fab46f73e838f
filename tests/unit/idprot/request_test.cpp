// Classification of requests, the JSON-RPC request bytes and reply handling,
// and the progress record's status document.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "config/identity.h"
#include "idprot/idrequest.h"
#include "idprot/jsonclient.h"
#include "idprot/progress.h"

namespace {

using namespace std::string_view_literals;

TEST(IdRequest, Classification) {
  struct Case {
    std::string_view request;
    IdRequestKind kind;
  };
  const Case cases[] = {
      {"IDREQ\0"sv, kIdRequestIdentification},
      {"IDREQ\0and more"sv, kIdRequestIdentification},
      {"IDREQ"sv, kIdRequestUnknown},  // without its NUL
      {"IDREQX"sv, kIdRequestUnknown},
      {"idreq\0"sv, kIdRequestUnknown},
      {"BURNR\0IDREQ\0"sv, kIdRequestIdentification},
      {"BURNR\0IDREQ\0tail"sv, kIdRequestIdentification},
      {"BURNR\0"sv, kIdRequestNetwork},
      {"BURNR\0IDREQ"sv, kIdRequestNetwork},  // the inner keyword lacks its NUL
      {"BURNR\0xxxxxx"sv, kIdRequestNetwork},
      {"BURNR"sv, kIdRequestUnknown},
      {"IDUPDATESTATUS"sv, kIdRequestStatus},
      {"IDUPDATESTATUS\0"sv, kIdRequestStatus},
      {"IDUPDATESTATUS\0junk"sv, kIdRequestStatus},
      {"IDUPDATESTATUSx"sv, kIdRequestUnknown},
      {"IDUPDATESTATU"sv, kIdRequestUnknown},
      {"\0IDREQ\0"sv, kIdRequestUnknown},
      {""sv, kIdRequestUnknown},
      {"CLOSED"sv, kIdRequestUnknown},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IdProt_ClassifyRequest(c.request.data(), c.request.size()), c.kind)
        << std::string(c.request.data(), c.request.size());
  }
  EXPECT_EQ(IdProt_ClassifyRequest(nullptr, 0), kIdRequestUnknown);
}

TEST(JsonClient, RequestBytes) {
  JsonRpcClient client;
  std::strcpy(client.host, "127.0.0.1");
  char out[kJsonClientLimit];
  const int n = jsonClient_CreateRequestData(client, out, sizeof out);
  const std::string body =
      "{\"jsonrpc\":\"2.0\",\"method\":\"telvoRead\",\"params\":["
      "{\"Path\":\"6.1.ControlUnitPart_mainCard.2.Object_ipProtocol.TcpIpSetupId_write_backup:vBool\"},"
      "{\"Path\":\"6.1.ControlUnitPart_mainCard.2.Object_ipProtocol.TcpIpSetupId_cfgOnlySSL:vBool\"},"
      "{\"Path\":\"6.1.ControlUnitPart_mainCard.6.Object_ipProtocol.FtpSetupId_cfgEnableFtps:vBool\"},"
      "{\"Path\":\"6.1.ControlUnitPart_security.TOPLEVEL.Object_this.SecurityId_cfgRemoteService:vU8int2\"},"
      "{\"Path\":\"6.1.ControlUnitPart_security.TOPLEVEL.Object_this.SecurityId_cfgAccountType:vBool\"}"
      "],\"id\":13}\n";
  const std::string header =
      "{\"ip\":\"127.0.0.1\",\"clientip\":\"127.0.0.1\",\"localip\":\"127.0.0.1\",\"ssl\":false,"
      "\"filename\":\"/RPC/QUORVAN/NETSEC.JSON\",\"logoff\":false,\"length\":" +
      std::to_string(body.size()) + "}\n";
  ASSERT_EQ(n, static_cast<int>(header.size() + body.size()));
  EXPECT_EQ(std::string(out, static_cast<std::size_t>(n)), header + body);
  // The request must be shorter than the limit.
  EXPECT_EQ(jsonClient_CreateRequestData(client, out, n), 0);
  EXPECT_EQ(jsonClient_CreateRequestData(client, out, n + 1), n);
}

DeviceIdData Flags(std::uint8_t backup, std::uint8_t ssl, std::uint8_t sftp, std::uint8_t remote, std::uint8_t digest) {
  DeviceIdData d{};
  d.writeBackup = backup;
  d.forceSsl = ssl;
  d.sftpEnabled = sftp;
  d.remoteAuthentication = remote;
  d.digestAccess = digest;
  return d;
}

std::string Reply(const std::string& body, long announced = -1) {
  const long length = announced >= 0 ? announced : static_cast<long>(body.size());
  return "{\"length\":" + std::to_string(length) + "}\n" + body;
}

// Runs the reply handling on bytes that have all arrived already (there is
// no connection to receive more from).
int Process(const std::string& reply, DeviceIdData& id) {
  JsonRpcClient client;
  std::memset(client.reply, 0, sizeof client.reply);
  const std::size_t n = reply.size() < kJsonClientLimit ? reply.size() : kJsonClientLimit;
  std::memcpy(client.reply, reply.data(), n);
  client.replyCount = static_cast<std::uint16_t>(n);
  return jsonClient_ProcessReply(client, id);
}

TEST(JsonClient, ReplyHandling) {
  const std::string all =
      "{\"result\":[{\"Path\":\"a.TcpIpSetupId_write_backup:vBool\",\"Value\":true},"
      "{\"Path\":\"a.TcpIpSetupId_cfgOnlySSL:vBool\",\"Value\":true},"
      "{\"Path\":\"a.FtpSetupId_cfgEnableFtps:vBool\",\"Value\":false},"
      "{\"Path\":\"a.SecurityId_cfgRemoteService:vU8int2\",\"Value\":3},"
      "{\"Path\":\"a.SecurityId_cfgAccountType:vBool\",\"Value\":true}]}\n";
  const DeviceIdData start = Flags(0, 0, 1, 0, 0);
  const DeviceIdData mapped = Flags(1, 1, 0, 3, 1);
  struct Case {
    const char* name;
    std::string reply;
    int result;
    DeviceIdData expected;
  };
  const Case cases[] = {
      {"complete", Reply(all), 0, mapped},
      {"body's final newline not yet arrived", Reply(all).substr(0, Reply(all).size() - 1), 0, mapped},
      {"bytes beyond the announced body", Reply(all) + "garbage", 0, mapped},
      {"announced length too short for the body", Reply(all, 10), 1, start},
      {"body incomplete", Reply(all).substr(0, 40), 1, start},
      {"announced body larger than the buffer", Reply(all, 20000), 1, start},
      {"header without length", "{\"x\":1}\n" + all, 1, start},
      {"length not a number", "{\"length\":\"12\"}\n" + all, 1, start},
      {"negative length", "{\"length\":-5}\n" + all, 1, start},
      {"header not JSON", "length=12\n" + all, 1, start},
      {"no newline at all", "{\"length\":3}", 1, start},
      {"empty reply", std::string(), 1, start},
      {"reply starting with NUL", std::string("\0{}\n", 4), 1, start},
      {"body not JSON", Reply("not json\n"), 1, start},
      {"body without result", Reply("{\"error\":1}\n"), 1, start},
      {"result not an array", Reply("{\"result\":{}}\n"), 1, start},
      {"empty result", Reply("{\"result\":[]}\n"), 0, start},
  };
  for (const Case& c : cases) {
    DeviceIdData id = start;
    EXPECT_EQ(Process(c.reply, id), c.result) << c.name;
    EXPECT_EQ(std::memcmp(&id, &c.expected, sizeof id), 0) << c.name;
  }
}

TEST(JsonClient, MapResult) {
  struct Case {
    const char* result;
    DeviceIdData expected;  // from Flags(1, 1, 1, 1, 1)
  };
  const Case cases[] = {
      // Only the literal true counts for a Boolean.
      {"[{\"Path\":\"TcpIpSetupId_cfgOnlySSL\",\"Value\":1}]", Flags(1, 0, 1, 1, 1)},
      {"[{\"Path\":\"TcpIpSetupId_cfgOnlySSL\",\"Value\":\"true\"}]", Flags(1, 0, 1, 1, 1)},
      {"[{\"Path\":\"TcpIpSetupId_cfgOnlySSL\"}]", Flags(1, 0, 1, 1, 1)},
      // One byte of the remote service value is kept; a non-number gives 0.
      {"[{\"Path\":\"SecurityId_cfgRemoteService\",\"Value\":258}]", Flags(1, 1, 1, 2, 1)},
      {"[{\"Path\":\"SecurityId_cfgRemoteService\",\"Value\":-1}]", Flags(1, 1, 1, 255, 1)},
      {"[{\"Path\":\"SecurityId_cfgRemoteService\",\"Value\":true}]", Flags(1, 1, 1, 0, 1)},
      // Later elements win; elements without a text path are passed over.
      {"[{\"Path\":\"FtpSetupId_cfgEnableFtps\",\"Value\":false},{\"Path\":\"xFtpSetupId_cfgEnableFtpsx\","
       "\"Value\":true},{\"Path\":7},{},3]",
       Flags(1, 1, 1, 1, 1)},
      {"[{\"Path\":\"SecurityId_cfgAccountType\",\"Value\":false},"
       "{\"Path\":\"TcpIpSetupId_write_backup\",\"Value\":null}]",
       Flags(0, 1, 1, 1, 0)},
  };
  for (const Case& c : cases) {
    cJSON* result = cJSON_Parse(c.result);
    ASSERT_NE(result, nullptr) << c.result;
    DeviceIdData id = Flags(1, 1, 1, 1, 1);
    jsonClient_MapResult(result, id);
    cJSON_Delete(result);
    EXPECT_EQ(std::memcmp(&id, &c.expected, sizeof id), 0) << c.result;
  }
}

// The status document as a list of (key, printed value).
std::vector<std::pair<std::string, std::string>> Status() {
  cJSON* o = cJSON_CreateObject();
  progress_CreateStatusResponse(o);
  std::vector<std::pair<std::string, std::string>> members;
  const cJSON* m = nullptr;
  cJSON_ArrayForEach(m, o) {
    char* v = cJSON_PrintUnformatted(m);
    members.emplace_back(m->string, v);
    cJSON_free(v);
  }
  cJSON_Delete(o);
  return members;
}

TEST(Progress, StatusDocument) {
  progress_Init();
  progress_SetServerName("/usr/sbin/kvupdaterd");
  auto doc = Status();
  const std::vector<std::string> keys = {
      "totalProgress",   "bundleFilename", "componentProgress", "currentActionDescription", "currentActionCode",
      "elapsedTimeSecs", "timestamp",      "timedate",          "currentErrorDescription",  "currentErrorNumber",
      "serverName",      "serverRevision", "msgSeqNumber"};
  ASSERT_EQ(doc.size(), keys.size());
  for (std::size_t i = 0; i < keys.size(); ++i) EXPECT_EQ(doc[i].first, keys[i]);
  const std::vector<std::pair<std::size_t, std::string>> fixed = {{0, "0"},
                                                                  {1, "\"\""},
                                                                  {2, "0"},
                                                                  {3, "\"Idle\""},
                                                                  {4, "0"},
                                                                  {5, "0"},
                                                                  {8, "\"No Error\""},
                                                                  {9, "0"},
                                                                  {10, "\"/usr/sbin/kvupdaterd\""},
                                                                  {11, "\"3.8\""},
                                                                  {12, "0"}};
  for (const auto& [i, v] : fixed) EXPECT_EQ(doc[i].second, v) << keys[i];
  EXPECT_EQ(Status()[12].second, "1");

  progress_SetStartTime();
  progress_SetAction("installing IMAGE.CRY", 1);
  progress_SetComponent("IMAGE.CRY", 40);
  progress_SetTotalProgress(55);
  progress_SetError("Image update failed", 200);
  progress_SetServerName(std::string(300, 's').c_str());
  doc = Status();
  EXPECT_EQ(doc[0].second, "55");
  EXPECT_EQ(doc[2].second, "40");
  EXPECT_EQ(doc[3].second, "\"installing IMAGE.CRY\"");
  EXPECT_EQ(doc[4].second, "1");
  EXPECT_TRUE(doc[5].second == "0" || doc[5].second == "1") << doc[5].second;
  EXPECT_EQ(doc[8].second, "\"Image update failed\"");
  EXPECT_EQ(doc[9].second, "200");
  EXPECT_EQ(doc[10].second, "\"" + std::string(199, 's') + "\"");  // cut to 199 characters
  EXPECT_EQ(doc[12].second, "2");
  EXPECT_EQ(std::string(progress_Snapshot().componentName), "IMAGE.CRY");
  progress_Init();
  EXPECT_EQ(Status()[12].second, "0");
}

TEST(Progress, SequenceNumbersAreDistinctAcrossThreads) {
  progress_Init();
  constexpr int kThreads = 4;
  constexpr int kEach = 200;
  std::vector<std::vector<int>> seen(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &seen] {
      for (int i = 0; i < kEach; ++i) seen[static_cast<std::size_t>(t)].push_back(std::stoi(Status()[12].second));
    });
  }
  for (int i = 0; i < kEach; ++i) progress_SetAction(("step " + std::to_string(i)).c_str(), i);
  for (auto& th : threads) th.join();
  std::vector<int> all;
  for (const auto& s : seen) all.insert(all.end(), s.begin(), s.end());
  std::sort(all.begin(), all.end());
  for (int i = 0; i < kThreads * kEach; ++i) ASSERT_EQ(all[static_cast<std::size_t>(i)], i);
}

}  // namespace

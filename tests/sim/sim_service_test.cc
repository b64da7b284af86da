// The accelerator service of the simulator, driven through a raw stub:
// header and connection rules, sessions, models, the fault plan, the
// journal, TLS and restarts.

#include <fstream>
#include <map>

#include <gtest/gtest.h>

#include "support/sim_client.h"
#include "zvsim/fault_plan.h"
#include "zvsim/tls.h"

namespace zvtest {
namespace {

using grpc::StatusCode;

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override { Start(/*plaintext=*/true); }

  void Start(bool plaintext) {
    zvsim::Options options;
    options.plaintext = plaintext;
    options.accelerators = {{"", "zva1.medium", ""}, {"", "zva2.xlarge", ""}};
    options.clock = clock_.AsClock();
    sim_ = std::make_unique<zvsim::Simulator>(options);
    std::string error;
    ASSERT_TRUE(sim_->Start(&error)) << error;
    a_ = sim_->AcceleratorIds()[0];
    b_ = sim_->AcceleratorIds()[1];
  }

  // A client on a connection of its own that has made its Connect.
  std::unique_ptr<Client> Connected(const std::string& accelerator) {
    auto client = std::make_unique<Client>(*sim_, accelerator);
    grpc::Status status = client->Connect(Now());
    EXPECT_TRUE(status.ok()) << status.error_message();
    return client;
  }

  std::chrono::system_clock::time_point Now() { return clock_.AsClock()(); }

  ManualClock clock_{std::chrono::system_clock::now()};
  std::unique_ptr<zvsim::Simulator> sim_;
  std::string a_, b_;
};

void ExpectStatus(const grpc::Status& status, StatusCode code,
                  const std::string& message) {
  EXPECT_EQ(status.error_code(), code) << status.error_message();
  EXPECT_EQ(status.error_message(), message);
}

TEST_F(ServiceTest, AcceleratorHeaderIsRequiredAndMustBeKnown) {
  Client missing(*sim_, "");
  ExpectStatus(missing.Connect(Now()), StatusCode::FAILED_PRECONDITION,
               "20 missing accelerator id header");
  Client unknown(*sim_, "zva-00000000000000000");
  ExpectStatus(unknown.Ping(), StatusCode::NOT_FOUND,
               "21 accelerator id not found");
}

TEST_F(ServiceTest, OnlyConnectedPeersMayCall) {
  Client first(*sim_, a_);
  std::string session;
  ExpectStatus(first.InitSession(&session), StatusCode::FAILED_PRECONDITION,
               "19 connect expected");
  ExpectStatus(first.Ping(), StatusCode::FAILED_PRECONDITION,
               "19 connect expected");
  // GetZvaInfo needs no Connect.
  {
    auto context = first.Context();
    zva::rpc::GetZvaInfoRequest req;
    zva::rpc::GetZvaInfoResponse resp;
    ASSERT_TRUE(first.stub()->GetZvaInfo(context.get(), req, &resp).ok());
    EXPECT_EQ(resp.zva_info().zva_id(), a_);
    EXPECT_EQ(resp.zva_info().model_type(), "zva1.medium");
    EXPECT_EQ(resp.zva_info().health_state(), zva::rpc::HEALTHY);
  }
  ASSERT_TRUE(first.Connect(Now()).ok());
  EXPECT_TRUE(first.InitSession(&session).ok());
  // The connection is what counts, not the accelerator it named.
  {
    zva::rpc::PingRequest req;
    zva::rpc::PingResponse resp;
    grpc::ClientContext other;
    other.AddMetadata("x-kstrn-zva-accelerator-id", b_);
    other.set_deadline(std::chrono::system_clock::now() + seconds(10));
    EXPECT_TRUE(first.stub()->Ping(&other, req, &resp).ok());
  }
  // A second connection has not connected.
  Client second(*sim_, a_);
  ExpectStatus(second.Ping(), StatusCode::FAILED_PRECONDITION,
               "19 connect expected");
  EXPECT_EQ(sim_->core().ConnectedPeers().size(), 1u);
}

TEST_F(ServiceTest, SessionLifeAndExpiry) {
  auto client = Connected(a_);
  std::string session;
  ASSERT_TRUE(client->InitSession(&session, "pytorch").ok());
  ASSERT_FALSE(session.empty());
  ASSERT_EQ(sim_->core().Sessions().size(), 1u);
  EXPECT_EQ(sim_->core().Sessions()[0].accelerator_id, a_);
  EXPECT_EQ(sim_->core().Sessions()[0].config.model_type(), "pytorch");
  EXPECT_EQ(sim_->core().Sessions()[0].config.zvl_version(), "1.5.3");

  // Keep-alives within the expiry keep it going, each from its own time.
  clock_.Advance(seconds(29));
  EXPECT_TRUE(client->KeepAlive(session).ok());
  clock_.Advance(seconds(29));
  EXPECT_TRUE(client->KeepAlive(session).ok());
  {
    auto context = client->Context();
    zva::rpc::ReconnectSessionRequest req;
    req.mutable_session()->set_session_id(session);
    zva::rpc::ReconnectSessionResponse resp;
    EXPECT_TRUE(
        client->stub()->ReconnectSession(context.get(), req, &resp).ok());
  }
  // A session is its accelerator's only.
  {
    Client other(*sim_, b_);
    ASSERT_TRUE(other.Connect(Now()).ok());
    ExpectStatus(other.KeepAlive(session), StatusCode::NOT_FOUND,
                 "12 session not found");
  }
  clock_.Advance(seconds(31));
  ExpectStatus(client->KeepAlive(session), StatusCode::NOT_FOUND,
               "12 session not found");
  EXPECT_TRUE(sim_->core().Sessions().empty());

  // Destroy ends a session; unknown sessions fail for every session call.
  ASSERT_TRUE(client->InitSession(&session).ok());
  auto destroy = [&] {
    auto context = client->Context();
    zva::rpc::DestroySessionRequest req;
    req.mutable_session()->set_session_id(session);
    zva::rpc::DestroySessionResponse resp;
    return client->stub()->DestroySession(context.get(), req, &resp);
  };
  EXPECT_TRUE(destroy().ok());
  ExpectStatus(destroy(), StatusCode::NOT_FOUND, "12 session not found");
  ExpectStatus(client->KeepAlive(session), StatusCode::NOT_FOUND,
               "12 session not found");
  auto context = client->Context();
  zva::rpc::ReconnectSessionRequest req;
  req.mutable_session()->set_session_id(session);
  zva::rpc::ReconnectSessionResponse resp;
  ExpectStatus(client->stub()->ReconnectSession(context.get(), req, &resp),
               StatusCode::NOT_FOUND, "12 session not found");
}

TEST_F(ServiceTest, ConfigurableExpiry) {
  sim_->core().SetSessionExpiry(milliseconds(100));
  auto client = Connected(a_);
  std::string session;
  ASSERT_TRUE(client->InitSession(&session).ok());
  clock_.Advance(milliseconds(101));
  ExpectStatus(client->KeepAlive(session), StatusCode::NOT_FOUND,
               "12 session not found");
}

class ModelsTest : public ServiceTest {
 protected:
  void SetUp() override {
    ServiceTest::SetUp();
    client_ = Connected(a_);
    ASSERT_TRUE(client_->InitSession(&session_).ok());
  }

  grpc::Status Load(const std::string& id, const std::string& bytes) {
    auto context = client_->Context();
    zva::rpc::LoadModelRequest req;
    req.mutable_session()->set_session_id(session_);
    req.set_model_id(id);
    req.mutable_model_spec()->set_serialized_model(bytes);
    zva::rpc::LoadModelResponse resp;
    grpc::Status status = client_->stub()->LoadModel(context.get(), req, &resp);
    if (status.ok()) {
      EXPECT_EQ(resp.model_info().model_id(), id);
    }
    return status;
  }

  grpc::Status Infer(const std::string& model,
                     const std::vector<std::string>& output_names,
                     zva::rpc::InferResponse* resp) {
    auto context = client_->Context();
    zva::rpc::InferRequest req;
    req.mutable_session()->set_session_id(session_);
    req.set_model_id(model);
    for (int i = 0; i < 3; ++i) {
      zva::rpc::NamedTensor* in = req.add_input();
      in->set_name("in" + std::to_string(i));
      in->mutable_tensor()->set_tensor_content(std::string(i + 1, 'a' + i));
    }
    for (const auto& name : output_names) req.add_output_name(name);
    return client_->stub()->Infer(context.get(), req, resp);
  }

  std::vector<std::string> List() {
    auto context = client_->Context();
    zva::rpc::ListModelsRequest req;
    req.mutable_session()->set_session_id(session_);
    zva::rpc::ListModelsResponse resp;
    EXPECT_TRUE(client_->stub()->ListModels(context.get(), req, &resp).ok());
    std::vector<std::string> ids;
    for (const auto& info : resp.model_info()) ids.push_back(info.model_id());
    return ids;
  }

  grpc::Status Unload(const std::string& id) {
    auto context = client_->Context();
    zva::rpc::UnloadModelRequest req;
    req.mutable_session()->set_session_id(session_);
    req.set_model_id(id);
    zva::rpc::UnloadModelResponse resp;
    grpc::Status status =
        client_->stub()->UnloadModel(context.get(), req, &resp);
    if (status.ok()) {
      EXPECT_EQ(resp.model_id(), id);
    }
    return status;
  }

  std::unique_ptr<Client> client_;
  std::string session_;
};

TEST_F(ModelsTest, LoadListInferUnload) {
  EXPECT_TRUE(List().empty());
  zva::rpc::InferResponse resp;
  ExpectStatus(Infer("m1", {}, &resp), StatusCode::NOT_FOUND,
               "9 model not found");
  ASSERT_TRUE(Load("m2", "desc").ok());
  ASSERT_TRUE(Load("m1", "desc").ok());
  ASSERT_TRUE(Load("m1", "replaced").ok());
  EXPECT_EQ(List(), (std::vector<std::string>{"m1", "m2"}));
  // Models belong to the accelerator, not to the other one.
  EXPECT_TRUE(sim_->core().Models(b_).empty());

  // Echo: output i is input i, named by the i-th output name if there is one.
  ASSERT_TRUE(Infer("m1", {"out0", "out1"}, &resp).ok());
  ASSERT_EQ(resp.output_size(), 3);
  EXPECT_EQ(resp.output(0).name(), "out0");
  EXPECT_EQ(resp.output(1).name(), "out1");
  EXPECT_EQ(resp.output(2).name(), "in2");
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(resp.output(i).tensor().tensor_content(),
              std::string(i + 1, 'a' + i));
  }
  resp.Clear();
  ASSERT_TRUE(Infer("m2", {}, &resp).ok());
  EXPECT_EQ(resp.output(0).name(), "in0");

  ASSERT_TRUE(Unload("m1").ok());
  ExpectStatus(Unload("m1"), StatusCode::NOT_FOUND, "9 model not found");
  EXPECT_EQ(List(), std::vector<std::string>{"m2"});
}

TEST_F(ModelsTest, WhitelistGraphStatsAndPing) {
  sim_->core().SetOperatorWhitelist({"Convolution", "Pooling"});
  {
    auto context = client_->Context();
    zva::rpc::GetOperatorWhitelistRequest req;
    req.mutable_session()->set_session_id(session_);
    zva::rpc::GetOperatorWhitelistResponse resp;
    ASSERT_TRUE(
        client_->stub()->GetOperatorWhitelist(context.get(), req, &resp).ok());
    ASSERT_EQ(resp.operator__size(), 2);
    EXPECT_EQ(resp.operator_(1).operator_name(), "Pooling");
  }
  {
    auto context = client_->Context();
    zva::rpc::PostGraphStatsRequest req;
    req.mutable_session()->set_session_id(session_);
    (*req.mutable_graph_stats()->mutable_attribute_map())["nodes"].add_value(
        "12");
    zva::rpc::PostGraphStatsResponse resp;
    ASSERT_TRUE(
        client_->stub()->PostGraphStats(context.get(), req, &resp).ok());
    ASSERT_EQ(sim_->core().GraphStats().size(), 1u);
    EXPECT_EQ(sim_->core().GraphStats()[0].accelerator_id, a_);
    EXPECT_EQ(sim_->core().GraphStats()[0].session_id, session_);
    EXPECT_EQ(
        sim_->core().GraphStats()[0].stats.attribute_map().at("nodes").value(0),
        "12");
  }
  zva::rpc::HealthState state = zva::rpc::UNHEALTHY;
  ASSERT_TRUE(client_->Ping(&state).ok());
  EXPECT_EQ(state, zva::rpc::HEALTHY);
  sim_->core().SetHealthy(a_, false);
  ASSERT_TRUE(client_->Ping(&state).ok());
  EXPECT_EQ(state, zva::rpc::UNHEALTHY);
  sim_->core().SetHealthy(a_, true);
  ASSERT_TRUE(client_->Ping(&state).ok());
  EXPECT_EQ(state, zva::rpc::HEALTHY);
  EXPECT_THROW(sim_->core().SetHealthy("zva-nope", false),
               std::invalid_argument);
}

TEST_F(ModelsTest, FailNextCallsOfOneAcceleratorOrAll) {
  sim_->core().FailNext("Ping", 2, StatusCode::UNAVAILABLE, "14 busy", a_);
  auto other = Connected(b_);
  EXPECT_TRUE(other->Ping().ok());  // another accelerator's rule
  ExpectStatus(client_->Ping(), StatusCode::UNAVAILABLE, "14 busy");
  ExpectStatus(client_->Ping(), StatusCode::UNAVAILABLE, "14 busy");
  EXPECT_TRUE(client_->Ping().ok());

  // Rules queue in order; "*" matches every method.
  sim_->core().FailNext("*", 1, StatusCode::INTERNAL, "23 internal");
  sim_->core().FailNext("KeepAliveSession", 1, StatusCode::NOT_FOUND,
                        "13 reset");
  ExpectStatus(other->Ping(), StatusCode::INTERNAL, "23 internal");
  ExpectStatus(client_->KeepAlive(session_), StatusCode::NOT_FOUND, "13 reset");
  EXPECT_TRUE(client_->KeepAlive(session_).ok());

  // An injected failure comes before the connection rule.
  Client unconnected(*sim_, a_);
  sim_->core().FailNext("Ping", 1, StatusCode::UNAVAILABLE, "14 busy");
  ExpectStatus(unconnected.Ping(), StatusCode::UNAVAILABLE, "14 busy");

  sim_->core().FailNext("Ping", 5, StatusCode::UNAVAILABLE, "14 busy");
  sim_->core().ClearFaults();
  EXPECT_TRUE(client_->Ping().ok());
  EXPECT_THROW(sim_->core().FailNext("Pong", 1, StatusCode::UNAVAILABLE, "14"),
               std::invalid_argument);
  EXPECT_THROW(sim_->core().FailNext("Ping", 1, StatusCode::UNAVAILABLE, "14",
                                     "zva-nope"),
               std::invalid_argument);
}

TEST_F(ModelsTest, DelayedCallsOutliveTheirDeadline) {
  sim_->core().SetDelay("Ping", milliseconds(60000), a_);
  const grpc::Status late = client_->Ping(nullptr, milliseconds(100));
  EXPECT_EQ(late.error_code(), StatusCode::DEADLINE_EXCEEDED);
  // Lifting the delay does not wake the waiting call; stopping does.
  sim_->core().SetDelay("Ping", milliseconds(0), a_);
  EXPECT_TRUE(client_->Ping().ok());
  sim_->core().SetDelay("*", milliseconds(20));
  EXPECT_TRUE(client_->KeepAlive(session_).ok());
  sim_->Stop();
  ASSERT_TRUE(sim_->core().WaitForCalls("Ping", 2, seconds(10)));
  EXPECT_EQ(sim_->core().CallCount("Ping", StatusCode::CANCELLED), 1u);
}

TEST_F(ModelsTest, DropSessionsAndForgetModels) {
  ASSERT_TRUE(Load("m1", "desc").ok());
  sim_->core().ForgetAllModels();
  zva::rpc::InferResponse resp;
  ExpectStatus(Infer("m1", {}, &resp), StatusCode::NOT_FOUND,
               "9 model not found");
  EXPECT_TRUE(List().empty());
  sim_->core().DropAllSessions();
  ExpectStatus(client_->KeepAlive(session_), StatusCode::NOT_FOUND,
               "12 session not found");
  ExpectStatus(Load("m1", "desc"), StatusCode::NOT_FOUND,
               "12 session not found");
}

TEST_F(ModelsTest, JournalRecordsEveryCall) {
  sim_->core().ClearJournal();
  auto context = client_->Context(milliseconds(5000));
  context->AddMetadata("x-custom", "value");
  zva::rpc::InitSessionRequest req;
  req.set_zva_id(a_);
  req.mutable_session_config()->set_framework_version("1.9");
  zva::rpc::InitSessionResponse resp;
  ASSERT_TRUE(client_->stub()->InitSession(context.get(), req, &resp).ok());
  Client unconnected(*sim_, b_);
  ASSERT_FALSE(unconnected.Ping().ok());

  const std::vector<zvsim::CallRecord> journal = sim_->core().Journal();
  ASSERT_EQ(journal.size(), 2u);
  const zvsim::CallRecord& init = journal[0];
  EXPECT_EQ(init.method, "InitSession");
  EXPECT_EQ(init.accelerator_id, a_);
  EXPECT_EQ(init.Metadata("x-kstrn-zva-accelerator-id"), a_);
  EXPECT_EQ(init.Metadata("x-kstrn-request-id"), "PT-test");
  EXPECT_EQ(init.Metadata("x-custom"), "value");
  EXPECT_GT(init.deadline_ms, 0);
  // gRPC sends the timeout rounded up, so the server may see a little more.
  EXPECT_LE(init.deadline_ms, 6000);
  EXPECT_EQ(init.authority, sim_->Endpoint());
  EXPECT_EQ(sim_->core().ConnectedPeers(), std::vector<std::string>{init.peer});
  EXPECT_EQ(init.code, StatusCode::OK);
  ASSERT_NE(init.RequestAs<zva::rpc::InitSessionRequest>(), nullptr);
  EXPECT_EQ(init.RequestAs<zva::rpc::InitSessionRequest>()
                ->session_config()
                .framework_version(),
            "1.9");
  EXPECT_EQ(init.RequestAs<zva::rpc::PingRequest>(), nullptr);

  const zvsim::CallRecord& ping = journal[1];
  EXPECT_EQ(ping.method, "Ping");
  EXPECT_EQ(ping.accelerator_id, b_);
  EXPECT_NE(ping.peer, init.peer);
  EXPECT_EQ(ping.code, StatusCode::FAILED_PRECONDITION);
  EXPECT_EQ(ping.message, "19 connect expected");

  EXPECT_EQ(sim_->core().CallCount("*"), 2u);
  EXPECT_EQ(sim_->core().CallCount("Ping", StatusCode::OK), 0u);
  EXPECT_TRUE(sim_->core().WaitForJournal(
      [](const std::deque<zvsim::CallRecord>& j) { return j.size() == 2; },
      seconds(1)));
  sim_->core().ClearJournal();
  EXPECT_TRUE(sim_->core().Journal().empty());
  EXPECT_EQ(sim_->core().CallCount("*"), 0u);
}

TEST_F(ModelsTest, ObserverSeesCallsFromServingThreads) {
  std::mutex mtx;
  std::vector<std::string> seen;
  sim_->core().SetCallObserver([&](const zvsim::CallRecord& call) {
    std::lock_guard<std::mutex> lock(mtx);
    seen.push_back(call.method);
  });
  ASSERT_TRUE(client_->Ping().ok());
  sim_->core().SetCallObserver(nullptr);
  std::lock_guard<std::mutex> lock(mtx);
  EXPECT_EQ(seen, std::vector<std::string>{"Ping"});
}

TEST_F(ModelsTest, RestartBreaksConnectionsThenAccepts) {
  const int port = sim_->grpc_port();
  sim_->RestartAsync(milliseconds(200));
  ASSERT_TRUE(sim_->core().WaitForRestarts(1, seconds(30)));
  EXPECT_EQ(sim_->grpc_port(), port);
  EXPECT_TRUE(sim_->core().ConnectedPeers().empty());
  // The old connection is gone: either the channel notices, or its new
  // connection has not made a Connect.
  const grpc::Status broken = client_->Ping();
  EXPECT_TRUE(broken.error_code() == StatusCode::UNAVAILABLE ||
              broken.error_message() == "19 connect expected")
      << broken.error_message();
  // Sessions survive the proxy; a new Connect resumes the session.
  ASSERT_TRUE(client_->Connect(Now()).ok());
  EXPECT_TRUE(client_->KeepAlive(session_).ok());

  ASSERT_TRUE(sim_->DropAllConnections());
  EXPECT_TRUE(sim_->core().WaitForRestarts(2, seconds(1)));
  EXPECT_FALSE(client_->Ping().ok());
  ASSERT_TRUE(client_->Connect(Now()).ok());
  EXPECT_TRUE(client_->Ping().ok());
}

TEST_F(ModelsTest, StopDuringRestartDowntimeEndsPromptly) {
  sim_->RestartAsync(milliseconds(600000));
  sim_->Stop();
  EXPECT_FALSE(sim_->Restart(milliseconds(0)));
}

TEST_F(ModelsTest, FaultPlanText) {
  const std::string plan =
      "# comment\n"
      "\n"
      "fail Ping 1 UNAVAILABLE " +
      a_ +
      " 14 try later\n"
      "fail KeepAliveSession 1 5 * 12 gone\r\n"
      "delay Infer 0 *\n"
      "unhealthy " +
      b_ +
      "\n"
      "forget-models\n";
  std::string error;
  ASSERT_TRUE(zvsim::ApplyFaultPlan(sim_.get(), plan, &error)) << error;
  ExpectStatus(client_->Ping(), StatusCode::UNAVAILABLE, "14 try later");
  ExpectStatus(client_->KeepAlive(session_), StatusCode::NOT_FOUND, "12 gone");
  auto other = Connected(b_);
  zva::rpc::HealthState state = zva::rpc::HEALTHY;
  ASSERT_TRUE(other->Ping(&state).ok());
  EXPECT_EQ(state, zva::rpc::UNHEALTHY);

  ASSERT_TRUE(zvsim::ApplyFaultPlan(
      sim_.get(), "drop-sessions\nhealthy *\nclear\n", &error));
  ASSERT_TRUE(other->Ping(&state).ok());
  EXPECT_EQ(state, zva::rpc::HEALTHY);
  EXPECT_TRUE(sim_->core().Sessions().empty());

  // A bad line applies nothing and names itself.
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"fail Pong 1 UNAVAILABLE * 14 x", "line 1: unknown method Pong"},
      {"fail Ping 0 UNAVAILABLE * 14 x", "line 1: bad count 0"},
      {"fail Ping 1 OK * 0 fine", "line 1: bad code OK"},
      {"fail Ping 1 17 * 1 x", "line 1: bad code 17"},
      {"\nfail Ping 1 UNAVAILABLE zva-nope 14", "line 2: unknown accelerator"},
      {"fail Ping 1 UNAVAILABLE", "line 1: expected: fail"},
      {"delay Ping soon *", "line 1: bad delay soon"},
      {"restart", "line 1: expected: restart"},
      {"drop-sessions now", "line 1: drop-sessions takes no arguments"},
      {"metadata /x 0 99", "line 1: expected: metadata"},
      {"explode", "line 1: unknown command explode"},
  };
  for (const auto& [text, expected] : bad) {
    const std::string with_valid_first =
        "fail Ping 1 UNAVAILABLE * 14 applied?\n" + text;
    error.clear();
    EXPECT_FALSE(zvsim::ApplyFaultPlan(sim_.get(), text, &error)) << text;
    EXPECT_NE(error.find(expected), std::string::npos) << error;
    EXPECT_FALSE(zvsim::ApplyFaultPlan(sim_.get(), with_valid_first, &error));
  }
  EXPECT_TRUE(client_->Ping().ok());
}

class TlsTest : public ServiceTest {
 protected:
  void SetUp() override { Start(/*plaintext=*/false); }
};

TEST_F(TlsTest, GeneratedCaIsTrustedAndWritten) {
  ASSERT_FALSE(sim_->CaFile().empty());
  std::ifstream in(sim_->CaFile());
  std::string pem((std::istreambuf_iterator<char>(in)),
                  std::istreambuf_iterator<char>());
  EXPECT_EQ(pem, sim_->CaCertificate());

  auto client = Connected(a_);
  EXPECT_TRUE(client->Ping().ok());
  // The certificate names localhost too.
  auto channel = OwnChannel("localhost:" + std::to_string(sim_->grpc_port()),
                            CredentialsFor(*sim_));
  auto stub = zva::rpc::ZvaInference::NewStub(channel);
  grpc::ClientContext context;
  context.AddMetadata("x-kstrn-zva-accelerator-id", a_);
  context.set_deadline(std::chrono::system_clock::now() + seconds(10));
  zva::rpc::GetZvaInfoRequest req;
  zva::rpc::GetZvaInfoResponse resp;
  EXPECT_TRUE(stub->GetZvaInfo(&context, req, &resp).ok());
  // The authority a channel sends is its target, as written.
  EXPECT_EQ(sim_->core().Journal().back().authority,
            "localhost:" + std::to_string(sim_->grpc_port()));

  const std::string ca_file = sim_->CaFile();
  sim_->Stop();
  EXPECT_FALSE(std::ifstream(ca_file).good());
}

TEST_F(TlsTest, AnotherCaIsRefused) {
  zvsim::TlsMaterial other;
  std::string error;
  ASSERT_TRUE(zvsim::GenerateTlsMaterial(&other, &error)) << error;
  grpc::SslCredentialsOptions ssl;
  ssl.pem_root_certs = other.ca_certificate;
  auto channel = OwnChannel(sim_->Endpoint(), grpc::SslCredentials(ssl));
  auto stub = zva::rpc::ZvaInference::NewStub(channel);
  grpc::ClientContext context;
  context.AddMetadata("x-kstrn-zva-accelerator-id", a_);
  context.set_deadline(std::chrono::system_clock::now() + seconds(10));
  zva::rpc::GetZvaInfoRequest req;
  zva::rpc::GetZvaInfoResponse resp;
  EXPECT_EQ(stub->GetZvaInfo(&context, req, &resp).error_code(),
            StatusCode::UNAVAILABLE);
  // And a plain-text client cannot talk to it either.
  auto plain = OwnChannel(sim_->Endpoint(), grpc::InsecureChannelCredentials());
  auto plain_stub = zva::rpc::ZvaInference::NewStub(plain);
  grpc::ClientContext plain_context;
  plain_context.AddMetadata("x-kstrn-zva-accelerator-id", a_);
  plain_context.set_deadline(std::chrono::system_clock::now() + seconds(10));
  EXPECT_EQ(plain_stub->GetZvaInfo(&plain_context, req, &resp).error_code(),
            StatusCode::UNAVAILABLE);
  EXPECT_EQ(sim_->core().CallCount("*"), 0u);
}

// A client process reads its default roots once; every simulator of a
// process shares one CA so that such a client trusts them all.
TEST_F(TlsTest, DefaultRootsTrustEverySimulatorOfTheProcess) {
  setenv("GRPC_DEFAULT_SSL_ROOTS_FILE_PATH", sim_->CaFile().c_str(), 1);
  zvsim::Simulator second;
  std::string error;
  ASSERT_TRUE(second.Start(&error)) << error;
  EXPECT_EQ(second.CaCertificate(), sim_->CaCertificate());
  for (const zvsim::Simulator* sim : {sim_.get(), &second}) {
    auto channel = OwnChannel(sim->Endpoint(), grpc::SslCredentials({}));
    auto stub = zva::rpc::ZvaInference::NewStub(channel);
    grpc::ClientContext context;
    context.AddMetadata("x-kstrn-zva-accelerator-id", sim->AcceleratorIds()[0]);
    context.set_deadline(std::chrono::system_clock::now() + seconds(10));
    zva::rpc::GetZvaInfoRequest req;
    zva::rpc::GetZvaInfoResponse resp;
    const grpc::Status status = stub->GetZvaInfo(&context, req, &resp);
    EXPECT_TRUE(status.ok()) << status.error_message();
  }
  // Given material replaces the shared one.
  zvsim::Options options;
  options.tls_material = zvsim::TlsMaterial();
  ASSERT_TRUE(zvsim::GenerateTlsMaterial(&*options.tls_material, &error));
  zvsim::Simulator own(options);
  ASSERT_TRUE(own.Start(&error)) << error;
  EXPECT_NE(own.CaCertificate(), sim_->CaCertificate());
}

TEST(SimulatorTest, GeneratesWhatOptionsLeaveOpen) {
  zvsim::Simulator sim;
  ASSERT_EQ(sim.accelerators().size(), 1u);
  const zvsim::AcceleratorSpec desc = sim.accelerators()[0];
  EXPECT_EQ(desc.type, "zva1.medium");
  EXPECT_EQ(desc.id.size(), 21u);
  EXPECT_EQ(desc.id.rfind("zva-", 0), 0u);
  EXPECT_EQ(desc.device_name, "zvadev0");
  EXPECT_FALSE(sim.core().credentials().access_key_id.empty());
  EXPECT_FALSE(sim.core().credentials().secret_access_key.empty());
  zvsim::Simulator other;
  EXPECT_NE(other.AcceleratorIds(), sim.AcceleratorIds());
  EXPECT_NE(other.core().credentials().secret_access_key,
            sim.core().credentials().secret_access_key);
}

TEST(SimulatorTest, EnvironmentNamesWhatAClientNeeds) {
  zvsim::Options options;
  options.host_kind = zvsim::HostKind::kContainer;
  options.region = "eu-central-1";
  options.credentials = {"AK", "SK", "TOKEN"};
  zvsim::Simulator sim(options);
  std::string error;
  ASSERT_TRUE(sim.Start(&error)) << error;
  std::map<std::string, std::string> env;
  for (const auto& [name, value] : sim.Environment()) env[name] = value;
  EXPECT_EQ(env.at("ZV_INSTANCE_METADATA_URI"), sim.MetadataUri());
  EXPECT_EQ(env.at("CNS_CONTAINER_METADATA_URI"),
            sim.MetadataUri() + "/container");
  EXPECT_EQ(env.at("ACCELERATOR_PROXYURI_OVERRIDE"), sim.Endpoint());
  EXPECT_EQ(env.at("KCP_REGION"), "eu-central-1");
  EXPECT_EQ(env.at("KCP_ACCESS_KEY_ID"), "AK");
  EXPECT_EQ(env.at("KCP_SECRET_ACCESS_KEY"), "SK");
  EXPECT_EQ(env.at("KCP_SESSION_TOKEN"), "TOKEN");
  EXPECT_EQ(env.at("GRPC_DEFAULT_SSL_ROOTS_FILE_PATH"), sim.CaFile());
  EXPECT_EQ(env.count("ZVL_TLS_OPTION_DISABLED"), 0u);

  zvsim::Options plain;
  plain.plaintext = true;
  zvsim::Simulator plain_sim(plain);
  ASSERT_TRUE(plain_sim.Start(&error)) << error;
  env.clear();
  for (const auto& [name, value] : plain_sim.Environment()) env[name] = value;
  EXPECT_EQ(env.count("ZVL_TLS_OPTION_DISABLED"), 1u);
  EXPECT_EQ(env.count("GRPC_DEFAULT_SSL_ROOTS_FILE_PATH"), 0u);
  EXPECT_EQ(env.count("CNS_CONTAINER_METADATA_URI"), 0u);
  EXPECT_TRUE(plain_sim.CaFile().empty());
}

TEST(SimulatorTest, StartsOnceAndRefusesABusyPort) {
  zvsim::Options options;
  options.plaintext = true;
  zvsim::Simulator first(options);
  std::string error;
  ASSERT_TRUE(first.Start(&error)) << error;
  EXPECT_FALSE(first.Start(&error));
  options.grpc_port = first.grpc_port();
  zvsim::Simulator second(options);
  EXPECT_FALSE(second.Start(&error));
  EXPECT_NE(error.find("cannot bind"), std::string::npos) << error;

  zvsim::Options twice;
  twice.plaintext = true;
  twice.accelerators = {{"zva-1", "zva1.medium", ""},
                        {"zva-1", "zva1.large", ""}};
  zvsim::Simulator duplicate(twice);
  EXPECT_FALSE(duplicate.Start(&error));
  EXPECT_EQ(error, "duplicate accelerator id zva-1");
}

}  // namespace
}  // namespace zvtest

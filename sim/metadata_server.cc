#include "metadata_server.h"

#include <httplib.h>
#include <sys/socket.h>
#include <unistd.h>

#include "zvsim/core.h"

namespace zvsim {

// httplib's own stop() does nothing until the serving thread has entered
// its accept loop, so a stop right after the start would leave that thread
// serving forever. Closing the listening socket directly works in either
// order: a loop not yet entered sees the closed socket and never starts.
class StoppableHttpServer : public httplib::Server {
 public:
  void StopListening() {
    const socket_t sock = svr_sock_.exchange(INVALID_SOCKET);
    if (sock != INVALID_SOCKET) {
      ::shutdown(sock, SHUT_RDWR);
      ::close(sock);
    }
  }
};

MetadataServer::MetadataServer(Core* core) : core_(core) {}

MetadataServer::~MetadataServer() { Stop(); }

bool MetadataServer::Start(int port, std::string* error) {
  server_ = std::make_unique<StoppableHttpServer>();
  // One request a connection: an idle kept-alive connection would hold up
  // Stop() for the whole keep-alive timeout.
  server_->set_keep_alive_max_count(1);
  server_->Get(".*", [this](const httplib::Request& request,
                            httplib::Response& response) {
    const Core::HttpAnswer answer = core_->AnswerMetadata(request.path);
    response.status = answer.status;
    response.set_content(answer.body, answer.content_type.c_str());
  });
  if (port == 0) {
    port_ = server_->bind_to_any_port("127.0.0.1");
  } else {
    port_ = server_->bind_to_port("127.0.0.1", port) ? port : -1;
  }
  if (port_ <= 0) {
    if (error != nullptr) {
      *error = "metadata server cannot bind 127.0.0.1:" + std::to_string(port);
    }
    server_.reset();
    port_ = 0;
    return false;
  }
  // The socket is listening already, so clients that connect before the
  // thread runs wait in the backlog rather than being refused.
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  return true;
}

void MetadataServer::Stop() {
  if (!server_) return;
  server_->StopListening();
  if (thread_.joinable()) thread_.join();
  server_.reset();
}

}  // namespace zvsim

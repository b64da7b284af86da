#ifndef ZVSIM_METADATA_SERVER_H_
#define ZVSIM_METADATA_SERVER_H_

#include <memory>
#include <string>
#include <thread>

namespace zvsim {

class Core;
class StoppableHttpServer;

// The HTTP server of the metadata documents on 127.0.0.1. It answers every
// GET through Core::AnswerMetadata. Not thread-safe: Start and Stop are
// called by the owning Simulator under its lifecycle lock.
class MetadataServer {
 public:
  explicit MetadataServer(Core* core);
  ~MetadataServer();

  // Binds `port` (0 picks a free one) and serves on a thread of its own.
  bool Start(int port, std::string* error);
  // Stops serving and joins the thread. Idempotent.
  void Stop();
  int port() const { return port_; }

 private:
  Core* core_;
  std::unique_ptr<StoppableHttpServer> server_;
  std::thread thread_;
  int port_ = 0;
};

}  // namespace zvsim

#endif  // ZVSIM_METADATA_SERVER_H_

#include "core/health_check.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "platform/log_stream.h"
#include "core/accelerator.h"
#include "errors/classification.h"
#include "errors/catalogue.h"
#include "platform/retired_queues.h"

namespace zva {

using logger::CLogger;

namespace {

// Tags on the queue of the state waits: the wake-up alarm's, and the state
// watches', which are odd numbers (2 * number + 1) so that a wait can tell
// its own watch from one an earlier wait left behind.
void* const kWakeTag = reinterpret_cast<void*>(uintptr_t{2});
void* WatchTag(uintptr_t number) {
  return reinterpret_cast<void*>(2 * number + 1);
}

// How long one state watch lasts. Long, so that its timer rarely fires;
// bounded, so that a queue retired with a watch on a channel somebody keeps
// is drained in the end.
constexpr std::chrono::minutes kWatchSpan(10);

}  // namespace

HealthCheck::CallScope::CallScope(HealthCheck* health_check,
                                  grpc::ClientContext* context)
    : health_check_(health_check), context_(context) {
  MutexLock lock(&health_check_->mtx_);
  health_check_->in_flight_.push_back(context_);
  // A stop that came before the registration has cancelled the others
  // already; this call must not wait out its deadline either.
  if (health_check_->quit_) context_->TryCancel();
}

HealthCheck::CallScope::~CallScope() {
  MutexLock lock(&health_check_->mtx_);
  auto& calls = health_check_->in_flight_;
  auto it = std::find(calls.begin(), calls.end(), context_);
  if (it != calls.end()) calls.erase(it);
}

HealthCheck::HealthCheck(Accelerator* accelerator)
    : accelerator_(accelerator),
      state_queue_(std::make_unique<grpc::CompletionQueue>()),
      wake_alarm_(std::make_unique<grpc::Alarm>()) {}

HealthCheck::~HealthCheck() {
  Stop();
  RetireQueue();
}

void HealthCheck::WakeStateWait() {
  MutexLock lock(&mtx_);
  if (state_queue_ == nullptr || wake_set_) return;
  wake_set_ = true;
  wake_alarm_->Set(state_queue_.get(), gpr_now(GPR_CLOCK_MONOTONIC), kWakeTag);
}

void HealthCheck::RetireQueue() {
  std::unique_ptr<grpc::CompletionQueue> queue;
  std::unique_ptr<grpc::Alarm> alarm;
  {
    MutexLock lock(&mtx_);
    queue = std::move(state_queue_);
    alarm = std::move(wake_alarm_);
  }
  if (queue == nullptr) return;
  // A set alarm fires at once; its event is taken off by the drain, and the
  // alarm may be destroyed only after that.
  queue->Shutdown();
  // With no watch pending, the alarm's event is all there is to take off.
  if (pending_watches_ == 0 &&
      DrainCompletionQueue(queue.get(),
                           std::chrono::steady_clock::time_point::max())) {
    alarm.reset();
    return;
  }
  RetireCompletionQueue(std::move(queue), std::move(alarm));
}


HealthCheck::StartResult HealthCheck::Start(const Versions& versions,
                                            std::string framework) {
  MutexLock lock(&mtx_thread_);
  if (quit_) return StartResult::kStopped;
  if (thread_.joinable()) {
    if (running_) return StartResult::kAlreadyRunning;
    // The previous thread ended by itself; reap it before starting anew.
    thread_.join();
  }
  check_requested_ = false;
  running_ = true;
  accelerator_->session_context_.Open();
  thread_ = std::thread(&HealthCheck::ThreadMain, this, versions,
                        std::move(framework));
  return StartResult::kStarted;
}

void HealthCheck::RequestStop() {
  {
    MutexLock lock(&mtx_);
    quit_ = true;
    for (grpc::ClientContext* context : in_flight_) context->TryCancel();
  }
  cv_.SignalAll();
  WakeStateWait();
  accelerator_->session_context_.Close(true);
}

void HealthCheck::Stop() {
  RequestStop();
  MutexLock lock(&mtx_thread_);
  if (!thread_.joinable()) return;
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();
  } else {
    thread_.join();
  }
}

void HealthCheck::RequestCheck() {
  {
    MutexLock lock(&mtx_);
    check_requested_ = true;
  }
  cv_.SignalAll();
  WakeStateWait();
}

bool HealthCheck::WaitForStateChange(
    const std::shared_ptr<grpc::Channel>& channel, grpc_connectivity_state from,
    std::chrono::steady_clock::time_point deadline, bool check_wakes) {
  grpc::CompletionQueue* queue = nullptr;
  {
    MutexLock lock(&mtx_);
    queue = state_queue_.get();
  }
  // A retired queue means the accelerator is released: nothing to wait for.
  if (queue == nullptr) return false;
  const auto woken = [&] {
    return quit_ || (check_wakes && (check_requested_ || calls_seen_));
  };
  if (woken() || std::chrono::steady_clock::now() >= deadline) return false;

  // A watch's deadline is a gRPC timer, and gRPC's timer threads wake up
  // for every timer there is; so a watch is made to serve many waits on the
  // same channel from the same state, and each wait keeps to its own
  // deadline on the queue instead.
  const auto watch = [&] {
    live_watch_ = {WatchTag(++watch_number_), channel.get(), from};
    channel->NotifyOnStateChange(from,
                                 std::chrono::system_clock::now() + kWatchSpan,
                                 queue, live_watch_.tag);
    ++pending_watches_;
  };
  if (live_watch_.tag == nullptr || live_watch_.channel != channel.get() ||
      live_watch_.from != from) {
    watch();
  }
  const auto until = std::chrono::system_clock::now() +
                     (deadline - std::chrono::steady_clock::now());
  while (true) {
    void* got = nullptr;
    bool ok = false;
    // On a timeout the watch stays, for the next wait.
    if (queue->AsyncNext(&got, &ok, until) !=
        grpc::CompletionQueue::GOT_EVENT) {
      return false;
    }
    if (got == kWakeTag) {
      {
        MutexLock lock(&mtx_);
        wake_set_ = false;
      }
      // A stop or a check asked before this wait began also lands here;
      // otherwise the wake-up was meant for an earlier wait.
      if (woken()) return false;
      continue;
    }
    --pending_watches_;
    // Older watches were left by waits that started on another channel or
    // from another state.
    if (got != live_watch_.tag) continue;
    live_watch_.tag = nullptr;
    // A watch completes with ok when the state left `from`, and without when
    // its span ended: then the wait goes on with a new one.
    if (ok) return true;
    watch();
  }
}

bool HealthCheck::WatchReadyChannel(
    const std::shared_ptr<grpc::Channel>& channel,
    std::chrono::steady_clock::time_point deadline) {
  // Model calls came during the last interval: they are likely to go on.
  if (!calls_seen_.exchange(false)) {
    watching_ = true;
    if (CLogger::Enabled(logger::DEBUG)) {
      CLogger log;
      log << "[Health check] Watching the channel until the next keep-alive\n"
          << logger::DEBUG;
    }
    const bool changed =
        WaitForStateChange(channel, GRPC_CHANNEL_READY, deadline, true);
    watching_ = false;
    if (changed) return true;
    if (quit_ || check_requested_ ||
        std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    // A model call ended the watch; the rest of the interval is slept.
  }
  if (!SleepUntil(deadline)) return false;
  return channel->GetState(false) != GRPC_CHANNEL_READY;
}

bool HealthCheck::SleepUntil(std::chrono::steady_clock::time_point deadline) {
  MutexLock lock(&mtx_);
  while (!quit_ && !check_requested_ &&
         std::chrono::steady_clock::now() < deadline) {
    cv_.WaitUntil(&mtx_, deadline);
  }
  return !quit_ && !check_requested_;
}

bool HealthCheck::BackOff(std::chrono::milliseconds delay) {
  MutexLock lock(&mtx_);
  const auto deadline = std::chrono::steady_clock::now() + delay;
  // A stop wakes the wait, so a release never waits out the back-off.
  while (!quit_ && std::chrono::steady_clock::now() < deadline) {
    cv_.WaitUntil(&mtx_, deadline);
  }
  return !quit_;
}

void HealthCheck::ThreadMain(Versions versions, std::string framework) {
  try {
    Run(versions, framework.c_str());
  } catch (const std::exception& e) {
    accelerator_->session_context_.SetUnReady();
    CLogger log;
    log << "[Health check] Unexpected failure, health check ends: " << e.what()
        << "\n"
        << logger::ERROR;
  } catch (...) {
    accelerator_->session_context_.SetUnReady();
    CLogger log;
    log << "[Health check] Unexpected failure, health check ends\n"
        << logger::ERROR;
  }
  running_ = false;
  // Callers waiting for a session learn at once that none will come.
  accelerator_->session_context_.Close();
}

void HealthCheck::HandleFailure(int state, bool* channel_ready,
                                bool* session_ready,
                                util::DefaultRetryStrategy* retry_strategy) {
  SessionContext& context = accelerator_->session_context_;
  CLogger log;
  switch (state) {
    case TCP_CONNECT_NEEDED:
      log << "[Health check] [TCP Connect] TCP Connection is needed \n"
          << logger::INFO;
      context.SetUnReady();
      *channel_ready = false;
      *session_ready = false;
      return;
    case PROXY_CONNECT_NEEDED:
      log << "[Health check] [Private Link Connect] Private Link Connection is "
             "needed \n"
          << logger::INFO;
      context.SetUnReady();
      *session_ready = false;
      return;
    case SESSION_BUILD_NEEDED:
      log << "[Health check] [Build Application Context] Build Application "
             "Context is needed. \n"
          << logger::INFO;
      context.SetUnReady();
      session_id_.clear();
      *session_ready = false;
      return;
    case FATAL_ERROR: {
      log << "[Health check] [Fatal Error] \n" << logger::WARNING;
      ZvaRpcStatus error = context.GetLastSessionError();
      log << "[Health check] Fatal answer from accelerator "
          << accelerator_->GetAcceleratorID() << ", retrying in "
          << retry_strategy->MaxDelay() << " ms: "
          << util::GenerateLastErrorMessage(error, error.GetRequestId(),
                                            accelerator_->GetAcceleratorID())
          << logger::ERROR;
      // Callers fail at once with the fatal code instead of waiting for a
      // session that is not coming soon.
      context.SetUnReady();
      context.Close();
      if (*session_ready) accelerator_->DestroySession();
      session_id_.clear();
      *session_ready = false;
      // A clock step or a rotated credential heals by itself; try a fresh
      // session again, but not more often than the longest back-off.
      BackOff(std::chrono::milliseconds(retry_strategy->MaxDelay()));
      return;
    }
    default:
      break;
  }
  context.SetUnReady();
  BackOff(std::chrono::milliseconds(
      retry_strategy->CalculateDelayBeforeNextRetry()));
  *session_ready = false;
}

void HealthCheck::Run(const Versions& versions, const char* framework) {
  CLogger log;
  log << "[Health check] Executing health check\n" << logger::INFO;
  const zva::config::ClientLibraryConfig& config =
      accelerator_->GetClientConfig();
  const std::chrono::milliseconds interval(config.keep_alive_interval());
  util::DefaultRetryStrategy retry_strategy(
      config.initial_exponential_backoff_time(),
      config.max_exponential_backoff_time(), 50, 0);
  SessionContext& context = accelerator_->session_context_;

  bool channel_ready = false;
  bool session_ready = false;
  while (true) {
    if (!channel_ready) channel_ready = accelerator_->WaitForChannelReady();
    if (quit_) break;
    bool building = !session_ready;
    try {
      if (building) {
        // A fresh session answers every check asked before it.
        check_requested_ = false;
        accelerator_->BuildSession(versions, framework, &retry_strategy);
        retry_strategy.ResetRetryAttempts();
        building = false;
      }
      if (quit_) {
        session_ready = true;
        break;
      }
      const bool checking = check_requested_.exchange(false);
      accelerator_->KeepAliveSession();
      retry_strategy.ResetRetryAttempts();
      // The session answered a check: publish it again, so that callers
      // waiting for a newer session than the one they saw fail go on.
      if (checking) context.SetSessionAndNotifyAll(session_id_);

      std::shared_ptr<grpc::Channel> channel = accelerator_->GetChannel();
      bool changed = channel == nullptr ||
                     channel->GetState(false) != GRPC_CHANNEL_READY ||
                     WatchReadyChannel(
                         channel, std::chrono::steady_clock::now() + interval);
      if (changed) {
        context.SetUnReady();
        throw TCP_CONNECT_NEEDED;
      }
      session_ready = true;
    } catch (RPCState state) {
      if (!building) session_ready = true;
      // A stop cancels the call in flight; that failure says nothing about
      // the session, which is still destroyed on the way out.
      if (quit_) break;
      HandleFailure(state, &channel_ready, &session_ready, &retry_strategy);
    }
    if (quit_) break;
  }

  log << "[Health check] received quit signal,"
      << "Channel ready state: " << channel_ready
      << ", Application context ready state: " << session_ready << "\n"
      << logger::INFO;
  if (session_ready) accelerator_->DestroySession();
}

}  // namespace zva

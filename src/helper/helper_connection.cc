#include "orvexa/helper/helper_connection.h"

#include <sys/socket.h>
#include <unistd.h>

#include <deque>
#include <mutex>
#include <optional>
#include <thread>

#include "helper/unix_socket.h"
#include "orvexa/helper/helper_message.h"
#include "orvexa/platform/posix_error.h"
#include "orvexa/units/queue_or_here.h"

namespace orvexa {

namespace {

// One call waiting for its reply; `deliver` gets the reply, or null when
// the reply cannot come.
using Deliver = std::function<void(const HelperReply*)>;

}  // namespace

struct HelperConnection::State {
  // The socket (the rule in the header): shut down under `mu` by whichever
  // thread ends the connection first, closed only by ~State.
  detail::UniqueFd fd;
  mutable std::mutex mu;  // guards everything below and orders writes with `pending`
  bool valid = true;
  bool ended = false;  // the reader has failed the waiting calls and taken the handler
  std::deque<Deliver> pending;
  // A reply that came while no call waited: the helper's refusal, sent as
  // it accepts a user it does not serve and closes. Whichever call it beat
  // gets it instead of the failure answer. Set only by the reader.
  std::optional<HelperReply> unasked;
  std::function<void()> invalidationHandler;
  std::thread reader;

  void shutdownSocket() {
    std::lock_guard lock(mu);
    if (valid) {
      valid = false;
      ::shutdown(fd.get(), SHUT_RDWR);
    }
  }

  void send(const HelperRequest& request, Deliver deliver) {
    const std::string frame = encodeHelperFrame(helperRequestToPlist(request));
    std::optional<HelperReply> answer;
    {
      std::lock_guard lock(mu);
      if (valid) {
        pending.push_back(std::move(deliver));
        if (!writeAllToSocket(fd.get(), frame)) {
          // The reader sees the end and fails every waiting call, this one
          // included.
          valid = false;
          ::shutdown(fd.get(), SHUT_RDWR);
        }
        return;
      }
      if (ended) answer = unasked;
    }
    runOnPoolOrHere([deliver, answer] { deliver(answer ? &*answer : nullptr); });
  }

  void readLoop() {
    for (;;) {
      std::string body;
      if (readHelperFrame(fd.get(), kHelperMaxFrameSize, &body) != FrameReadStatus::ok) break;
      std::optional<HelperReply> reply = decodeHelperReply(body, nullptr);
      if (!reply) break;
      Deliver deliver;
      {
        std::lock_guard lock(mu);
        if (pending.empty()) {
          unasked = std::move(reply);
          continue;
        }
        deliver = std::move(pending.front());
        pending.pop_front();
      }
      deliver(&*reply);
    }
    std::deque<Deliver> lost;
    std::function<void()> handler;
    {
      std::lock_guard lock(mu);
      if (valid) {
        valid = false;
        ::shutdown(fd.get(), SHUT_RDWR);
      }
      lost.swap(pending);
      handler = std::move(invalidationHandler);
      ended = true;
    }
    for (Deliver& deliver : lost) deliver(unasked ? &*unasked : nullptr);
    if (handler) handler();
  }
};

namespace {

class HelperProxy : public HelperProtocol {
 public:
  HelperProxy(std::shared_ptr<HelperConnection::State> state,
              HelperConnection::ErrorHandler errorHandler)
      : state_(std::move(state)), errorHandler_(std::move(errorHandler)) {}

  void getHelperVersion(VersionReply reply) override {
    HelperRequest request;
    request.operation = HelperRequest::Operation::getHelperVersion;
    state_->send(request, [lost = errorHandler_, reply = std::move(reply)](const HelperReply* r) {
      if (r == nullptr) {
        if (lost) lost(std::string(kHelperConnectionLostText));
        reply(std::string());
        return;
      }
      reply(r->message);
    });
  }

  void handleEvent(int event, PlistValue eventDict, EventReply reply) override {
    HelperRequest request;
    request.operation = HelperRequest::Operation::handleEvent;
    request.event = event;
    request.dictionary = std::move(eventDict);
    state_->send(request, [lost = errorHandler_, reply = std::move(reply)](const HelperReply* r) {
      if (r == nullptr) {
        if (lost) lost(std::string(kHelperConnectionLostText));
        PlistValue information = PlistValue::dictionary();
        information.set(std::string(kHelperDeleteStatusKey), raw(HelperEventErrorID::NoCause));
        information.set(std::string(kHelperDeleteDescKey), std::string(kHelperConnectionLostText));
        reply(false, raw(HelperEventErrorID::NoCause), std::move(information));
        return;
      }
      reply(r->flag, r->code, r->information);
    });
  }

  void uninstall(UninstallReply reply) override {
    HelperRequest request;
    request.operation = HelperRequest::Operation::uninstall;
    state_->send(request, [lost = errorHandler_, reply = std::move(reply)](const HelperReply* r) {
      if (r == nullptr) {
        if (lost) lost(std::string(kHelperConnectionLostText));
        reply(false, std::string(kHelperConnectionLostText));
        return;
      }
      reply(r->flag, r->message);
    });
  }

 private:
  std::shared_ptr<HelperConnection::State> state_;
  HelperConnection::ErrorHandler errorHandler_;
};

}  // namespace

std::shared_ptr<HelperConnection> HelperConnection::connect(const std::string& socketPath,
                                                            std::string* error) {
  int err = 0;
  detail::UniqueFd fd = detail::connectUnixSocket(socketPath, &err);
  if (!fd) {
    if (error != nullptr) *error = FileStatus::fromErrno(err, socketPath).message();
    return nullptr;
  }
  std::shared_ptr<HelperConnection> connection(new HelperConnection);
  connection->state_ = std::make_shared<State>();
  connection->state_->fd = std::move(fd);
  std::shared_ptr<State> state = connection->state_;
  state->reader = std::thread([state] { state->readLoop(); });
  return connection;
}

HelperConnection::~HelperConnection() {
  if (!state_) return;
  state_->shutdownSocket();
  std::thread reader = std::move(state_->reader);
  if (!reader.joinable()) return;
  if (reader.get_id() == std::this_thread::get_id()) {
    reader.detach();  // dropped from one of its own replies; it ends by itself
  } else {
    reader.join();
  }
}

void HelperConnection::setInvalidationHandler(std::function<void()> handler) {
  {
    std::lock_guard lock(state_->mu);
    if (!state_->ended) {
      state_->invalidationHandler = std::move(handler);
      return;
    }
  }
  if (handler) handler();  // the connection had already ended
}

std::shared_ptr<HelperProtocol> HelperConnection::remoteObjectProxyWithErrorHandler(
    ErrorHandler errorHandler) {
  return std::make_shared<HelperProxy>(state_, std::move(errorHandler));
}

void HelperConnection::invalidate() { state_->shutdownSocket(); }

bool HelperConnection::isValid() const {
  std::lock_guard lock(state_->mu);
  return state_->valid;
}

}  // namespace orvexa

#include "helper/in_process_helper.h"

#include <unistd.h>

#include "orvexa/helper/helper_server.h"
#include "orvexa/units/log_service.h"
#include "orvexa/units/serial_queue.h"

namespace orvexa::detail {
namespace {

class InProcessHelper : public HelperProtocol {
 public:
  InProcessHelper()
      : server_(std::make_shared<HelperServer>(options())),
        queue_(std::make_shared<SerialGCDService>(SerialGCDService::GCDQOS::default_)) {}

  void getHelperVersion(VersionReply reply) override {
    if (reply) reply(kHelperToolVersion);
  }

  void handleEvent(int event, PlistValue eventDict, EventReply reply) override {
    auto run = [server = server_, event, dictionary = std::move(eventDict), reply] {
      HelperRequest request;
      request.operation = HelperRequest::Operation::handleEvent;
      request.event = event;
      request.dictionary = dictionary;
      bool endService = false;
      HelperServer::Client self;
      self.userId = ::geteuid();
      HelperReply answer = server->handle(request, self, &endService);
      if (reply) reply(answer.flag, answer.code, std::move(answer.information));
    };
    if (event == raw(HelperHanldeEventID::CloseHelper)) {
      run();  // not behind the work it stops
      return;
    }
    queue_->run(run, [reply](JThreadSatefy::THREADRUNERROR) {
      if (!reply) return;
      PlistValue information = PlistValue::dictionary();
      information.set(std::string(kHelperDeleteStatusKey), raw(HelperEventErrorID::NoCause));
      information.set(std::string(kHelperDeleteDescKey), "The privileged work could not start.");
      reply(false, raw(HelperEventErrorID::NoCause), std::move(information));
    });
  }

  void uninstall(UninstallReply reply) override {
    if (reply) reply(false, "Nothing to uninstall: this program does its privileged work itself.");
  }

 private:
  static HelperServerOptions options() {
    HelperServerOptions o;
    o.log = [](const std::string& line) {
      LogService::shard().log(LogService::LogLevel::Info, "PrivilegeHelper in-process: " + line);
    };
    return o;
  }

  std::shared_ptr<HelperServer> server_;
  std::shared_ptr<SerialGCDService> queue_;
};

}  // namespace

std::shared_ptr<HelperProtocol> makeInProcessHelper() {
  return std::make_shared<InProcessHelper>();
}

}  // namespace orvexa::detail
